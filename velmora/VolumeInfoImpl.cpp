#include "velmora/VolumeInfoImpl.h"

#include "velmora/Utilities.h"
#include "velmora/VolumeInfo.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include <mntent.h>
#include <sys/stat.h>
#include <sys/statfs.h>

namespace velmora {
namespace {

const char kMtab[] = "/etc/mtab";
const char kFstab[] = "/etc/fstab";

// One open mount table, read entry by entry into a buffer of its own; closed on destruction.
class MountTable {
public:
    explicit MountTable(const char* path) : mFile(::setmntent(path, "r")) {}
    ~MountTable()
    {
        if (mFile)
            ::endmntent(mFile);
    }
    MountTable(const MountTable&) = delete;
    MountTable& operator=(const MountTable&) = delete;

    bool isOpen() const { return mFile != nullptr; }
    bool next(mntent& entry) { return mFile && ::getmntent_r(mFile, &entry, mBuffer, sizeof mBuffer); }
    void close()
    {
        if (mFile)
            ::endmntent(mFile);
        mFile = nullptr;
    }

private:
    FILE* mFile;
    char mBuffer[4096];
};

bool holds(const mntent& entry, dev_t device)
{
    struct stat64 st;
    return entry.mnt_dir && ::stat64(entry.mnt_dir, &st) == 0 && st.st_dev == device;
}

bool statPath(const std::wstring& path, struct stat64& st)
{
    return ::stat64(Utilities::convertWideToUtf8String(path).c_str(), &st) == 0;
}

bool startsWith(const char* text, const char* prefix)
{
    return text && std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

bool equals(const char* text, const char* other)
{
    return text && std::strcmp(text, other) == 0;
}

struct FileSystemName {
    uint64_t type;
    const wchar_t* name;
};

constexpr uint64_t kFuse = 0x65735546;

const FileSystemName kFileSystems[] = {
    {0x2F, L"QNX4"},          {0x1373, L"DEVFS"},          {0x137D, L"EXT"},
    {0x137F, L"MINIX"},       {0x138F, L"MINIX (30 char)"}, {0x2468, L"MINIX2"},
    {0x2478, L"MINIX2 (30 char)"}, {0x4244, L"HFS"},       {0x4D44, L"FAT32"},
    {0x517B, L"SMB"},         {0x564C, L"NCP"},            {0x6969, L"NFS"},
    {0x7275, L"ROMFS"},       {0x72B6, L"JFFS2"},          {0x9660, L"ISOFS"},
    {0x9FA0, L"PROC"},        {0x9FA1, L"OPENROM"},        {0x9FA2, L"USBDEVICE"},
    {0xADF5, L"ADFS"},        {0xADFF, L"AFFS"},           {0xEF51, L"EXT2-OLD"},
    {0xEF53, L"EXT2/3/4"},    {0x11954, L"UFS"},           {0x414A53, L"EFS"},
    {0x1021994, L"TMPFS"},    {0x12FD16D, L"XIAFS"},       {0x12FF7B4, L"XENIX"},
    {0x12FF7B5, L"SYSV4"},    {0x12FF7B6, L"SYSV2"},       {0x12FF7B7, L"COH"},
    {0x15013346, L"UDF"},     {0x1BADFACE, L"BFS"},        {0x28CD3D45, L"CRAMFS"},
    {0x3153464A, L"JFS"},     {0x42465331, L"BEFS"},       {0x52654973, L"REISERFS"},
    {0x5346544E, L"NTFS"},    {0x58465342, L"XFS"},        {kFuse, nullptr},
    {0x73757245, L"CODA"},    {0x958458F6, L"HUGETLBFS"},  {0xA501FCF5, L"VXFS"},
    {0xBEEFDEAD, L"SNFS"},    {0xF995E849, L"HPFS"},       {0xFF534D42, L"CIFS"},
};

std::wstring fileSystemName(uint64_t type, int64_t driveType)
{
    for (const FileSystemName& fs : kFileSystems) {
        if (fs.type != type)
            continue;
        if (type == kFuse)
            return driveType == VolumeInfo::Tape ? L"LTFS" : L"FUSE (unknown)";
        return fs.name;
    }
    return L"UNKNOWN";
}

// Both sizes come from the file system that holds the path; 0 when it cannot be asked.
bool statVolume(const std::wstring& path, struct statfs64& fs)
{
    struct stat64 st;
    const std::string utf8 = Utilities::convertWideToUtf8String(path);
    return ::stat64(utf8.c_str(), &st) == 0 && ::statfs64(utf8.c_str(), &fs) == 0;
}

} // namespace

VolumeInfoImpl::VolumeInfoImpl(const std::wstring& path)
    : mPath(Utilities::unifyPath(path, false)), mFileSystem(L"UNKNOWN"), mDriveType(GetTypeOfDrive(mPath))
{
    struct statfs64 fs;
    if (statVolume(mPath, fs))
        mFileSystem = fileSystemName(static_cast<uint64_t>(fs.f_type), mDriveType);

    struct stat64 st;
    if (!statPath(mPath, st))
        return;
    MountTable mtab(kMtab);
    mntent entry;
    while (mtab.next(entry)) {
        if (holds(entry, st.st_dev)) {
            mVolumeName = Utilities::convertNarrowToWideString(entry.mnt_fsname);
            break;
        }
    }
}

bool VolumeInfoImpl::IsSupportingDMA() const
{
    return mFileSystem == L"XFS" || mFileSystem == L"EXT2/3/4" || mFileSystem == L"SNFS";
}

uint64_t VolumeInfoImpl::TotalBytes() const
{
    struct statfs64 fs;
    if (!statVolume(mPath, fs))
        return 0;
    return static_cast<uint64_t>(fs.f_bsize) * static_cast<uint64_t>(fs.f_blocks);
}

uint64_t VolumeInfoImpl::FreeBytes() const
{
    struct statfs64 fs;
    if (!statVolume(mPath, fs))
        return 0;
    return static_cast<uint64_t>(fs.f_bsize) * static_cast<uint64_t>(fs.f_bavail);
}

std::wstring VolumeInfoImpl::VolumeDisplayName(const std::wstring& path)
{
    return path;
}

int64_t VolumeInfoImpl::GetTypeOfDrive(const std::wstring& path)
{
    MountTable fstab(kFstab);
    MountTable mtab(kMtab);
    if (!fstab.isOpen() && !mtab.isOpen())
        return VolumeInfo::Unknown;

    struct stat64 st;
    if (!statPath(path, st))
        return VolumeInfo::Unknown;

    mntent entry;
    bool inFstab = false;
    while (!inFstab && fstab.next(entry))
        inFstab = holds(entry, st.st_dev);
    fstab.close();

    // The matching entry's fields are kept whole, so a long device name is judged by its real
    // last character.
    bool found = false;
    std::string type;
    std::string device;
    while (!found && mtab.next(entry)) {
        if (holds(entry, st.st_dev)) {
            found = true;
            type = entry.mnt_type ? entry.mnt_type : "";
            device = entry.mnt_fsname ? entry.mnt_fsname : "";
        }
    }
    if (!found)
        return VolumeInfo::Unknown;

    if (inFstab)
        return type == "nfs" ? VolumeInfo::Net : VolumeInfo::HDD;
    if (type == "nfs")
        return VolumeInfo::Net;
    if (device.compare(0, 8, "/dev/fdd") == 0)
        return VolumeInfo::Floppy;
    if (device.compare(0, 4, "ltfs") == 0)
        return VolumeInfo::Tape;
    if (!device.empty() && std::isdigit(static_cast<unsigned char>(device.back())))
        return VolumeInfo::USB;
    return VolumeInfo::CDRom;
}

std::list<std::wstring> VolumeInfoImpl::DeviceMountPoints()
{
    std::list<std::wstring> points;
    MountTable mtab(kMtab);
    mntent entry;
    while (mtab.next(entry)) {
        if (startsWith(entry.mnt_fsname, "/") || equals(entry.mnt_fsname, "ltfs"))
            points.push_back(Utilities::convertUtf8ToWideString(entry.mnt_dir ? entry.mnt_dir : ""));
    }
    return points;
}

std::list<std::wstring> VolumeInfoImpl::Volumes()
{
    std::list<std::wstring> volumes;
    MountTable mtab(kMtab);
    mntent entry;
    while (mtab.next(entry)) {
        if (startsWith(entry.mnt_fsname, "/"))
            volumes.push_back(Utilities::convertNarrowToWideString(entry.mnt_fsname));
    }
    return volumes;
}

std::wstring VolumeInfoImpl::VolumePath(const std::wstring& path)
{
    const std::wstring unified = Utilities::unifyPath(path, false);
    struct stat64 st;
    if (!statPath(unified, st))
        return std::wstring();
    MountTable mtab(kMtab);
    mntent entry;
    while (mtab.next(entry)) {
        if (holds(entry, st.st_dev))
            return Utilities::convertNarrowToWideString(entry.mnt_dir);
    }
    return std::wstring();
}

std::vector<std::wstring> VolumeInfoImpl::FileSystemRoot()
{
    return {L"/"};
}

std::map<std::wstring, std::wstring> VolumeInfoImpl::NetworkDrives()
{
    std::map<std::wstring, std::wstring> drives;
    MountTable mtab(kMtab);
    mntent entry;
    while (mtab.next(entry)) {
        if (equals(entry.mnt_type, "nfs") && entry.mnt_fsname) {
            const std::wstring device = Utilities::convertNarrowToWideString(entry.mnt_fsname);
            drives.emplace(device, device);
        }
    }
    return drives;
}

} // namespace velmora
