#include "velmora/VolumeInfo.h"

#include "velmora/Snfs.h"
#include "velmora/Utilities.h"
#include "velmora/VolumeInfoImpl.h"

namespace velmora {

VolumeInfo::VolumeInfo(const std::wstring& path) : mImpl(new VolumeInfoImpl(path)), mPath(path) {}

VolumeInfo::~VolumeInfo()
{
    delete mImpl;
}

const std::wstring& VolumeInfo::FileSystem() const
{
    return mImpl->FileSystem();
}

const std::wstring& VolumeInfo::VolumeName() const
{
    return mImpl->VolumeName();
}

bool VolumeInfo::isType(eDriveType type) const
{
    return mImpl->DriveType() == type;
}

bool VolumeInfo::IsDriveTypeUnknown() const { return isType(Unknown); }
bool VolumeInfo::IsDriveTypeHDD() const { return isType(HDD); }
bool VolumeInfo::IsDriveTypeCDRom() const { return isType(CDRom); }
bool VolumeInfo::IsDriveTypeFloppy() const { return isType(Floppy); }
bool VolumeInfo::IsDriveTypeUSB() const { return isType(USB); }
bool VolumeInfo::IsDriveTypeFirewire() const { return isType(Firewire); }
bool VolumeInfo::IsDriveTypeRemovable() const { return isType(Removable); }
bool VolumeInfo::IsDriveTypeNet() const { return isType(Net); }
bool VolumeInfo::IsDriveTypeRAMDisk() const { return isType(RAMDisk); }
bool VolumeInfo::IsDriveTypeTape() const { return isType(Tape); }

std::wstring VolumeInfo::DriveTypeStr() const
{
    switch (VolumeInfoImpl::GetTypeOfDrive(mImpl->Path())) {
    case HDD: return L"HDD";
    case CDRom: return L"CDROM";
    case Floppy: return L"FDD";
    case USB: return L"USB";
    case Firewire: return L"FW";
    case Removable: return L"USB";
    case Net: return L"NET";
    case RAMDisk: return L"RAM";
    case Tape: return L"TAPE";
    default: return L"";
    }
}

uint64_t VolumeInfo::TotalBytes() const
{
    return mImpl->TotalBytes();
}

uint64_t VolumeInfo::FreeBytes() const
{
    return mImpl->FreeBytes();
}

bool VolumeInfo::IsSupportingDMA() const
{
    return mImpl->IsSupportingDMA();
}

std::wstring VolumeInfo::SANSerialNum() const
{
    if (mImpl->FileSystem() != L"SNFS")
        return std::wstring();
    return Snfs::SerialNum(VolumePath(mPath));
}

std::wstring VolumeInfo::VolumeDisplayName(const std::wstring& path)
{
    return VolumeInfoImpl::VolumeDisplayName(path);
}

std::wstring VolumeInfo::VolumePath(const std::wstring& path)
{
    return VolumeInfoImpl::VolumePath(path);
}

std::list<std::wstring> VolumeInfo::Volumes()
{
    return VolumeInfoImpl::Volumes();
}

std::list<std::wstring> VolumeInfo::DeviceMountPoints()
{
    return VolumeInfoImpl::DeviceMountPoints();
}

std::map<std::wstring, std::wstring> VolumeInfo::NetworkDrives()
{
    return VolumeInfoImpl::NetworkDrives();
}

std::vector<std::wstring> VolumeInfo::FileSystemRoot()
{
    return VolumeInfoImpl::FileSystemRoot();
}

bool VolumeInfo::IsTapeDrive(const std::wstring& path)
{
    if (path.empty())
        return false;
    return VolumeInfoImpl::GetTypeOfDrive(path) == Tape;
}

bool VolumeInfo::IsDeviceMountPoint(const std::wstring& path)
{
    for (const std::wstring& point : DeviceMountPoints()) {
        if (Utilities::unifyPath(point, true) == path)
            return true;
    }
    return false;
}

bool VolumeInfo::IsSupportingDMA(const std::wstring& path)
{
    return VolumeInfoImpl(path).IsSupportingDMA();
}

} // namespace velmora
