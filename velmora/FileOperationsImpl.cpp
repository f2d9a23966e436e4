#include "velmora/FileOperationsImpl.h"

#include "velmora/Exception.h"
#include "velmora/PwdHelper.h"
#include "velmora/Utilities.h"

#include <mntent.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

namespace velmora {

namespace {

constexpr size_t kChunk = 0xF00000;
constexpr size_t kAlignment = 4096;

std::string utf8(const std::wstring& path)
{
    return Utilities::convertWideToUtf8String(path);
}

std::string quoted(const std::wstring& path)
{
    return Utilities::convertWideToNarrowString(path);
}

std::wstring directoryForm(const std::wstring& path)
{
    return Utilities::unifyPath(path, true);
}

std::string entryForm(const std::wstring& path)
{
    std::string text = utf8(directoryForm(path));
    if (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

bool statOk(const std::string& path, struct stat64& st)
{
    return stat64(path.c_str(), &st) == 0;
}

bool isDotOrDotDot(const std::wstring& name)
{
    return name == L"." || name == L"..";
}

// Frees the entries not yet processed when the loop leaves early.
class EntryList {
public:
    EntryList(dirent64** list, int count) : mList(list), mCount(count) {}
    ~EntryList()
    {
        for (int i = mNext; i < mCount; ++i)
            free(mList[i]);
        free(mList);
    }
    EntryList(const EntryList&) = delete;
    EntryList& operator=(const EntryList&) = delete;
    int count() const { return mCount; }
    const dirent64* at(int i) const { return mList[i]; }
    void release(int i)
    {
        free(mList[i]);
        mNext = i + 1;
    }

private:
    dirent64** mList;
    int mCount;
    int mNext = 0;
};

// The listing loop the readers share: `visit` gets the name, the child path and its stat64 data.
void scanEntries(const std::wstring& dirForm, const std::string& listingMessage, int* errorCode,
                 const std::function<void(const std::wstring&, const std::wstring&, const struct stat64&)>& visit)
{
    dirent64** raw = nullptr;
    const int count = scandir64(utf8(dirForm).c_str(), &raw, nullptr, alphasort64);
    if (count < 0) {
        if (errorCode)
            *errorCode = errno;
        throw Exception::Generic(listingMessage + quoted(dirForm) + "'.");
    }
    EntryList list(raw, count);
    bool statFailed = false;
    std::wstring failedChild;
    for (int i = 0; i < list.count(); ++i) {
        const std::wstring name = Utilities::convertUtf8ToWideString(list.at(i)->d_name, 0);
        list.release(i);
        const std::wstring child = dirForm + name;
        struct stat64 st;
        if (!statOk(utf8(child), st)) {
            if (errorCode)
                *errorCode = errno;
            statFailed = true;
            failedChild = child;
            continue;
        }
        visit(name, child, st);
    }
    if (statFailed)
        throw Exception::Generic("Could not stat64 '" + quoted(failedChild) + "'.");
}

// Hidden test first, then the link test; true when the entry is to be classified.
bool admitted(const std::wstring& name, const std::wstring& child, bool showHidden, bool followLinks)
{
    if (!showHidden && !name.empty() && name[0] == L'.')
        return false;
    if (!followLinks && FileOperationsImpl::IsLink(child))
        return false;
    return true;
}

// Canonical path of a directory that may not exist yet (its parent must); empty when unknown.
std::string canonicalTarget(const std::string& entry)
{
    char resolved[PATH_MAX];
    if (realpath(entry.c_str(), resolved))
        return resolved;
    if (errno != ENOENT)
        return std::string();
    const size_t slash = entry.rfind('/');
    const std::string parent = slash == std::string::npos ? "." : (slash == 0 ? "/" : entry.substr(0, slash));
    const std::string name = slash == std::string::npos ? entry : entry.substr(slash + 1);
    if (!realpath(parent.c_str(), resolved))
        return std::string();
    std::string result(resolved);
    if (result != "/")
        result += "/";
    return result + name;
}

bool isWithin(const std::string& path, const std::string& root)
{
    if (path == root)
        return true;
    const std::string prefix = root == "/" ? root : root + "/";
    return path.compare(0, prefix.size(), prefix) == 0;
}

thread_local std::string tFilterDirectory;

} // namespace

int GetNumberOfFilesInDir_Filter(const dirent64* entry)
{
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type != DT_DIR;
    // scandir64 gives the filter only the entry, so the scanned directory comes from the caller.
    struct stat st;
    if (stat((tFilterDirectory + entry->d_name).c_str(), &st) != 0)
        return 1;
    return !S_ISDIR(st.st_mode);
}

FileOperationsImpl::FileOperationsImpl() : mBuffer(nullptr)
{
    void* block = nullptr;
    if (posix_memalign(&block, kAlignment, kChunk) == 0)
        mBuffer = static_cast<char*>(block);
}

FileOperationsImpl::~FileOperationsImpl()
{
    if (mBuffer)
        free(mBuffer);
}

bool FileOperationsImpl::CopyF(const std::wstring& source, const std::wstring& destination, bool flush) const
{
    const std::string src = utf8(source);
    const std::string dst = utf8(destination);
    if (!mBuffer)
        throw Exception::Generic("Buffer error.");
    const std::string failure = "Could not copy from '" + quoted(source) + "' to '" + quoted(destination) + "'";

    const bool existed = CheckF(destination);
    std::ofstream out;
    // An existing file is overwritten in place so that it keeps its mode, owner and links.
    if (existed)
        out.open(dst, std::ios::binary | std::ios::in | std::ios::out);
    else
        out.open(dst, std::ios::binary | std::ios::out | std::ios::trunc);
    if (!out.is_open())
        throw Exception::Generic(failure + " (destination error).");
    if (flush)
        out.setf(std::ios::unitbuf);

    std::ifstream in(src, std::ios::binary);
    if (!in.is_open()) {
        out.close();
        throw Exception::Generic(failure + " (source error).");
    }
    in.seekg(0, std::ios::end);
    const std::streamoff end = in.tellg();
    in.seekg(0, std::ios::beg);
    if (end < 0 || !in)
        throw Exception::Generic(failure + " (source error).");

    unsigned long long remaining = static_cast<unsigned long long>(end);
    const unsigned long long total = remaining;
    // Each chunk is written only after it was read whole, so no unread byte reaches the destination.
    auto copyChunk = [&](size_t size) {
        if (size == 0)
            return;
        in.read(mBuffer, static_cast<std::streamsize>(size));
        if (static_cast<size_t>(in.gcount()) != size)
            throw Exception::Generic(failure + " (read error).");
        out.write(mBuffer, static_cast<std::streamsize>(size));
        if (!out)
            throw Exception::Generic(failure + " (write error).");
    };
    while (remaining > kChunk) {
        copyChunk(kChunk);
        remaining -= kChunk;
    }
    copyChunk(static_cast<size_t>(remaining));
    // More data than measured means the source grew, or could not be measured by seeking.
    if (in.peek() != std::ifstream::traits_type::eof())
        throw Exception::Generic(failure + " (source changed size).");
    in.close();
    out.close();
    if (out.fail())
        throw Exception::Generic(failure + " (write error).");

    if (existed) {
        // Cut to what was copied: a size taken from the source now could exceed the bytes read.
        if (SizeF(source) != total)
            throw Exception::Generic(failure + " (source changed size).");
        if (truncate64(dst.c_str(), static_cast<off64_t>(total)) != 0) {
            const int error = errno;
            throw Exception::Generic("Could not set size for file '" + quoted(destination) + "'. "
                                     + std::strerror(error));
        }
    } else if (SizeF(source) != total) {
        throw Exception::Generic(failure + " (source changed size).");
    }
    return true;
}

bool FileOperationsImpl::CopyD(const std::wstring& source, const std::wstring& destination, bool flush) const
{
    const std::wstring src = directoryForm(source);
    const std::wstring dst = directoryForm(destination);
    struct stat64 st;
    if (!statOk(utf8(src), st) || !S_ISDIR(st.st_mode))
        throw Exception::Generic("Could not copy the directory '" + quoted(src) + "' to '" + quoted(dst) + "', "
                                 + quoted(src) + "' doesn't exist.");
    if (!mBuffer)
        throw Exception::Generic("Buffer error.");
    // A destination inside the source would be listed while it is filled and copied into itself.
    const std::string canonicalSource = canonicalTarget(entryForm(src));
    const std::string canonicalDestination = canonicalTarget(entryForm(dst));
    if (!canonicalSource.empty() && !canonicalDestination.empty()
        && isWithin(canonicalDestination, canonicalSource))
        throw Exception::Generic("Could not copy the directory '" + quoted(src) + "' to '" + quoted(dst)
                                 + "', the destination lies inside the source.");

    bool ok = MakeD(dst);
    std::vector<std::wstring> files;
    ReadF(files, src, true, false);
    for (const auto& name : files)
        ok = CopyF(src + name, dst + name, flush) && ok;
    std::vector<std::wstring> dirs;
    ReadD(dirs, src, true, false);
    for (const auto& name : dirs)
        ok = CopyD(src + name, dst + name, flush) && ok;
    return ok;
}

bool FileOperationsImpl::MoveF(const std::wstring& oldPath, const std::wstring& newPath)
{
    if (rename(utf8(oldPath).c_str(), utf8(newPath).c_str()) != 0)
        throw Exception::Generic("Could not move the file '" + quoted(oldPath) + "' to '" + quoted(newPath) + "'.");
    return true;
}

bool FileOperationsImpl::RenameF(const std::wstring& oldPath, const std::wstring& newPath)
{
    if (rename(utf8(oldPath).c_str(), utf8(newPath).c_str()) != 0)
        throw Exception::Generic("Could not rename the file '" + quoted(oldPath) + "' to '" + quoted(newPath)
                                 + "'.");
    return true;
}

bool FileOperationsImpl::MoveD(const std::wstring& oldDir, const std::wstring& newDir)
{
    const std::wstring from = directoryForm(oldDir);
    const std::wstring to = directoryForm(newDir);
    if (rename(utf8(from).c_str(), utf8(to).c_str()) != 0)
        throw Exception::Generic("Could not move the directory '" + quoted(from) + "' to '" + quoted(to) + "'.");
    return true;
}

bool FileOperationsImpl::RenameD(const std::wstring& oldDir, const std::wstring& newDir)
{
    const std::wstring from = directoryForm(oldDir);
    const std::wstring to = directoryForm(newDir);
    if (rename(utf8(from).c_str(), utf8(to).c_str()) != 0)
        throw Exception::Generic("Could not rename the directory '" + quoted(from) + "' to '" + quoted(to)
                                 + "'.");
    return true;
}

bool FileOperationsImpl::DeleteF(const std::wstring& path)
{
    if (remove(utf8(path).c_str()) != 0)
        throw Exception::Generic("Could not delete the file '" + quoted(path) + "'.");
    return true;
}

bool FileOperationsImpl::DeleteD(const std::wstring& dir, bool recursive)
{
    const std::wstring form = directoryForm(dir);
    if (recursive && !IsLink(dir)) {
        std::vector<std::wstring> files;
        ReadF(files, form, true, true);
        for (const auto& name : files)
            if (!DeleteF(form + name))
                return false;
        std::vector<std::wstring> dirs;
        ReadD(dirs, form, true, true);
        for (const auto& name : dirs)
            if (!DeleteD(form + name, true))
                return false;
    }
    if (rmdir(utf8(form).c_str()) != 0)
        throw Exception::Generic("Could not delete the directory '" + quoted(form) + "'.");
    return true;
}

unsigned long long FileOperationsImpl::SizeF(const std::wstring& path)
{
    struct stat64 st;
    if (!statOk(utf8(path), st))
        return 0;
    return static_cast<unsigned long long>(st.st_size);
}

unsigned long long FileOperationsImpl::SizeD(const std::wstring& dir)
{
    unsigned long long total = 0;
    RecSizeD(dir, total);
    return total;
}

void FileOperationsImpl::RecSizeD(const std::wstring& dir, unsigned long long& total)
{
    const std::wstring form = directoryForm(dir);
    std::vector<std::wstring> files;
    ReadF(files, form, true, false);
    for (const auto& name : files)
        total += SizeF(form + name);
    std::vector<std::wstring> dirs;
    ReadD(dirs, form, true, false);
    for (const auto& name : dirs)
        RecSizeD(form + name, total);
}

bool FileOperationsImpl::CheckF(const std::wstring& path)
{
    struct stat64 st;
    return statOk(utf8(path), st) && S_ISREG(st.st_mode);
}

bool FileOperationsImpl::CheckD(const std::wstring& dir)
{
    struct stat64 st;
    return statOk(utf8(directoryForm(dir)), st) && S_ISDIR(st.st_mode);
}

bool FileOperationsImpl::IsDirectory(const std::wstring& path)
{
    std::string text = utf8(path);
    if (text.size() > 1 && text.back() == '/')
        text.pop_back();
    struct stat64 st;
    return lstat64(text.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool FileOperationsImpl::IsReadOnly(const std::wstring& path)
{
    return access(entryForm(path).c_str(), W_OK) != 0;
}

bool FileOperationsImpl::IsHidden(const std::wstring& path)
{
    const std::wstring name = Utilities::fileName(path);
    return !name.empty() && name[0] == L'.';
}

bool FileOperationsImpl::IsLink(const std::wstring& path)
{
    const std::string text = entryForm(path);
    if (text.size() < 2)
        return false;
    struct stat64 st;
    return lstat64(text.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::wstring FileOperationsImpl::Owner(const std::wstring& path)
{
    struct stat64 st;
    if (!statOk(entryForm(path), st))
        return std::wstring();
    passwd record{};
    std::vector<char> buffer;
    const unsigned int uid = st.st_uid;
    if (!PwdHelper::getPwdFromUid(uid, &record, buffer) || !record.pw_name)
        return std::wstring();
    return Utilities::convertNarrowToWideString(record.pw_name);
}

std::wstring FileOperationsImpl::VolumeNameF(const std::wstring& path)
{
    std::wstring result;
    struct stat64 st;
    if (!statOk(utf8(path), st))
        return result;
    FILE* table = setmntent("/etc/mtab", "r");
    if (!table)
        return result;
    mntent entry;
    char buffer[4096];
    while (getmntent_r(table, &entry, buffer, sizeof buffer)) {
        struct stat64 mountSt;
        if (statOk(entry.mnt_dir, mountSt) && mountSt.st_dev == st.st_dev) {
            result = Utilities::convertNarrowToWideString(entry.mnt_dir);
            break;
        }
    }
    endmntent(table);
    return result;
}

std::wstring FileOperationsImpl::VolumeNameD(const std::wstring& dir)
{
    return VolumeNameF(directoryForm(dir));
}

uint64_t FileOperationsImpl::GetNumberOfFilesInDir(const std::wstring& dir)
{
    tFilterDirectory = utf8(directoryForm(dir));
    dirent64** list = nullptr;
    const int count = scandir64(tFilterDirectory.c_str(), &list, GetNumberOfFilesInDir_Filter, nullptr);
    tFilterDirectory.clear();
    if (count < 0)
        return 0;
    for (int i = 0; i < count; ++i)
        free(list[i]);
    free(list);
    return static_cast<uint64_t>(count);
}

void FileOperationsImpl::ReadF(std::vector<std::wstring>& files, const std::wstring& dir, bool showHidden,
                               bool followLinks)
{
    scanEntries(directoryForm(dir), "Could not read out the files from '", nullptr,
                [&](const std::wstring& name, const std::wstring& child, const struct stat64& st) {
                    if (admitted(name, child, showHidden, followLinks) && S_ISREG(st.st_mode))
                        files.push_back(name);
                });
}

void FileOperationsImpl::ReadD(std::vector<std::wstring>& dirs, const std::wstring& dir, bool showHidden,
                               bool followLinks)
{
    scanEntries(directoryForm(dir), "Could not read out the directories from '", nullptr,
                [&](const std::wstring& name, const std::wstring& child, const struct stat64& st) {
                    if (admitted(name, child, showHidden, followLinks) && S_ISDIR(st.st_mode)
                        && !isDotOrDotDot(name))
                        dirs.push_back(name);
                });
}

void FileOperationsImpl::Read(std::vector<std::wstring>& dirs, std::vector<std::wstring>& files,
                              const std::wstring& dir, bool showHidden, bool followLinks, int* errorCode)
{
    scanEntries(directoryForm(dir), "Could not read out the directories and files from '", errorCode,
                [&](const std::wstring& name, const std::wstring& child, const struct stat64& st) {
                    if (!admitted(name, child, showHidden, followLinks))
                        return;
                    if (S_ISDIR(st.st_mode)) {
                        if (!isDotOrDotDot(name))
                            dirs.push_back(name);
                    } else if (S_ISREG(st.st_mode)) {
                        files.push_back(name);
                    }
                });
}

void FileOperationsImpl::GetDirEntries(std::vector<std::wstring>& entries, const std::wstring& dir)
{
    dirent64** list = nullptr;
    const int count = scandir64(utf8(directoryForm(dir)).c_str(), &list, nullptr, nullptr);
    if (count < 0)
        return;
    EntryList guard(list, count);
    for (int i = 0; i < guard.count(); ++i) {
        entries.push_back(Utilities::convertUtf8ToWideString(guard.at(i)->d_name, 0));
        guard.release(i);
    }
}

void FileOperationsImpl::FolderProperties(const std::wstring& dir, unsigned long long& fileCount,
                                          unsigned long long& byteTotal, long& latestModification,
                                          std::vector<std::wstring>& dirs)
{
    fileCount = 0;
    byteTotal = 0;
    latestModification = 0;
    dirs.clear();
    scanEntries(directoryForm(dir), "Could not read out the directories and files from '", nullptr,
                [&](const std::wstring& name, const std::wstring& child, const struct stat64& st) {
                    if (IsLink(child))
                        return;
                    if (S_ISDIR(st.st_mode)) {
                        if (!isDotOrDotDot(name))
                            dirs.push_back(name);
                    } else if (S_ISREG(st.st_mode)) {
                        ++fileCount;
                        byteTotal += static_cast<unsigned long long>(st.st_size);
                        if (st.st_mtime > latestModification)
                            latestModification = st.st_mtime;
                    }
                });
}

bool FileOperationsImpl::MakeD(const std::wstring& dir)
{
    const std::wstring form = directoryForm(dir);
    const std::string text = utf8(form);
    if (mkdir(text.c_str(), 0777) != 0) {
        struct stat64 st;
        if (!statOk(text, st) || !S_ISDIR(st.st_mode))
            throw Exception::Generic("Could not create the new directory '" + quoted(form) + "'.");
    }
    return true;
}

} // namespace velmora
