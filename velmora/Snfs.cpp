#include "velmora/Snfs.h"

#include "velmora/CvApi.h"
#include "velmora/Utilities.h"

#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace velmora {
namespace {

const wchar_t kPrefix[] = L"Error obtaining SNFS information: ";
const wchar_t kNoValidGroup[] = L"No valid stripe group.";
const wchar_t kGroupCount[] = L"Invalid or unsupported number of stripe groups.";
const wchar_t kConfiguration[] = L"Invalid or unsupported stripe group configuration.";
const wchar_t kOffline[] = L"Stripe group invalid or offline.";
const wchar_t kBlockSize[] = L"Invalid blocksize (0 bytes).";

constexpr uint32_t kFlagBit0 = 1;
constexpr uint32_t kFlagBit1 = 2;
constexpr uint32_t kFlagBit2 = 4;
constexpr uint32_t kLastGroup = Snfs::kMaxGroups - 1;

int fail(std::wstring& error, const wchar_t* reason)
{
    error = std::wstring(kPrefix) + reason;
    return 0;
}

} // namespace

void Snfs::InitBuffer(SNFS_SG_DATA& group)
{
    group.count1 = 0;
    group.count2 = 0;
    group.start = 0;
    group.value1 = 0;
    group.flags = 0;
    group.blockSize = 0;
    group.extraLength = 0;
}

void Snfs::InitBuffer(SNFS_VOLUME_DATA_BUFFER& volume)
{
    volume.groupCount = 0;
    volume.totalCount1 = 0;
    volume.totalCount2 = 0;
    volume.maxValue1 = 0;
    volume.blockSize = 0;
    for (SNFS_SG_DATA& group : volume.groups)
        InitBuffer(group);
}

int Snfs::DiskInfo(int fd, uint32_t index, SNFS_DISK_INFO& info)
{
    info.count = kDiskEntries;
    return CvApi_GetDiskInfo(fd, index, info.entries, &info.count);
}

int Snfs::Alloc(int fd, uint64_t size, bool verify)
{
    if (verify)
        return CvApi_VerifyAlloc(fd, 0, size, 0);
    uint64_t a = size;
    uint64_t b = 0;
    return CvApi_AllocSpace(fd, &a, &b, 0, 0);
}

bool Snfs::CheckStripeGroup(int fd, uint32_t group, SNFS_SG_DATA& data)
{
    data.extraLength = 32;
    return CvApi_GetSgInfo(fd, group, &data.count1, &data.count2, &data.value1, &data.value2,
                           &data.flags, &data.blockSize, data.name,
                           reinterpret_cast<uintptr_t>(data.extraBuffer),
                           reinterpret_cast<uintptr_t>(&data.extraLength)) == 0;
}

std::wstring Snfs::SerialNum(const std::wstring& path)
{
    std::wstring serial;
    const std::string utf8 = Utilities::convertWideToUtf8String(path);
    const int fd = ::open(utf8.c_str(), O_RDONLY);
    // Descriptor 0 is a valid descriptor too (stdin may have been closed), so it is used and
    // closed like any other.
    if (fd < 0)
        return serial;
    SNFS_DISK_INFO info{};
    if (DiskInfo(fd, 0, info) == 0 && info.count != 0) {
        const char* text = reinterpret_cast<const char*>(info.entries + kSerialOffset);
        serial = Utilities::convertNarrowToWideString(
            std::string(text, ::strnlen(text, kDiskEntrySize - kSerialOffset)));
    }
    ::close(fd);
    return serial;
}

int Snfs::VolumeQuery(int fd, SNFS_VOLUME_DATA_BUFFER& volume, std::wstring& error)
{
    InitBuffer(volume);
    if (!CheckStripeGroup(fd, 0, volume.groups[0]))
        return fail(error, kNoValidGroup);
    if ((volume.groups[0].flags & kFlagBit2) == 0)
        return fail(error, kConfiguration);
    volume.groupCount = 1;

    for (uint32_t i = 1; i <= kLastGroup; ++i) {
        SNFS_SG_DATA& group = volume.groups[i];
        if (!CheckStripeGroup(fd, i, group)) {
            if (i == 1)
                return fail(error, kGroupCount);
            break;
        }
        if (i == kLastGroup)
            return fail(error, kGroupCount);
        if (group.flags & kFlagBit2)
            return fail(error, kConfiguration);
        if ((group.flags & kFlagBit0) == 0 || (group.flags & kFlagBit1) == 0)
            return fail(error, kOffline);
        ++volume.groupCount;
        volume.totalCount1 += group.count1;
        volume.totalCount2 += group.count2;
        volume.blockSize = group.blockSize;
        if (group.value1 > volume.maxValue1)
            volume.maxValue1 = group.value1;
        volume.groups[i + 1].start = group.start + group.count1;
    }

    if (volume.blockSize == 0)
        return fail(error, kBlockSize);
    return 1;
}

} // namespace velmora
