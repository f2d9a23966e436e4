// Volume-level StorNext queries built on the request wrappers: first-disk serial number,
// stripe-group survey, disk information and space preallocation. A scope of static operations
// without state; callable from any thread on buffers the caller owns.
#pragma once

#include <cstdint>
#include <string>

namespace velmora {

class Snfs {
public:
    // Bytes of one disk entry as the driver lays it out; the serial number text starts at 264.
    static constexpr unsigned kDiskEntrySize = 520;
    static constexpr unsigned kDiskEntries = 32;
    static constexpr unsigned kSerialOffset = 264;
    static constexpr unsigned kMaxGroups = 129;

    struct SNFS_DISK_INFO {
        uint32_t count;
        unsigned char entries[kDiskEntries * kDiskEntrySize];
    };

    struct SNFS_SG_DATA {
        uint64_t count1;
        uint64_t count2;
        uint64_t start;
        uint32_t value1;
        uint32_t value2;
        uint32_t flags;
        uint32_t blockSize;
        char name[256];
        unsigned char extraBuffer[256];
        uint32_t extraLength;
    };

    struct SNFS_VOLUME_DATA_BUFFER {
        uint64_t totalCount1;
        uint64_t totalCount2;
        uint32_t maxValue1;
        uint32_t blockSize;
        uint32_t groupCount;
        SNFS_SG_DATA groups[kMaxGroups];
    };

    Snfs() = delete;

    static void InitBuffer(SNFS_SG_DATA& group);
    static void InitBuffer(SNFS_VOLUME_DATA_BUFFER& volume);
    // The result of the disk-information request itself (0 or -1).
    static int DiskInfo(int fd, uint32_t index, SNFS_DISK_INFO& info);
    // Preallocates size bytes, or with verify only checks that it could; 0 or errno.
    static int Alloc(int fd, uint64_t size, bool verify);
    static bool CheckStripeGroup(int fd, uint32_t group, SNFS_SG_DATA& data);
    // Empty when the path cannot be opened or the volume reports no disk.
    static std::wstring SerialNum(const std::wstring& path);
    // 1 when the survey is valid; 0 with error replaced by the reason.
    static int VolumeQuery(int fd, SNFS_VOLUME_DATA_BUFFER& volume, std::wstring& error);
};

} // namespace velmora
