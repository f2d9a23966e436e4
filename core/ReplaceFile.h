#pragma once
// Files that appear whole: written to a new file in the destination's directory and renamed
// over it, so that a reader finds the old file or the new one, never a part of one, and a
// symbolic link at the destination is replaced while its target is left alone. Used for the
// pid file and the discovery identity. Pure functions; any thread.
#include <sys/types.h>

#include <string>

// Creates a new file beside `path` (named `path` and six random characters, given back in
// `newPath`) holding `text`, with `mode` whatever the umask. Its descriptor, open and
// close-on-exec; or -1 with errno set, and nothing left behind.
int WriteFileBeside(const std::string& path, const std::string& text, mode_t mode, std::string& newPath);

// Writes `text` beside `path` and renames it over `path`. 0, or the errno value of the step
// that failed, with nothing left behind.
int ReplaceFile(const std::string& path, const std::string& text, mode_t mode);
