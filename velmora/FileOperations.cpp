#include "velmora/FileOperations.h"

#include "velmora/Exception.h"
#include "velmora/FileOperationsImpl.h"
#include "velmora/FileSortPredicate.h"
#include "velmora/Utilities.h"

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace velmora {

bool FileOperations::mAlwaysFollowLinksInReadD = false;

namespace {

bool statDirectory(const std::string& path)
{
    struct stat64 st;
    return stat64(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

FileOperations::FileOperations() : mImpl(new FileOperationsImpl) {}

FileOperations::~FileOperations()
{
    delete mImpl;
}

bool FileOperations::CopyF(const std::wstring& source, const std::wstring& destination, bool flush) const
{
    return mImpl->CopyF(source, destination, flush);
}

bool FileOperations::CopyD(const std::wstring& source, const std::wstring& destination, bool flush) const
{
    return mImpl->CopyD(source, destination, flush);
}

bool FileOperations::MoveF(const std::wstring& oldPath, const std::wstring& newPath)
{
    return FileOperationsImpl::MoveF(oldPath, newPath);
}

bool FileOperations::RenameF(const std::wstring& oldPath, const std::wstring& newPath)
{
    return FileOperationsImpl::RenameF(oldPath, newPath);
}

bool FileOperations::MoveD(const std::wstring& oldDir, const std::wstring& newDir)
{
    return FileOperationsImpl::MoveD(oldDir, newDir);
}

bool FileOperations::RenameD(const std::wstring& oldDir, const std::wstring& newDir)
{
    return FileOperationsImpl::RenameD(oldDir, newDir);
}

bool FileOperations::DeleteF(const std::wstring& path)
{
    return FileOperationsImpl::DeleteF(path);
}

bool FileOperations::DeleteD(const std::wstring& dir, bool recursive)
{
    return FileOperationsImpl::DeleteD(dir, recursive);
}

bool FileOperations::DeleteFile(const std::wstring& path)
{
    try {
        return DeleteF(path);
    } catch (...) {
        return false;
    }
}

bool FileOperations::DeleteDirectory(const std::wstring& dir, bool recursive)
{
    try {
        return DeleteD(dir, recursive);
    } catch (...) {
        return false;
    }
}

unsigned long long FileOperations::SizeF(const std::wstring& path)
{
    return FileOperationsImpl::SizeF(path);
}

unsigned long long FileOperations::SizeD(const std::wstring& dir)
{
    return FileOperationsImpl::SizeD(dir);
}

long long FileOperations::SizeOfFile(const std::wstring& path)
{
    struct stat64 st;
    if (stat64(Utilities::convertWideToUtf8String(path).c_str(), &st) != 0)
        return -1;
    return static_cast<long long>(st.st_size);
}

bool FileOperations::CheckF(const std::wstring& path)
{
    return FileOperationsImpl::CheckF(path);
}

bool FileOperations::CheckD(const std::wstring& dir)
{
    return FileOperationsImpl::CheckD(dir);
}

bool FileOperations::IsDirectory(const std::wstring& path)
{
    return FileOperationsImpl::IsDirectory(path);
}

bool FileOperations::IsReadOnly(const std::wstring& path)
{
    return FileOperationsImpl::IsReadOnly(path);
}

bool FileOperations::IsHidden(const std::wstring& path)
{
    return FileOperationsImpl::IsHidden(path);
}

bool FileOperations::IsLink(const std::wstring& path)
{
    return FileOperationsImpl::IsLink(path);
}

bool FileOperations::IsFile(const std::wstring& path)
{
    return FileOperationsImpl::CheckF(path);
}

bool FileOperations::Exists(const std::wstring& path)
{
    return access(Utilities::convertWideToUtf8String(path).c_str(), F_OK) == 0;
}

std::wstring FileOperations::Owner(const std::wstring& path)
{
    return FileOperationsImpl::Owner(path);
}

std::wstring FileOperations::VolumeNameF(const std::wstring& path)
{
    return FileOperationsImpl::VolumeNameF(path);
}

std::wstring FileOperations::VolumeNameD(const std::wstring& dir)
{
    return FileOperationsImpl::VolumeNameD(dir);
}

uint64_t FileOperations::GetNumberOfFilesInDir(const std::wstring& dir)
{
    return FileOperationsImpl::GetNumberOfFilesInDir(dir);
}

std::vector<std::wstring> FileOperations::ReadF(const std::wstring& dir, bool showHidden, bool followLinks)
{
    std::vector<std::wstring> files;
    try {
        FileOperationsImpl::ReadF(files, dir, showHidden, followLinks);
    } catch (const Exception::Generic&) {
        // What was gathered before the failure is still worth returning.
    }
    std::sort(files.begin(), files.end(), FileSortPredicate());
    return files;
}

std::vector<std::wstring> FileOperations::ReadD(const std::wstring& dir, bool showHidden, bool followLinks)
{
    std::vector<std::wstring> dirs;
    try {
        FileOperationsImpl::ReadD(dirs, dir, showHidden, followLinks);
    } catch (const Exception::Generic&) {
        // As for ReadF: a partial list rather than none.
    }
    std::sort(dirs.begin(), dirs.end());
    return dirs;
}

bool FileOperations::Read(std::vector<std::wstring>& dirs, std::vector<std::wstring>& files,
                          const std::wstring& dir, bool showHidden, bool followLinks, bool sort, int* errorCode)
{
    bool ok = true;
    try {
        FileOperationsImpl::Read(dirs, files, dir, showHidden, followLinks, errorCode);
    } catch (const Exception::Generic&) {
        ok = false;
    }
    if (sort) {
        std::sort(dirs.begin(), dirs.end());
        std::sort(files.begin(), files.end(), FileSortPredicate());
    }
    return ok;
}

void FileOperations::GetDirEntries(std::vector<std::wstring>& entries, const std::wstring& dir, bool sort)
{
    entries.clear();
    FileOperationsImpl::GetDirEntries(entries, dir);
    if (sort)
        std::sort(entries.begin(), entries.end(), FileSortPredicate());
}

bool FileOperations::FolderProperties(const std::wstring& dir, unsigned long long& fileCount,
                                      unsigned long long& byteTotal, std::string& lastModification,
                                      std::vector<std::wstring>& dirs)
{
    long latest = 0;
    try {
        FileOperationsImpl::FolderProperties(dir, fileCount, byteTotal, latest, dirs);
    } catch (const Exception::Generic&) {
        return false;
    }
    if (latest >= 1) {
        const time_t when = static_cast<time_t>(latest);
        struct tm local;
        char buffer[20];
        if (localtime_r(&when, &local) && std::strftime(buffer, sizeof buffer, "%Y%m%d%H%M%S", &local) > 0)
            lastModification = buffer;
    }
    return true;
}

bool FileOperations::MakeD(const std::wstring& dir)
{
    try {
        std::wstring path = dir;
        if (path.empty())
            return false;
        if (path.back() != L'/')
            path.push_back(L'/');
        if (CheckD(path))
            return true;
        const size_t first = path.find(L'/');
        size_t slash = path.find(L'/', first + 1);
        if (slash == std::wstring::npos)
            return false;
        bool result = false;
        for (; slash != std::wstring::npos; slash = path.find(L'/', slash + 1)) {
            const std::wstring prefix = path.substr(0, slash);
            if (CheckD(prefix)) {
                // A link to a directory is not accepted as a component.
                if (!IsDirectory(prefix))
                    return false;
                result = true;
            } else {
                result = FileOperationsImpl::MakeD(prefix);
            }
        }
        return result;
    } catch (...) {
        return false;
    }
}

bool FileOperations::CreateDirectory(const std::wstring& dir)
{
    std::string text = Utilities::convertWideToUtf8String(dir);
    const size_t start = (text.size() > 1 && text[0] == '\\' && text[1] == '\\') ? 2 : 0;
    for (size_t i = start; i < text.size(); ++i)
        if (text[i] == '\\')
            text[i] = '/';
    if (!text.empty() && text.back() != '/')
        text.push_back('/');

    if (access(text.c_str(), F_OK) != 0) {
        const size_t first = text.find('/');
        size_t slash = first == std::string::npos ? std::string::npos : text.find('/', first + 1);
        for (; slash != std::string::npos; slash = text.find('/', slash + 1)) {
            const std::string prefix = text.substr(0, slash);
            if (access(prefix.c_str(), F_OK) != 0) {
                if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST)
                    return false;
            } else if (!statDirectory(prefix)) {
                return false;
            }
        }
    }
    return statDirectory(text);
}

bool FileOperations::PopulateSizeOfDirectory(unsigned long long& total, const std::wstring& dir,
                                             SizeErrorCallback onError, SizeProgressCallback onProgress,
                                             void* context)
{
    total = 0;
    const std::wstring form = Utilities::unifyPath(dir, true);
    if (!IsDirectory(form))
        return false;
    return func_::process_populating_size_of_directory(total, form, onError, onProgress, context);
}

namespace func_ {

bool process_populating_size_of_directory(unsigned long long& total, const std::wstring& dir,
                                          SizeErrorCallback onError, SizeProgressCallback onProgress,
                                          void* context)
{
    std::vector<std::wstring> dirs;
    std::vector<std::wstring> files;
    try {
        FileOperationsImpl::Read(dirs, files, dir, true, false, nullptr);
    } catch (...) {
        if (onError && !onError(dir, context))
            return false;
    }
    for (const auto& name : files) {
        const std::wstring path = dir + name;
        const long long size = FileOperations::SizeOfFile(path);
        if (size < 0) {
            if (onError && !onError(path, context))
                return false;
        } else {
            total += static_cast<unsigned long long>(size);
        }
    }
    if (onProgress && !onProgress(dir, total, context))
        return false;
    for (const auto& name : dirs)
        if (!process_populating_size_of_directory(total, dir + name + L"/", onError, onProgress, context))
            return false;
    return true;
}

} // namespace func_

} // namespace velmora
