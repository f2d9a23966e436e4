#include "velmora/File.h"

#include "velmora/Exception.h"
#include "velmora/FileOperations.h"
#include "velmora/FileOperationsImpl.h"
#include "velmora/Utilities.h"
#include "velmora/VolumeInfo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace velmora {
namespace {

constexpr unsigned long long kFlushIntervalMs = 1000;

std::wstring normalised(const std::wstring& path)
{
    std::wstring copy(path);
    return Utilities::platformPath(copy, false);
}

int openFlags(unsigned int mode)
{
    const bool read = (mode & FileOpenMode::eRead) != 0;
    const bool write = (mode & FileOpenMode::eWrite) != 0;
    int flags = (read && write) ? O_RDWR : (write ? O_WRONLY : O_RDONLY);
    if (mode & FileOpenMode::eCreate)
        flags |= O_CREAT;
    if (mode & FileOpenMode::eTruncate)
        flags |= O_TRUNC;
    if (mode & FileOpenMode::eDirect)
        flags |= O_DIRECT;
    return flags;
}

bool seekOrigin(FileSeekMode::eMode whence, int& origin)
{
    switch (whence) {
    case FileSeekMode::eBegin: origin = SEEK_SET; return true;
    case FileSeekMode::eCurrent: origin = SEEK_CUR; return true;
    case FileSeekMode::eEnd: origin = SEEK_END; return true;
    }
    return false;
}

} // namespace

File::File() : mOpen(false), mMode(0), mFd(-1) {}

File::File(const std::wstring& path) : mPath(normalised(path)), mOpen(false), mMode(0), mFd(-1) {}

File::~File()
{
    close();
}

void File::setToFile(const std::wstring& path)
{
    close();
    mPath = normalised(path);
}

std::wstring File::name() const
{
    const size_t slash = mPath.rfind(L'/');
    return slash == std::wstring::npos ? mPath : mPath.substr(slash + 1);
}

std::wstring File::folderPath() const
{
    const size_t slash = mPath.rfind(L'/');
    return slash == std::wstring::npos ? std::wstring() : mPath.substr(0, slash + 1);
}

bool File::exists() const
{
    return FileOperations::IsFile(mPath);
}

unsigned long long File::size() const
{
    const long long bytes = FileOperations::SizeOfFile(mPath);
    return bytes < 0 ? 0 : static_cast<unsigned long long>(bytes);
}

bool File::del()
{
    return FileOperations::DeleteFile(mPath);
}

bool File::rename(const std::wstring& newName, bool overwrite)
{
    if (newName.find_first_of(L"/\\") != std::wstring::npos)
        return false;
    const std::wstring target = folderPath() + newName;
    if (!overwrite && FileOperations::Exists(target))
        return false;
    try {
        FileOperationsImpl::RenameF(mPath, target);
    } catch (const Exception::Generic&) {
        return false;
    }
    mPath = target;
    return true;
}

bool File::open(unsigned int mode)
{
    close();
    const unsigned int m = patch_mode(mode);
    if (m & FileOpenMode::eCreateFolder) {
        if (!FileOperations::CreateDirectory(Utilities::unifyPath(folderPath(), false)))
            return false;
    }
    mFd = ::open64(Utilities::convertWideToUtf8String(mPath).c_str(), openFlags(m), 0666);
    if (mFd < 0)
        return false;
    mTimer.restartTimer();
    mMode = m;
    mOpen = true;
    return true;
}

void File::close()
{
    if (!mOpen)
        return;
    if (mMode & FileOpenMode::eWrite)
        flush();
    mOpen = false;
    ::close(mFd);
}

bool File::flush()
{
    return mOpen && ::fsync(mFd) == 0;
}

unsigned int File::readRaw(char* buffer, unsigned int length)
{
    if (!mOpen || !(mMode & FileOpenMode::eRead) || length == 0 || !buffer)
        return 0;
    const ssize_t n = ::read(mFd, buffer, length);
    return n < 0 ? 0 : static_cast<unsigned int>(n);
}

unsigned int File::writeRaw(const char* buffer, unsigned int length)
{
    if (!mOpen || !(mMode & FileOpenMode::eWrite) || length == 0 || !buffer)
        return 0;
    const ssize_t n = ::write(mFd, buffer, length);
    if (n < 0)
        return 0;
    if (mTimer.elapsedTime().milliseconds() > kFlushIntervalMs) {
        flush();
        mTimer.restartTimer();
    }
    return static_cast<unsigned int>(n);
}

bool File::seek(long long offset, FileSeekMode::eMode whence)
{
    int origin;
    if (!mOpen || !seekOrigin(whence, origin))
        return false;
    return ::lseek64(mFd, offset, origin) != -1;
}

bool File::truncate(long long amount, FileSeekMode::eMode whence)
{
    if (!mOpen || !(mMode & FileOpenMode::eWrite))
        return false;
    long long length;
    switch (whence) {
    case FileSeekMode::eBegin:
        length = amount;
        break;
    case FileSeekMode::eCurrent: {
        const off64_t position = ::lseek64(mFd, 0, SEEK_CUR);
        // A failed position or an overflowing sum must not become a length.
        if (position < 0 || __builtin_add_overflow(position, amount, &length))
            return false;
        break;
    }
    case FileSeekMode::eEnd: {
        const off64_t end = ::lseek64(mFd, 0, SEEK_END);
        if (end < 0 || __builtin_sub_overflow(end, amount, &length))
            return false;
        break;
    }
    default:
        return false;
    }
    return ::ftruncate64(mFd, length) == 0;
}

unsigned int File::patch_mode(unsigned int mode) const
{
    if (!(mode & FileOpenMode::eDirectIfSupported))
        return mode;
    mode &= ~static_cast<unsigned int>(FileOpenMode::eDirect);
    if (VolumeInfo::IsSupportingDMA(mPath))
        mode |= FileOpenMode::eDirect | FileOpenMode::eDirectSupported;
    return mode;
}

bool File::exists(const std::wstring& path)
{
    return FileOperations::IsFile(normalised(path));
}

unsigned long long File::size(const std::wstring& path)
{
    const long long bytes = FileOperations::SizeOfFile(normalised(path));
    return bytes < 0 ? 0 : static_cast<unsigned long long>(bytes);
}

bool File::del(const std::wstring& path)
{
    return FileOperations::DeleteFile(normalised(path));
}

bool File::lastModified(const std::wstring& path, long& time)
{
    struct stat64 st;
    if (::stat64(Utilities::convertWideToUtf8String(path).c_str(), &st) != 0)
        return false;
    time = static_cast<long>(st.st_mtime);
    return true;
}

} // namespace velmora
