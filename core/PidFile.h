#pragma once
// The pid file of the running daemon. It is written whole beside its path and renamed into
// place, and locked (flock on its descriptor) from before it is in place until the object
// ends, so that a second daemon started on the same path finds it held and leaves it alone,
// while a file left by a daemon that was killed is unlocked and replaced.
// Owned by main; main thread only.
#include <string>

class PidFile {
public:
    // Writes the process id and a line end to `path` unless a running daemon holds the file
    // there. Never throws; written() and reason() say how it went.
    explicit PidFile(const std::string& path);
    // Removes the file when this object wrote it and it is still the one at the path.
    ~PidFile();
    PidFile(const PidFile&) = delete;
    PidFile& operator=(const PidFile&) = delete;

    bool written() const { return fd_ >= 0; }
    // "held by process N" when a running daemon holds the file; empty otherwise.
    const std::string& reason() const { return reason_; }

private:
    enum class Outcome { kInPlace, kHeld, kChanged, kFailed };
    Outcome TryInstall(const std::string& newPath);

    std::string path_;
    // The file this daemon wrote, open (and so locked) until the object ends.
    int fd_ = -1;
    std::string reason_;
};
