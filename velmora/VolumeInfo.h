// Facts about the mounted volume that holds a path: file system, device, drive type, sizes,
// and lists of mounted devices. Owns its VolumeInfoImpl, which records what the constructor
// found and never changes afterwards, so const members may be called from several threads.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

namespace velmora {

class VolumeInfoImpl;

class VolumeInfo {
public:
    enum eDriveType {
        Unknown = 0,
        HDD = 1,
        CDRom = 2,
        Floppy = 3,
        USB = 4,
        Firewire = 5,
        Removable = 6,
        Net = 7,
        RAMDisk = 8,
        Tape = 9,
    };

    explicit VolumeInfo(const std::wstring& path);
    virtual ~VolumeInfo();
    VolumeInfo(const VolumeInfo&) = delete;
    VolumeInfo& operator=(const VolumeInfo&) = delete;

    const std::wstring& FileSystem() const;
    const std::wstring& VolumeName() const;

    bool IsDriveTypeUnknown() const;
    bool IsDriveTypeHDD() const;
    bool IsDriveTypeCDRom() const;
    bool IsDriveTypeFloppy() const;
    bool IsDriveTypeUSB() const;
    bool IsDriveTypeFirewire() const;
    bool IsDriveTypeRemovable() const;
    bool IsDriveTypeNet() const;
    bool IsDriveTypeRAMDisk() const;
    bool IsDriveTypeTape() const;
    // Detects the drive type again rather than using the recorded one.
    std::wstring DriveTypeStr() const;

    uint64_t TotalBytes() const;
    uint64_t FreeBytes() const;
    bool IsSupportingDMA() const;
    // Serial number of the first disk of a StorNext volume; empty for any other file system.
    std::wstring SANSerialNum() const;

    static std::wstring VolumeDisplayName(const std::wstring& path);
    static std::wstring VolumePath(const std::wstring& path);
    static std::list<std::wstring> Volumes();
    static std::list<std::wstring> DeviceMountPoints();
    static std::map<std::wstring, std::wstring> NetworkDrives();
    static std::vector<std::wstring> FileSystemRoot();
    static bool IsTapeDrive(const std::wstring& path);
    // The path must carry the trailing separator that mount points are compared with.
    static bool IsDeviceMountPoint(const std::wstring& path);
    static bool IsSupportingDMA(const std::wstring& path);

private:
    bool isType(eDriveType type) const;

    VolumeInfoImpl* mImpl;
    std::wstring mPath;
};

} // namespace velmora
