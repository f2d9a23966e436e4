#include "velmora/CvApi.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int realRequest(int fd, unsigned long request, void* record)
{
    return ::ioctl(fd, request, record);
}

std::atomic<velmora::CvRequestFunction> gRequest{&realRequest};

constexpr size_t kTextField = 256;
constexpr int kRtioFlag = 0x800;

// A request record as the driver sees it: zero-filled bytes with little-endian fields at fixed
// offsets; every access is checked against the record's size at compile time.
template <size_t N>
struct Record {
    alignas(8) unsigned char bytes[N] = {};

    template <size_t Off>
    void put32(uint32_t v)
    {
        static_assert(Off + 4 <= N, "field outside the record");
        std::memcpy(bytes + Off, &v, 4);
    }
    template <size_t Off>
    void put64(uint64_t v)
    {
        static_assert(Off + 8 <= N, "field outside the record");
        std::memcpy(bytes + Off, &v, 8);
    }
    template <size_t Off>
    uint32_t get32() const
    {
        static_assert(Off + 4 <= N, "field outside the record");
        uint32_t v;
        std::memcpy(&v, bytes + Off, 4);
        return v;
    }
    template <size_t Off>
    uint64_t get64() const
    {
        static_assert(Off + 8 <= N, "field outside the record");
        uint64_t v;
        std::memcpy(&v, bytes + Off, 8);
        return v;
    }
    // The caller has checked that the name fits the field; the zero-filled record ends a
    // shorter one with its NUL.
    template <size_t Off>
    void putText(const char* text, size_t length)
    {
        static_assert(Off + kTextField <= N, "field outside the record");
        std::memcpy(bytes + Off, text, length);
    }
    // Reply text may lack its NUL; the copy stops at the field's end and is always terminated.
    template <size_t Off>
    void getText(char* out) const
    {
        static_assert(Off + kTextField <= N, "field outside the record");
        const char* src = reinterpret_cast<const char*>(bytes + Off);
        const size_t length = ::strnlen(src, kTextField - 1);
        std::memcpy(out, src, length);
        out[length] = 0;
    }
};

// Length of a name handed to the driver; false when it cannot fit a 256-byte field. Never reads
// more than the field's worth of the caller's text.
bool nameFits(const char* name, size_t& length)
{
    length = ::strnlen(name, kTextField);
    return length < kTextField;
}

// 0 or the errno of the failed request, taken before anything else can change it.
int issue(int fd, unsigned long number, void* record)
{
    const velmora::CvRequestFunction fn = gRequest.load();
    if (fn(fd, number, record) < 0)
        return errno;
    return 0;
}

template <size_t N>
int issue(int fd, unsigned long number, Record<N>& record)
{
    return issue(fd, number, record.bytes);
}

uint32_t lowByteSignExtended(int type)
{
    return static_cast<uint32_t>(static_cast<int32_t>(static_cast<int8_t>(type & 0xFF)));
}

int changeRtioFlag(int fd, bool on)
{
    const int flags = ::fcntl(fd, F_GETFL);
    // Writing back a failed read would store garbage flags.
    if (flags < 0)
        return errno;
    const int wanted = on ? (flags | kRtioFlag) : (flags & ~kRtioFlag);
    if (::fcntl(fd, F_SETFL, wanted) < 0)
        return errno;
    return 0;
}

} // namespace

namespace velmora {

CvRequestFunction setCvRequestFunction(CvRequestFunction fn)
{
    return gRequest.exchange(fn ? fn : &realRequest);
}

} // namespace velmora

int CvSetUnixRtio(int fd)
{
    return changeRtioFlag(fd, true);
}

int CvClearUnixRtio(int fd)
{
    return changeRtioFlag(fd, false);
}

int CvApi_AllocSpace(int fd, uint64_t* a, uint64_t* b, uint64_t c, uint32_t d)
{
    if (!a || !b)
        return EINVAL;
    Record<32> r;
    r.put64<0>(*a);
    r.put64<8>(*b);
    r.put64<16>(c);
    r.put32<24>(d);
    const int rc = issue(fd, 0xA00, r);
    if (rc == 0) {
        *a = r.get64<0>();
        *b = r.get64<8>();
    }
    return rc;
}

int CvApi_PunchHole(int fd, uint64_t* a, uint64_t* b, uint64_t* c, uint64_t* d)
{
    if (!a || !b || !c || !d)
        return EINVAL;
    Record<32> r;
    r.put64<0>(*a);
    r.put64<8>(*b);
    const int rc = issue(fd, 0xA01, r);
    if (rc == 0) {
        *a = r.get64<0>();
        *b = r.get64<8>();
        *c = r.get64<16>();
        *d = r.get64<24>();
    }
    return rc;
}

int CvApi_GetSgName(int fd, int mode, uint32_t* index, char* name)
{
    if (!index || !name)
        return EINVAL;
    const bool byIndex = (mode & 1) != 0;
    Record<264> r;
    r.put32<0>(static_cast<uint32_t>(mode));
    if (byIndex) {
        r.put32<8>(*index);
    } else {
        // The field ends the record, so a name may fill it without a NUL, just as it may fill
        // the caller's 256-byte buffer.
        r.putText<8>(name, ::strnlen(name, kTextField));
    }
    const int rc = issue(fd, 0xA02, r);
    if (rc == 0) {
        if (byIndex)
            r.getText<0>(name);
        else
            *index = r.get32<0>();
    }
    return rc;
}

int CvApi_EnableRtio(int fd, uint32_t a)
{
    const int set = CvSetUnixRtio(fd);
    if (set != 0)
        return set;
    Record<16> r;
    r.put32<0>(0);
    r.put32<4>(256);
    r.put64<8>(0);
    const int rc = issue(fd, 0xA04, a != 0 ? static_cast<void*>(r.bytes) : nullptr);
    if (rc != 0)
        CvClearUnixRtio(fd);
    return rc;
}

int CvApi_DisableRtio(int fd)
{
    const int cleared = CvClearUnixRtio(fd);
    if (cleared != 0)
        return cleared;
    const int rc = issue(fd, 0xA05, nullptr);
    if (rc != 0)
        CvSetUnixRtio(fd);
    return rc;
}

int CvApi_SetConcWrite(int fd)
{
    return issue(fd, 0xA06, nullptr);
}

int CvApi_ClearConcWrite(int fd)
{
    return issue(fd, 0xA07, nullptr);
}

int CvApi_CvFstat(int fd, void* buffer)
{
    return issue(fd, 0xA08, buffer);
}

int CvApi_GetAffinity(int fd, uint64_t* out)
{
    if (!out)
        return EINVAL;
    Record<8> r;
    const int rc = issue(fd, 0xA0A, r);
    if (rc == 0)
        *out = r.get64<0>();
    return rc;
}

int CvApi_SwapExtents(int fd, uint64_t a, uint32_t b)
{
    Record<16> r;
    r.put64<0>(a);
    r.put32<8>(b);
    return issue(fd, 0xA0B, r);
}

int CvApi_GetPhysLoc(int fd, uint64_t a, uint64_t out[9])
{
    if (!out)
        return EINVAL;
    Record<72> r;
    r.put64<0>(a);
    const int rc = issue(fd, 0xA0C, r);
    if (rc == 0)
        std::memcpy(out, r.bytes, 72);
    return rc;
}

int CvApi_SetRdHoleFail(int fd)
{
    return issue(fd, 0xA0D, nullptr);
}

int CvApi_ClearRdHoleFail(int fd)
{
    return issue(fd, 0xA0E, nullptr);
}

int CvApi_GetRtio(int fd, uint32_t a, uint32_t* o1, uint32_t* o2, uint32_t* o3, uint32_t* o4,
                  uint32_t* o5)
{
    if (!o1 || !o2 || !o3 || !o4 || !o5)
        return EINVAL;
    Record<24> r;
    r.put32<4>(64);
    r.put32<8>(a);
    const int rc = issue(fd, 0xA0F, r);
    if (rc == 0) {
        *o1 = r.get32<8>();
        *o2 = r.get32<12>();
        *o3 = r.get32<16>();
        *o4 = r.get32<20>();
        *o5 = r.get32<4>();
    }
    return rc;
}

int CvApi_SetAffinity(int fd, uint64_t a)
{
    Record<8> r;
    r.put64<0>(a);
    return issue(fd, 0xA10, r);
}

int CvApi_SetQuota(int fd, int type, const char* name, uint64_t c, uint64_t d, uint32_t e)
{
    if (!name)
        return EINVAL;
    size_t length;
    // A cut name could name another user's quota, so it is refused rather than shortened.
    if (!nameFits(name, length))
        return ENAMETOOLONG;
    Record<280> r;
    r.putText<0>(name, length);
    r.put32<256>(lowByteSignExtended(type));
    r.put32<260>(e);
    r.put64<264>(c);
    r.put64<272>(d);
    return issue(fd, 0xA13, r);
}

int CvApi_GetQuota(int fd, int type, const char* name, uint64_t out[4])
{
    if (!name || !out)
        return EINVAL;
    size_t length;
    if (!nameFits(name, length))
        return ENAMETOOLONG;
    Record<264> r;
    r.put32<0>(lowByteSignExtended(type));
    r.putText<8>(name, length);
    const int rc = issue(fd, 0xA14, r);
    if (rc == 0)
        std::memcpy(out, r.bytes, 32);
    return rc;
}

int CvApi_GetPerfectFitStatus(int fd, uint32_t* out)
{
    if (!out)
        return EINVAL;
    Record<8> r;
    r.put64<0>(0);
    const int rc = issue(fd, 0xA16, r);
    if (rc == 0)
        *out = r.get32<0>();
    return rc;
}

int CvApi_LoadExtents(int fd, uint64_t a, uint64_t b)
{
    Record<16> r;
    r.put64<0>(a);
    r.put64<8>(b);
    return issue(fd, 0xA17, r);
}

int CvApi_CvOpenStat(int fd, void* buffer)
{
    return issue(fd, 0xA18, buffer);
}

int CvApi_BulkCreate(int fd, void* buffer)
{
    return issue(fd, 0xA19, buffer);
}

int CvApi_BulkFlush(int fd)
{
    return issue(fd, 0xA1A, nullptr);
}

int CvApi_QosClientStats(int fd, uint32_t a, uint32_t* io, uint64_t c)
{
    if (!io)
        return EINVAL;
    Record<16> r;
    r.put32<0>(*io);
    r.put32<4>(a);
    r.put64<8>(c);
    const int rc = issue(fd, 0xA1B, r);
    if (rc == 0)
        *io = r.get32<0>();
    return rc;
}

int CvApi_SetFileSize(int fd, uint64_t size)
{
    Record<8> r;
    r.put64<0>(size);
    return issue(fd, 0xA1C, r);
}

int CvApi_StatPlus(int fd, void* buffer)
{
    return issue(fd, 0xA1D, buffer);
}

int CvApi_StatFs(int fd, void* buffer)
{
    return issue(fd, 0xA1E, buffer);
}

int CvApi_VerifyAlloc(int fd, uint64_t a, uint64_t b, uint32_t c)
{
    Record<24> r;
    r.put64<0>(b);
    r.put64<8>(a);
    r.put32<16>(c);
    return issue(fd, 0xA1F, r);
}

int CvApi_SetPerfectFitStatus(int fd, int on)
{
    Record<4> r;
    r.put32<0>(on != 0 ? 1 : 0);
    return issue(fd, 0xA20, r);
}

int CvApi_SetRtio(int fd, uint32_t* io, int flags, uint32_t c)
{
    if (!io)
        return EINVAL;
    const bool force = (flags & 0x80) != 0;
    enum { Untouched, SetHere, ClearedHere } change = Untouched;
    int flagResult = 0;
    if (flags & 0x8) {
        if (*io != 0 || force) {
            flagResult = CvSetUnixRtio(fd);
            change = SetHere;
        } else {
            flagResult = CvClearUnixRtio(fd);
            change = ClearedHere;
        }
    } else if (*io == 0 || force) {
        flagResult = CvClearUnixRtio(fd);
        change = ClearedHere;
    }
    if (flagResult != 0)
        return flagResult;
    Record<12> r;
    r.put32<0>(*io);
    r.put32<4>(static_cast<uint32_t>(flags));
    r.put32<8>(c);
    const int rc = issue(fd, 0xB03, r);
    if (rc != 0) {
        // Only a change this call made is undone; an untouched flag stays as the caller had it.
        if (change == SetHere)
            CvClearUnixRtio(fd);
        else if (change == ClearedHere)
            CvSetUnixRtio(fd);
        return rc;
    }
    *io = r.get32<0>();
    return 0;
}

int CvApi_GetExtList(int fd, uint64_t a, uint32_t* io, uint64_t c)
{
    if (!io)
        return EINVAL;
    Record<24> r;
    r.put64<0>(a);
    r.put32<8>(*io);
    r.put32<12>(0);
    r.put64<16>(c);
    const int rc = issue(fd, 0xB09, r);
    if (rc == 0)
        *io = r.get32<0>();
    return rc;
}

int CvApi_GetVerInfo(int fd, void* buffer)
{
    return issue(fd, 0xB12, buffer);
}

int CvApi_GetDiskInfo(int fd, uint32_t index, void* entries, uint32_t* count)
{
    Record<24> r;
    r.put32<0>(index);
    r.put64<8>(reinterpret_cast<uintptr_t>(entries));
    r.put64<16>(reinterpret_cast<uintptr_t>(count));
    return gRequest.load()(fd, 0xB15, r.bytes);
}

int CvApi_GetSgInfo(int fd, uint32_t group, uint64_t* o1, uint64_t* o2, uint32_t* o3, uint32_t* o4,
                    uint32_t* o5, uint32_t* o6, char* name, uint64_t p1, uint64_t p2)
{
    if (!o1 || !o2 || !o3 || !o4 || !o5 || !o6 || !name)
        return EINVAL;
    Record<288> r;
    r.put32<0>(group);
    r.put64<8>(p1);
    r.put64<16>(p2);
    const int rc = issue(fd, 0xC11, r);
    if (rc == 0) {
        *o1 = r.get64<0>();
        *o2 = r.get64<8>();
        *o3 = r.get32<16>();
        *o4 = r.get32<20>();
        *o5 = r.get32<24>();
        *o6 = r.get32<28>();
        r.getText<32>(name);
    }
    return rc;
}

int CvApi_BulkOpenTargetDir(const char* path, uint32_t, void*)
{
    if (!path)
        return -1;
    return ::open(path, O_RDONLY);
}

int CvApi_BulkCloseTargetDir(int fd)
{
    return ::close(fd) < 0 ? errno : 0;
}
