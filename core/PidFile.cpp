#include "core/PidFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/ReplaceFile.h"

namespace {

// How often the file at the path may change under one start before it gives up: each time,
// another start has just put its own file there.
const int kInstallAttempts = 8;

bool SamePlace(int fd, const std::string& path)
{
    struct stat open, there;
    return fstat(fd, &open) == 0 && lstat(path.c_str(), &there) == 0 && open.st_dev == there.st_dev &&
           open.st_ino == there.st_ino;
}

// What the holder of a locked pid file wrote into it: its process id.
std::string Holder(int fd)
{
    char buffer[32];
    const ssize_t n = pread(fd, buffer, sizeof buffer, 0);
    std::string text(buffer, n > 0 ? static_cast<size_t>(n) : 0);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return "held by another process";
    return "held by process " + text;
}

}  // namespace

PidFile::PidFile(const std::string& path) : path_(path)
{
    std::string newPath;
    const int fd = WriteFileBeside(path, std::to_string(getpid()) + "\n", 0644, newPath);
    if (fd < 0)
        return;
    // Locked before it is at the path, so that no start ever finds it there unlocked. A fresh
    // file is free; only a file system without locks refuses, and then it is written unlocked.
    flock(fd, LOCK_EX | LOCK_NB);
    Outcome outcome = Outcome::kChanged;
    for (int attempt = 0; attempt < kInstallAttempts && outcome == Outcome::kChanged; ++attempt)
        outcome = TryInstall(newPath);
    if (outcome == Outcome::kInPlace) {
        fd_ = fd;
        return;
    }
    unlink(newPath.c_str());
    close(fd);
}

PidFile::~PidFile()
{
    if (fd_ < 0)
        return;
    // Still locked while it goes, so no start can take it for a stale file and replace it first.
    if (SamePlace(fd_, path_))
        unlink(path_.c_str());
    close(fd_);
}

// One try at putting the new file at the path. A regular file found there is locked first:
// a running daemon holds it, and while this start holds it no other start can replace it.
PidFile::Outcome PidFile::TryInstall(const std::string& newPath)
{
    const int old = open(path_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (old < 0 && errno == ENOENT) {
        // Unlike rename, link fails when another start has put its file there meanwhile.
        if (link(newPath.c_str(), path_.c_str()) == 0) {
            unlink(newPath.c_str());
            return Outcome::kInPlace;
        }
        if (errno == EEXIST)
            return Outcome::kChanged;
        // A file system without hard links: renamed as any other.
    }
    if (old >= 0) {
        struct stat st;
        const bool regular = fstat(old, &st) == 0 && S_ISREG(st.st_mode);
        if (regular && flock(old, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
            const bool current = SamePlace(old, path_);
            if (current)
                reason_ = Holder(old);
            close(old);
            return current ? Outcome::kHeld : Outcome::kChanged;
        }
        if (!SamePlace(old, path_)) {
            close(old);
            return Outcome::kChanged;
        }
    }
    const bool moved = rename(newPath.c_str(), path_.c_str()) == 0;
    // The replaced file's lock ends only now, once the new, locked file is in its place.
    if (old >= 0)
        close(old);
    return moved ? Outcome::kInPlace : Outcome::kFailed;
}
