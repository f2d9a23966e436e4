// POSIX implementation behind FileOperations; the facade object owns one instance for its copy buffer.
// No locks: the buffer belongs to one object, so one object runs one copy at a time; statics share nothing.
#pragma once

#include <dirent.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

// Entry filter for GetNumberOfFilesInDir: admits everything that is not a directory.
int GetNumberOfFilesInDir_Filter(const dirent64* entry);

class FileOperationsImpl {
public:
    FileOperationsImpl();
    ~FileOperationsImpl();
    FileOperationsImpl(const FileOperationsImpl&) = delete;
    FileOperationsImpl& operator=(const FileOperationsImpl&) = delete;

    bool CopyF(const std::wstring& source, const std::wstring& destination, bool flush) const;
    bool CopyD(const std::wstring& source, const std::wstring& destination, bool flush) const;

    static bool MoveF(const std::wstring& oldPath, const std::wstring& newPath);
    static bool RenameF(const std::wstring& oldPath, const std::wstring& newPath);
    static bool MoveD(const std::wstring& oldDir, const std::wstring& newDir);
    static bool RenameD(const std::wstring& oldDir, const std::wstring& newDir);
    static bool DeleteF(const std::wstring& path);
    static bool DeleteD(const std::wstring& dir, bool recursive);

    static unsigned long long SizeF(const std::wstring& path);
    static unsigned long long SizeD(const std::wstring& dir);
    static void RecSizeD(const std::wstring& dir, unsigned long long& total);

    static bool CheckF(const std::wstring& path);
    static bool CheckD(const std::wstring& dir);
    static bool IsDirectory(const std::wstring& path);
    static bool IsReadOnly(const std::wstring& path);
    static bool IsHidden(const std::wstring& path);
    static bool IsLink(const std::wstring& path);
    static std::wstring Owner(const std::wstring& path);
    static std::wstring VolumeNameF(const std::wstring& path);
    static std::wstring VolumeNameD(const std::wstring& dir);
    static uint64_t GetNumberOfFilesInDir(const std::wstring& dir);

    // The readers collect names (not paths) in listing order.
    static void ReadF(std::vector<std::wstring>& files, const std::wstring& dir, bool showHidden,
                      bool followLinks);
    static void ReadD(std::vector<std::wstring>& dirs, const std::wstring& dir, bool showHidden,
                      bool followLinks);
    static void Read(std::vector<std::wstring>& dirs, std::vector<std::wstring>& files,
                     const std::wstring& dir, bool showHidden, bool followLinks, int* errorCode);
    static void GetDirEntries(std::vector<std::wstring>& entries, const std::wstring& dir);
    static void FolderProperties(const std::wstring& dir, unsigned long long& fileCount,
                                 unsigned long long& byteTotal, long& latestModification,
                                 std::vector<std::wstring>& dirs);
    // Creates the one directory; its parent must exist.
    static bool MakeD(const std::wstring& dir);

private:
    char* mBuffer;
};

} // namespace velmora
