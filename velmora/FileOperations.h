// Facade over FileOperationsImpl for whole files and directory trees addressed by wide paths.
// Each object solely owns one implementation object (and its copy buffer), so it must not run two copies
// at once; the static members share no state and take no lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmora {

class FileOperationsImpl;

// Told about a path that could not be listed or sized; false stops the walk.
typedef bool (*SizeErrorCallback)(const std::wstring& path, void* context);
// Told after each directory's own files were counted; false stops the walk.
typedef bool (*SizeProgressCallback)(const std::wstring& dir, unsigned long long total, void* context);

namespace func_ {
// The recursive step of FileOperations::PopulateSizeOfDirectory; `dir` ends in "/".
bool process_populating_size_of_directory(unsigned long long& total, const std::wstring& dir,
                                          SizeErrorCallback onError, SizeProgressCallback onProgress,
                                          void* context);
} // namespace func_

class FileOperations {
public:
    FileOperations();
    ~FileOperations();
    FileOperations(const FileOperations&) = delete;
    FileOperations& operator=(const FileOperations&) = delete;

    bool CopyF(const std::wstring& source, const std::wstring& destination, bool flush) const;
    bool CopyD(const std::wstring& source, const std::wstring& destination, bool flush) const;

    static bool MoveF(const std::wstring& oldPath, const std::wstring& newPath);
    static bool RenameF(const std::wstring& oldPath, const std::wstring& newPath);
    static bool MoveD(const std::wstring& oldDir, const std::wstring& newDir);
    static bool RenameD(const std::wstring& oldDir, const std::wstring& newDir);
    static bool DeleteF(const std::wstring& path);
    static bool DeleteD(const std::wstring& dir, bool recursive);
    static bool DeleteFile(const std::wstring& path);
    static bool DeleteDirectory(const std::wstring& dir, bool recursive);

    static unsigned long long SizeF(const std::wstring& path);
    static unsigned long long SizeD(const std::wstring& dir);
    static long long SizeOfFile(const std::wstring& path);

    static bool CheckF(const std::wstring& path);
    static bool CheckD(const std::wstring& dir);
    static bool IsDirectory(const std::wstring& path);
    static bool IsReadOnly(const std::wstring& path);
    static bool IsHidden(const std::wstring& path);
    static bool IsLink(const std::wstring& path);
    static bool IsFile(const std::wstring& path);
    static bool Exists(const std::wstring& path);
    static std::wstring Owner(const std::wstring& path);
    static std::wstring VolumeNameF(const std::wstring& path);
    static std::wstring VolumeNameD(const std::wstring& dir);
    static uint64_t GetNumberOfFilesInDir(const std::wstring& dir);

    // File names shortest first; directory names in plain string order.
    static std::vector<std::wstring> ReadF(const std::wstring& dir, bool showHidden, bool followLinks);
    static std::vector<std::wstring> ReadD(const std::wstring& dir, bool showHidden, bool followLinks);
    static bool Read(std::vector<std::wstring>& dirs, std::vector<std::wstring>& files, const std::wstring& dir,
                     bool showHidden, bool followLinks, bool sort, int* errorCode);
    static void GetDirEntries(std::vector<std::wstring>& entries, const std::wstring& dir, bool sort);
    // `lastModification` becomes "YYYYMMDDhhmmss" local time when a file has a modification time.
    static bool FolderProperties(const std::wstring& dir, unsigned long long& fileCount,
                                 unsigned long long& byteTotal, std::string& lastModification,
                                 std::vector<std::wstring>& dirs);

    // Creates every missing component; a component that is a link to a directory fails.
    static bool MakeD(const std::wstring& dir);
    // Creates every missing component through the UTF-8 text; links to directories are accepted.
    static bool CreateDirectory(const std::wstring& dir);

    static bool PopulateSizeOfDirectory(unsigned long long& total, const std::wstring& dir,
                                        SizeErrorCallback onError, SizeProgressCallback onProgress, void* context);

    static bool mAlwaysFollowLinksInReadD;

private:
    FileOperationsImpl* mImpl;
};

} // namespace velmora
