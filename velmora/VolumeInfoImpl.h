// Linux implementation behind VolumeInfo: reads "/etc/mtab" and "/etc/fstab" with the reentrant
// mount-table calls and the stat calls. Owned by one VolumeInfo (or a caller's local); unchanged
// after construction, and the static members share nothing, so any thread may call them.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace velmora {

class VolumeInfoImpl {
public:
    explicit VolumeInfoImpl(const std::wstring& path);

    const std::wstring& Path() const { return mPath; }
    const std::wstring& VolumeName() const { return mVolumeName; }
    const std::wstring& FileSystem() const { return mFileSystem; }
    int64_t DriveType() const { return mDriveType; }

    bool IsSupportingDMA() const;
    uint64_t TotalBytes() const;
    uint64_t FreeBytes() const;

    static std::wstring VolumeDisplayName(const std::wstring& path);
    // A VolumeInfo::eDriveType value; 0 when nothing can be told.
    static int64_t GetTypeOfDrive(const std::wstring& path);
    static std::list<std::wstring> DeviceMountPoints();
    static std::list<std::wstring> Volumes();
    static std::wstring VolumePath(const std::wstring& path);
    static std::vector<std::wstring> FileSystemRoot();
    static std::map<std::wstring, std::wstring> NetworkDrives();

private:
    std::wstring mPath;
    std::wstring mVolumeName;
    std::wstring mFileSystem;
    int64_t mDriveType;
};

} // namespace velmora
