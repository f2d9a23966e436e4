// One file named by a wide path, read and written unbuffered through its own descriptor, with
// writes forced to disk at most about once a second. Owned by its user; no lock, so one thread
// at a time per object. Failures are results (false or 0), never exceptions.
#pragma once

#include "velmora/ElapsedTimeCounter.h"
#include "velmora/FileOpenMode.h"
#include "velmora/FileSeekMode.h"

#include <string>

namespace velmora {

class File {
public:
    File();
    explicit File(const std::wstring& path);
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // Closes whatever is open, then names another file.
    void setToFile(const std::wstring& path);

    std::wstring name() const;
    // Up to and including the last "/"; empty when the path holds none.
    std::wstring folderPath() const;
    bool exists() const;
    unsigned long long size() const;
    // Deletes the file without closing it first.
    bool del();
    // Renames within the same folder; the new name must not hold a separator. An open
    // descriptor stays open on the renamed file.
    bool rename(const std::wstring& newName, bool overwrite);

    // mode: FileOpenMode bits. Closes first; a failure leaves the object closed.
    bool open(unsigned int mode);
    // A file opened for writing is forced to disk before it is closed.
    void close();
    bool flush();
    unsigned int readRaw(char* buffer, unsigned int length);
    unsigned int writeRaw(const char* buffer, unsigned int length);
    bool seek(long long offset, FileSeekMode::eMode whence);
    // The new length is the amount from the start, the position plus the amount, or the end
    // minus the amount (which also moves the position to the old end).
    bool truncate(long long amount, FileSeekMode::eMode whence);
    unsigned int patch_mode(unsigned int mode) const;

    static bool exists(const std::wstring& path);
    static unsigned long long size(const std::wstring& path);
    static bool del(const std::wstring& path);
    // Seconds since the epoch; the time is untouched when the path cannot be examined.
    static bool lastModified(const std::wstring& path, long& time);

private:
    std::wstring mPath;
    bool mOpen;
    unsigned int mMode;
    int mFd;
    ElapsedTimeCounter mTimer;
};

} // namespace velmora
