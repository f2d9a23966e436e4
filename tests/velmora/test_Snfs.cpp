#include "velmora/CvApi.h"
#include "velmora/Snfs.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

using velmora::Snfs;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes le32(uint32_t v)
{
    Bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

Bytes le64(uint64_t v)
{
    Bytes b(8);
    std::memcpy(b.data(), &v, 8);
    return b;
}

Bytes text(const std::string& s)
{
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    return b;
}

uint32_t get32(const unsigned char* p, size_t off)
{
    uint32_t v;
    std::memcpy(&v, p + off, 4);
    return v;
}

uint64_t get64(const unsigned char* p, size_t off)
{
    uint64_t v;
    std::memcpy(&v, p + off, 8);
    return v;
}

struct SeenRequest {
    int fd;
    unsigned long number;
    void* record;
    Bytes bytes;
};

// What the fake driver does with the next request: how many record bytes it reads (the extent
// the request's layout names), what it writes back, and the errno to fail with (0: success).
struct Reply {
    size_t recordSize = 0;
    std::vector<std::pair<size_t, Bytes>> writes;
    int error = 0;
};

// Stands in for the StorNext driver behind the request seam for the lifetime of the object.
class FakeDriver {
public:
    FakeDriver()
    {
        sInstance = this;
        mPrevious = velmora::setCvRequestFunction(&FakeDriver::dispatch);
    }
    ~FakeDriver()
    {
        velmora::setCvRequestFunction(mPrevious);
        sInstance = nullptr;
    }

    void reply(Reply r) { mReplies.push_back(std::move(r)); }
    // Replaces scripted replies with a driver of the test's own.
    std::function<int(int fd, unsigned long number, unsigned char* record)> handler;
    std::vector<SeenRequest> seen;

private:
    static int dispatch(int fd, unsigned long number, void* record)
    {
        return sInstance->handle(fd, number, static_cast<unsigned char*>(record));
    }

    int handle(int fd, unsigned long number, unsigned char* record)
    {
        SeenRequest s{fd, number, record, {}};
        if (handler) {
            seen.push_back(s);
            return handler(fd, number, record);
        }
        if (mReplies.empty()) {
            ADD_FAILURE() << "unexpected request 0x" << std::hex << number;
            errno = ENOSYS;
            return -1;
        }
        Reply r = std::move(mReplies.front());
        mReplies.pop_front();
        if (record) {
            s.bytes.assign(record, record + r.recordSize);
            for (const auto& w : r.writes)
                std::memcpy(record + w.first, w.second.data(), w.second.size());
        }
        seen.push_back(std::move(s));
        if (r.error) {
            errno = r.error;
            return -1;
        }
        return 0;
    }

    static FakeDriver* sInstance;
    velmora::CvRequestFunction mPrevious;
    std::deque<Reply> mReplies;
};

FakeDriver* FakeDriver::sInstance = nullptr;

// A real open descriptor, so the status-flag calls around the requests act on something.
class TempFile {
public:
    TempFile()
    {
        mPath = ::testing::TempDir() + "velmora_snfs_XXXXXX";
        mFd = ::mkstemp(&mPath[0]);
    }
    ~TempFile()
    {
        if (mFd >= 0)
            ::close(mFd);
        ::unlink(mPath.c_str());
    }
    int fd() const { return mFd; }
    const std::string& path() const { return mPath; }
    bool rtioFlag() const { return (::fcntl(mFd, F_GETFL) & 0x800) != 0; }
    void setRtioFlag(bool on) const
    {
        const int flags = ::fcntl(mFd, F_GETFL);
        ::fcntl(mFd, F_SETFL, on ? (flags | 0x800) : (flags & ~0x800));
    }

private:
    std::string mPath;
    int mFd;
};

struct Field {
    size_t offset;
    Bytes value;
};

struct RequestCase {
    const char* name;
    std::function<int(int fd)> call;
    unsigned long number;
    size_t recordSize;
    std::vector<Field> fields;
};

} // namespace

// Every wrapper issues its own request number with its arguments at the layout's offsets.
TEST(CvApiRequest, EachWrapperSendsItsNumberAndRecordFields)
{
    const std::string quotaName = "alice";
    const std::vector<RequestCase> cases = {
        {"AllocSpace", [](int fd) { uint64_t a = 0x1111, b = 0x2222; return CvApi_AllocSpace(fd, &a, &b, 0x3333, 0x44); },
         0xA00, 28, {{0, le64(0x1111)}, {8, le64(0x2222)}, {16, le64(0x3333)}, {24, le32(0x44)}}},
        {"PunchHole", [](int fd) { uint64_t a = 7, b = 9, c = 0, d = 0; return CvApi_PunchHole(fd, &a, &b, &c, &d); },
         0xA01, 32, {{0, le64(7)}, {8, le64(9)}}},
        {"GetSgName by index", [](int fd) { uint32_t i = 5; char n[256] = "x"; return CvApi_GetSgName(fd, 1, &i, n); },
         0xA02, 264, {{0, le32(1)}, {8, le32(5)}, {12, Bytes(252, 0)}}},
        {"GetSgName by name", [](int fd) { uint32_t i = 0; char n[256] = "sg-data"; return CvApi_GetSgName(fd, 2, &i, n); },
         0xA02, 264, {{0, le32(2)}, {4, le32(0)}, {8, text("sg-data")}}},
        {"GetAffinity", [](int fd) { uint64_t o = 0; return CvApi_GetAffinity(fd, &o); }, 0xA0A, 8, {}},
        {"SwapExtents", [](int fd) { return CvApi_SwapExtents(fd, 0xABCDEF0123ull, 77); },
         0xA0B, 12, {{0, le64(0xABCDEF0123ull)}, {8, le32(77)}}},
        {"GetPhysLoc", [](int fd) { uint64_t o[9] = {}; return CvApi_GetPhysLoc(fd, 4096, o); },
         0xA0C, 72, {{0, le64(4096)}}},
        {"GetRtio", [](int fd) { uint32_t o1, o2, o3, o4, o5; return CvApi_GetRtio(fd, 12, &o1, &o2, &o3, &o4, &o5); },
         0xA0F, 24, {{4, le32(64)}, {8, le32(12)}}},
        {"SetAffinity", [](int fd) { return CvApi_SetAffinity(fd, 0x55AA); }, 0xA10, 8, {{0, le64(0x55AA)}}},
        {"SetQuota", [&](int fd) { return CvApi_SetQuota(fd, 0x1FF, quotaName.c_str(), 1000, 2000, 3); },
         0xA13, 280, {{0, text("alice")}, {256, le32(0xFFFFFFFFu)}, {260, le32(3)}, {264, le64(1000)}, {272, le64(2000)}}},
        {"SetQuota positive type", [&](int fd) { return CvApi_SetQuota(fd, 0x17F, quotaName.c_str(), 0, 0, 0); },
         0xA13, 280, {{256, le32(0x7F)}}},
        {"GetQuota", [&](int fd) { uint64_t o[4]; return CvApi_GetQuota(fd, 0x280, quotaName.c_str(), o); },
         0xA14, 264, {{0, le32(0xFFFFFF80u)}, {8, text("alice")}}},
        {"GetPerfectFitStatus", [](int fd) { uint32_t o = 9; return CvApi_GetPerfectFitStatus(fd, &o); },
         0xA16, 8, {{0, le64(0)}}},
        {"LoadExtents", [](int fd) { return CvApi_LoadExtents(fd, 11, 22); }, 0xA17, 16, {{0, le64(11)}, {8, le64(22)}}},
        {"QosClientStats", [](int fd) { uint32_t io = 64; return CvApi_QosClientStats(fd, 3, &io, 0x99); },
         0xA1B, 16, {{0, le32(64)}, {4, le32(3)}, {8, le64(0x99)}}},
        {"SetFileSize", [](int fd) { return CvApi_SetFileSize(fd, 1ull << 40); }, 0xA1C, 8, {{0, le64(1ull << 40)}}},
        {"VerifyAlloc", [](int fd) { return CvApi_VerifyAlloc(fd, 0xAAAA, 0xBBBB, 0xCC); },
         0xA1F, 20, {{0, le64(0xBBBB)}, {8, le64(0xAAAA)}, {16, le32(0xCC)}}},
        {"SetPerfectFitStatus on", [](int fd) { return CvApi_SetPerfectFitStatus(fd, -5); }, 0xA20, 4, {{0, le32(1)}}},
        {"SetPerfectFitStatus off", [](int fd) { return CvApi_SetPerfectFitStatus(fd, 0); }, 0xA20, 4, {{0, le32(0)}}},
        {"SetRtio", [](int fd) { uint32_t io = 5; return CvApi_SetRtio(fd, &io, 0x10, 6); },
         0xB03, 12, {{0, le32(5)}, {4, le32(0x10)}, {8, le32(6)}}},
        {"GetExtList", [](int fd) { uint32_t io = 8; return CvApi_GetExtList(fd, 0x123, &io, 0x456); },
         0xB09, 24, {{0, le64(0x123)}, {8, le32(8)}, {12, le32(0)}, {16, le64(0x456)}}},
        {"GetSgInfo", [](int fd) { uint64_t a, b; uint32_t c, d, e, f; char n[256];
                                   return CvApi_GetSgInfo(fd, 3, &a, &b, &c, &d, &e, &f, n, 0x1000, 0x2000); },
         0xC11, 288, {{0, le32(3)}, {4, le32(0)}, {8, le64(0x1000)}, {16, le64(0x2000)}, {24, Bytes(264, 0)}}},
        {"EnableRtio", [](int fd) { return CvApi_EnableRtio(fd, 1); },
         0xA04, 16, {{0, le32(0)}, {4, le32(256)}, {8, le64(0)}}},
    };
    TempFile file;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver driver;
        driver.reply({c.recordSize, {}, 0});
        EXPECT_EQ(c.call(file.fd()), 0);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].fd, file.fd());
        EXPECT_EQ(driver.seen[0].number, c.number);
        ASSERT_NE(driver.seen[0].record, nullptr);
        for (const auto& f : c.fields) {
            const Bytes got(driver.seen[0].bytes.begin() + f.offset,
                            driver.seen[0].bytes.begin() + f.offset + f.value.size());
            EXPECT_EQ(got, f.value) << "at offset " << f.offset;
        }
    }
}

// Requests that carry no record hand the driver a null pointer.
TEST(CvApiRequest, RecordlessRequestsPassNull)
{
    const std::vector<std::pair<std::function<int(int)>, unsigned long>> cases = {
        {[](int fd) { return CvApi_EnableRtio(fd, 0); }, 0xA04},
        {[](int fd) { return CvApi_DisableRtio(fd); }, 0xA05},
        {[](int fd) { return CvApi_SetConcWrite(fd); }, 0xA06},
        {[](int fd) { return CvApi_ClearConcWrite(fd); }, 0xA07},
        {[](int fd) { return CvApi_SetRdHoleFail(fd); }, 0xA0D},
        {[](int fd) { return CvApi_ClearRdHoleFail(fd); }, 0xA0E},
        {[](int fd) { return CvApi_BulkFlush(fd); }, 0xA1A},
    };
    TempFile file;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        FakeDriver driver;
        driver.reply({});
        EXPECT_EQ(c.first(file.fd()), 0);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].number, c.second);
        EXPECT_EQ(driver.seen[0].record, nullptr);
    }
}

// Requests on a caller's buffer hand that very buffer to the driver.
TEST(CvApiRequest, BufferRequestsPassTheCallersBuffer)
{
    const std::vector<std::pair<int (*)(int, void*), unsigned long>> cases = {
        {&CvApi_CvFstat, 0xA08},  {&CvApi_CvOpenStat, 0xA18}, {&CvApi_BulkCreate, 0xA19},
        {&CvApi_StatPlus, 0xA1D}, {&CvApi_StatFs, 0xA1E},     {&CvApi_GetVerInfo, 0xB12},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.second);
        FakeDriver driver;
        char buffer[64] = {};
        driver.reply({0, {{0, text("filled")}}, 0});
        EXPECT_EQ(c.first(3, buffer), 0);
        ASSERT_EQ(driver.seen.size(), 1u);
        EXPECT_EQ(driver.seen[0].number, c.second);
        EXPECT_EQ(driver.seen[0].record, static_cast<void*>(buffer));
        EXPECT_STREQ(buffer, "filled");
    }
}

namespace {

struct CopyBackCase {
    const char* name;
    std::vector<std::pair<size_t, Bytes>> reply;
    size_t recordSize;
    // Calls the wrapper and checks its outputs; `succeeded` says whether the reply was a success.
    std::function<int(int fd, bool succeeded)> callAndCheck;
};

std::vector<CopyBackCase> copyBackCases()
{
    return {
        {"AllocSpace", {{0, le64(100)}, {8, le64(200)}}, 28,
         [](int fd, bool ok) {
             uint64_t a = 1, b = 2;
             const int rc = CvApi_AllocSpace(fd, &a, &b, 0, 0);
             EXPECT_EQ(a, ok ? 100u : 1u);
             EXPECT_EQ(b, ok ? 200u : 2u);
             return rc;
         }},
        {"PunchHole", {{0, le64(1)}, {8, le64(2)}, {16, le64(3)}, {24, le64(4)}}, 32,
         [](int fd, bool ok) {
             uint64_t a = 9, b = 9, c = 9, d = 9;
             const int rc = CvApi_PunchHole(fd, &a, &b, &c, &d);
             EXPECT_EQ(std::vector<uint64_t>({a, b, c, d}),
                       ok ? std::vector<uint64_t>({1, 2, 3, 4}) : std::vector<uint64_t>({9, 9, 9, 9}));
             return rc;
         }},
        {"GetSgName by index", {{0, text("group-two")}}, 264,
         [](int fd, bool ok) {
             uint32_t index = 2;
             char name[256] = "old";
             const int rc = CvApi_GetSgName(fd, 1, &index, name);
             EXPECT_STREQ(name, ok ? "group-two" : "old");
             EXPECT_EQ(index, 2u);
             return rc;
         }},
        {"GetSgName by name", {{0, le32(17)}}, 264,
         [](int fd, bool ok) {
             uint32_t index = 99;
             char name[256] = "data1";
             const int rc = CvApi_GetSgName(fd, 0, &index, name);
             EXPECT_EQ(index, ok ? 17u : 99u);
             EXPECT_STREQ(name, "data1");
             return rc;
         }},
        {"GetAffinity", {{0, le64(0xFEEDull)}}, 8,
         [](int fd, bool ok) {
             uint64_t out = 5;
             const int rc = CvApi_GetAffinity(fd, &out);
             EXPECT_EQ(out, ok ? 0xFEEDu : 5u);
             return rc;
         }},
        {"GetPhysLoc",
         {{0, le64(10)}, {8, le64(11)}, {16, le64(12)}, {24, le64(13)}, {32, le64(14)}, {40, le64(15)},
          {48, le64(16)}, {56, le64(17)}, {64, le64(18)}},
         72,
         [](int fd, bool ok) {
             uint64_t out[9];
             for (auto& v : out)
                 v = 1;
             const int rc = CvApi_GetPhysLoc(fd, 0, out);
             for (unsigned k = 0; k < 9; ++k)
                 EXPECT_EQ(out[k], ok ? 10u + k : 1u) << k;
             return rc;
         }},
        {"GetRtio", {{4, le32(5)}, {8, le32(1)}, {12, le32(2)}, {16, le32(3)}, {20, le32(4)}}, 24,
         [](int fd, bool ok) {
             uint32_t o1 = 0, o2 = 0, o3 = 0, o4 = 0, o5 = 0;
             const int rc = CvApi_GetRtio(fd, 0, &o1, &o2, &o3, &o4, &o5);
             EXPECT_EQ(std::vector<uint32_t>({o1, o2, o3, o4, o5}),
                       ok ? std::vector<uint32_t>({1, 2, 3, 4, 5}) : std::vector<uint32_t>(5, 0));
             return rc;
         }},
        {"GetQuota", {{0, le64(21)}, {8, le64(22)}, {16, le64(23)}, {24, le64(24)}}, 264,
         [](int fd, bool ok) {
             uint64_t out[4] = {0, 0, 0, 0};
             const int rc = CvApi_GetQuota(fd, 1, "bob", out);
             for (unsigned k = 0; k < 4; ++k)
                 EXPECT_EQ(out[k], ok ? 21u + k : 0u) << k;
             return rc;
         }},
        {"GetPerfectFitStatus", {{0, le32(1)}}, 8,
         [](int fd, bool ok) {
             uint32_t out = 7;
             const int rc = CvApi_GetPerfectFitStatus(fd, &out);
             EXPECT_EQ(out, ok ? 1u : 7u);
             return rc;
         }},
        {"QosClientStats", {{0, le32(12)}}, 16,
         [](int fd, bool ok) {
             uint32_t io = 64;
             const int rc = CvApi_QosClientStats(fd, 0, &io, 0);
             EXPECT_EQ(io, ok ? 12u : 64u);
             return rc;
         }},
        {"SetRtio", {{0, le32(33)}}, 12,
         [](int fd, bool ok) {
             uint32_t io = 1;
             const int rc = CvApi_SetRtio(fd, &io, 0, 0);
             EXPECT_EQ(io, ok ? 33u : 1u);
             return rc;
         }},
        {"GetExtList", {{0, le32(3)}}, 24,
         [](int fd, bool ok) {
             uint32_t io = 16;
             const int rc = CvApi_GetExtList(fd, 0, &io, 0);
             EXPECT_EQ(io, ok ? 3u : 16u);
             return rc;
         }},
        {"GetSgInfo",
         {{0, le64(1000)}, {8, le64(2000)}, {16, le32(1)}, {20, le32(2)}, {24, le32(3)}, {28, le32(4096)},
          {32, text("DataFiles")}},
         288,
         [](int fd, bool ok) {
             uint64_t a = 0, b = 0;
             uint32_t c = 0, d = 0, e = 0, f = 0;
             char name[256] = "none";
             const int rc = CvApi_GetSgInfo(fd, 1, &a, &b, &c, &d, &e, &f, name, 0, 0);
             if (ok) {
                 EXPECT_EQ(std::vector<uint64_t>({a, b, c, d, e, f}),
                           std::vector<uint64_t>({1000, 2000, 1, 2, 3, 4096}));
                 EXPECT_STREQ(name, "DataFiles");
             } else {
                 EXPECT_EQ(std::vector<uint64_t>({a, b, c, d, e, f}), std::vector<uint64_t>(6, 0));
                 EXPECT_STREQ(name, "none");
             }
             return rc;
         }},
    };
}

} // namespace

// A successful reply is copied into the caller's variables from the layout's offsets.
TEST(CvApiRequest, SuccessCopiesResultsBack)
{
    TempFile file;
    for (const auto& c : copyBackCases()) {
        SCOPED_TRACE(c.name);
        FakeDriver driver;
        driver.reply({c.recordSize, c.reply, 0});
        EXPECT_EQ(c.callAndCheck(file.fd(), true), 0);
    }
}

// A failed request returns its errno and leaves every output as it was, even when the driver
// scribbled on the record.
TEST(CvApiRequest, FailureReturnsErrnoAndLeavesOutputs)
{
    TempFile file;
    for (const auto& c : copyBackCases()) {
        SCOPED_TRACE(c.name);
        FakeDriver driver;
        driver.reply({c.recordSize, c.reply, EIO});
        EXPECT_EQ(c.callAndCheck(file.fd(), false), EIO);
    }
    FakeDriver driver;
    driver.reply({8, {}, EACCES});
    EXPECT_EQ(CvApi_SetFileSize(file.fd(), 1), EACCES);
}

// The disk-information request carries the index and the two addresses and reports -1, not errno.
TEST(CvApiRequest, GetDiskInfoPassesAddressesAndReturnsRequestResult)
{
    FakeDriver driver;
    unsigned char entries[16];
    uint32_t count = 32;
    driver.reply({24, {}, 0});
    EXPECT_EQ(CvApi_GetDiskInfo(4, 7, entries, &count), 0);
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(driver.seen[0].number, 0xB15u);
    EXPECT_EQ(get32(driver.seen[0].bytes.data(), 0), 7u);
    EXPECT_EQ(get64(driver.seen[0].bytes.data(), 8), reinterpret_cast<uintptr_t>(entries));
    EXPECT_EQ(get64(driver.seen[0].bytes.data(), 16), reinterpret_cast<uintptr_t>(&count));

    driver.reply({24, {}, ENODEV});
    EXPECT_EQ(CvApi_GetDiskInfo(4, 0, entries, &count), -1);
}

// Reply text without a NUL stops at the 256-byte field: 255 bytes and a NUL, nothing beyond.
TEST(CvApiText, ReplyNamesStopAtTheFieldEnd)
{
    TempFile file;
    {
        FakeDriver driver;
        driver.reply({288, {{32, Bytes(256, 'A')}}, 0});
        char name[300];
        std::memset(name, 'z', sizeof name);
        uint64_t a, b;
        uint32_t c, d, e, f;
        ASSERT_EQ(CvApi_GetSgInfo(file.fd(), 0, &a, &b, &c, &d, &e, &f, name, 0, 0), 0);
        EXPECT_EQ(std::string(name), std::string(255, 'A'));
        EXPECT_EQ(std::string(name + 256, 44), std::string(44, 'z'));
    }
    {
        FakeDriver driver;
        driver.reply({264, {{0, Bytes(264, 'B')}}, 0});
        char name[300];
        std::memset(name, 'z', sizeof name);
        uint32_t index = 1;
        ASSERT_EQ(CvApi_GetSgName(file.fd(), 1, &index, name), 0);
        EXPECT_EQ(std::string(name), std::string(255, 'B'));
        EXPECT_EQ(std::string(name + 256, 44), std::string(44, 'z'));
    }
}

// A quota name that cannot fit its field with a NUL is refused before any request; 255 bytes fit.
TEST(CvApiText, NamesLongerThanTheFieldAreRefused)
{
    TempFile file;
    const std::string fits(255, 'n');
    const std::string tooLong(256, 'n');
    // Not NUL-terminated: the wrapper must not read past these 256 bytes.
    char unterminated[256];
    std::memset(unterminated, 'u', sizeof unterminated);

    FakeDriver driver;
    uint64_t out[4];
    EXPECT_EQ(CvApi_SetQuota(file.fd(), 0, tooLong.c_str(), 0, 0, 0), ENAMETOOLONG);
    EXPECT_EQ(CvApi_SetQuota(file.fd(), 0, unterminated, 0, 0, 0), ENAMETOOLONG);
    EXPECT_EQ(CvApi_GetQuota(file.fd(), 0, tooLong.c_str(), out), ENAMETOOLONG);
    EXPECT_TRUE(driver.seen.empty());

    driver.reply({280, {}, 0});
    EXPECT_EQ(CvApi_SetQuota(file.fd(), 0, fits.c_str(), 0, 0, 0), 0);
    ASSERT_EQ(driver.seen.size(), 1u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(driver.seen[0].bytes.data())), fits);
    EXPECT_EQ(driver.seen[0].bytes[255], 0);

    driver.reply({264, {}, 0});
    EXPECT_EQ(CvApi_GetQuota(file.fd(), 0, fits.c_str(), out), 0);
    ASSERT_EQ(driver.seen.size(), 2u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(driver.seen[1].bytes.data() + 8)), fits);
}

// A stripe-group name may fill all 256 bytes of its field, where it needs no NUL; the wrapper
// reads nothing past the caller's 256-byte buffer.
TEST(CvApiText, GetSgNameSendsNamesFillingTheField)
{
    TempFile file;
    for (size_t length : {size_t(255), size_t(256)}) {
        SCOPED_TRACE(length);
        // On the heap, where the sanitizer build catches a read past its end.
        std::unique_ptr<char[]> name(new char[256]());
        std::memset(name.get(), 's', length);
        FakeDriver driver;
        driver.reply({264, {{0, le32(42)}}, 0});
        uint32_t index = 0;
        ASSERT_EQ(CvApi_GetSgName(file.fd(), 0, &index, name.get()), 0);
        EXPECT_EQ(index, 42u);
        ASSERT_EQ(driver.seen.size(), 1u);
        const Bytes& record = driver.seen[0].bytes;
        EXPECT_EQ(get32(record.data(), 0), 0u);
        EXPECT_EQ(std::string(record.begin() + 8, record.end()),
                  std::string(length, 's') + std::string(256 - length, '\0'));
    }
}

// The status-flag helpers set and clear the non-blocking flag and report a bad descriptor.
TEST(CvRtioFlag, SetAndClearTheDescriptorFlag)
{
    TempFile file;
    EXPECT_EQ(CvSetUnixRtio(file.fd()), 0);
    EXPECT_TRUE(file.rtioFlag());
    EXPECT_EQ(CvClearUnixRtio(file.fd()), 0);
    EXPECT_FALSE(file.rtioFlag());

    const int closed = ::dup(file.fd());
    ::close(closed);
    EXPECT_EQ(CvSetUnixRtio(closed), EBADF);
    EXPECT_EQ(CvClearUnixRtio(closed), EBADF);
}

// Enabling sets the flag and a failed request undoes it; disabling is the mirror image.
TEST(CvRtioFlag, EnableAndDisableUndoTheFlagOnFailure)
{
    TempFile file;
    FakeDriver driver;

    driver.reply({16, {}, 0});
    EXPECT_EQ(CvApi_EnableRtio(file.fd(), 1), 0);
    EXPECT_TRUE(file.rtioFlag());

    file.setRtioFlag(false);
    driver.reply({16, {}, EPERM});
    EXPECT_EQ(CvApi_EnableRtio(file.fd(), 1), EPERM);
    EXPECT_FALSE(file.rtioFlag());

    file.setRtioFlag(true);
    driver.reply({});
    EXPECT_EQ(CvApi_DisableRtio(file.fd()), 0);
    EXPECT_FALSE(file.rtioFlag());

    file.setRtioFlag(true);
    driver.reply({0, {}, EINVAL});
    EXPECT_EQ(CvApi_DisableRtio(file.fd()), EINVAL);
    EXPECT_TRUE(file.rtioFlag());

    // A descriptor whose flags cannot be changed gets no request at all.
    const size_t before = driver.seen.size();
    const int closed = ::dup(file.fd());
    ::close(closed);
    EXPECT_EQ(CvApi_EnableRtio(closed, 1), EBADF);
    EXPECT_EQ(CvApi_DisableRtio(closed), EBADF);
    EXPECT_EQ(driver.seen.size(), before);
}

// The real-time request decides the flag from *io and bits 3 and 7, and flips back only what it
// changed when the request fails.
TEST(CvRtioFlag, SetRtioDecidesAndRestoresTheFlag)
{
    struct Case {
        bool flagBefore;
        uint32_t io;
        int flags;
        int error;
        bool flagAfter;
    };
    const std::vector<Case> cases = {
        {false, 1, 0x8, 0, true},         {true, 0, 0x8, 0, false},
        {false, 0, 0x88, 0, true},        {true, 0, 0x0, 0, false},
        {true, 1, 0x0, 0, true},          {false, 1, 0x0, 0, false},
        {true, 1, 0x80, 0, false},        {false, 1, 0x8, EIO, false},
        {true, 0, 0x0, EIO, true},        {false, 1, 0x0, EIO, false},
        {true, 1, 0x0, EIO, true},
    };
    TempFile file;
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << "before " << c.flagBefore << " io " << c.io << " flags 0x"
                                          << std::hex << c.flags << " error " << std::dec << c.error);
        FakeDriver driver;
        file.setRtioFlag(c.flagBefore);
        driver.reply({12, {{0, le32(77)}}, c.error});
        uint32_t io = c.io;
        EXPECT_EQ(CvApi_SetRtio(file.fd(), &io, c.flags, 0), c.error);
        EXPECT_EQ(file.rtioFlag(), c.flagAfter);
        EXPECT_EQ(io, c.error ? c.io : 77u);
    }
}

// Disk information starts with a capacity of 32 and reaches the driver through the record.
TEST(Snfs, DiskInfoOffersCapacityAndPassesResult)
{
    FakeDriver driver;
    uint32_t countSeen = 0;
    void* entriesSeen = nullptr;
    driver.handler = [&](int, unsigned long number, unsigned char* record) {
        EXPECT_EQ(number, 0xB15u);
        EXPECT_EQ(get32(record, 0), 2u);
        entriesSeen = reinterpret_cast<void*>(get64(record, 8));
        auto* count = reinterpret_cast<uint32_t*>(get64(record, 16));
        countSeen = *count;
        *count = 1;
        return 0;
    };
    Snfs::SNFS_DISK_INFO info;
    info.count = 0;
    EXPECT_EQ(Snfs::DiskInfo(5, 2, info), 0);
    EXPECT_EQ(countSeen, 32u);
    EXPECT_EQ(info.count, 1u);
    EXPECT_EQ(entriesSeen, static_cast<void*>(info.entries));

    driver.handler = [](int, unsigned long, unsigned char*) {
        errno = EIO;
        return -1;
    };
    EXPECT_EQ(Snfs::DiskInfo(5, 0, info), -1);
}

// Allocation asks for the size through the allocation or, with verify, the verification request.
TEST(Snfs, AllocPicksTheRequestAndPassesItsResult)
{
    FakeDriver driver;
    driver.reply({20, {}, 0});
    EXPECT_EQ(Snfs::Alloc(3, 1u << 20, true), 0);
    driver.reply({28, {{0, le64(5)}}, ENOSPC});
    EXPECT_EQ(Snfs::Alloc(3, 1u << 21, false), ENOSPC);
    ASSERT_EQ(driver.seen.size(), 2u);
    EXPECT_EQ(driver.seen[0].number, 0xA1Fu);
    EXPECT_EQ(get64(driver.seen[0].bytes.data(), 0), 1u << 20);
    EXPECT_EQ(get64(driver.seen[0].bytes.data(), 8), 0u);
    EXPECT_EQ(get32(driver.seen[0].bytes.data(), 16), 0u);
    EXPECT_EQ(driver.seen[1].number, 0xA00u);
    EXPECT_EQ(get64(driver.seen[1].bytes.data(), 0), 1u << 21);
    EXPECT_EQ(get64(driver.seen[1].bytes.data(), 8), 0u);
    EXPECT_EQ(get64(driver.seen[1].bytes.data(), 16), 0u);
    EXPECT_EQ(get32(driver.seen[1].bytes.data(), 24), 0u);
}

namespace {

struct GroupReply {
    uint64_t count1;
    uint64_t count2;
    uint32_t value1;
    uint32_t value2;
    uint32_t flags;
    uint32_t blockSize;
    std::string name;
};

// A volume behind the fake driver: group n answers from groups[n]; beyond them the request fails.
void serveGroups(FakeDriver& driver, std::vector<GroupReply> groups)
{
    driver.handler = [groups](int, unsigned long number, unsigned char* record) {
        EXPECT_EQ(number, 0xC11u);
        const uint32_t index = get32(record, 0);
        if (index >= groups.size()) {
            errno = EINVAL;
            return -1;
        }
        const GroupReply& g = groups[index];
        // The driver writes its extra data through the two addresses it was given.
        auto* extraLength = reinterpret_cast<uint32_t*>(get64(record, 16));
        EXPECT_EQ(*extraLength, 32u);
        std::memset(reinterpret_cast<void*>(get64(record, 8)), 0xEE, *extraLength);
        *extraLength = 16;
        std::memset(record, 0, 288);
        std::memcpy(record + 0, &g.count1, 8);
        std::memcpy(record + 8, &g.count2, 8);
        std::memcpy(record + 16, &g.value1, 4);
        std::memcpy(record + 20, &g.value2, 4);
        std::memcpy(record + 24, &g.flags, 4);
        std::memcpy(record + 28, &g.blockSize, 4);
        std::memcpy(record + 32, g.name.c_str(), g.name.size() + 1);
        return 0;
    };
}

std::vector<GroupReply> dataGroups(size_t n)
{
    std::vector<GroupReply> groups = {{0, 0, 0, 0, 4, 0, "meta"}};
    for (size_t i = 1; i <= n; ++i)
        groups.push_back({10, 1, 1, 0, 3, 4096, "data"});
    return groups;
}

} // namespace

// One stripe group's reply lands in the record's fields and the extra data at its addresses.
TEST(Snfs, CheckStripeGroupFillsTheRecord)
{
    FakeDriver driver;
    serveGroups(driver, {{111, 222, 33, 44, 7, 8192, "AudioGroup"}});
    Snfs::SNFS_SG_DATA data;
    std::memset(&data, 0, sizeof data);
    ASSERT_TRUE(Snfs::CheckStripeGroup(9, 0, data));
    EXPECT_EQ(data.count1, 111u);
    EXPECT_EQ(data.count2, 222u);
    EXPECT_EQ(data.value1, 33u);
    EXPECT_EQ(data.value2, 44u);
    EXPECT_EQ(data.flags, 7u);
    EXPECT_EQ(data.blockSize, 8192u);
    EXPECT_STREQ(data.name, "AudioGroup");
    EXPECT_EQ(data.extraLength, 16u);
    EXPECT_EQ(data.extraBuffer[31], 0xEE);
    EXPECT_EQ(data.extraBuffer[32], 0);
    EXPECT_FALSE(Snfs::CheckStripeGroup(9, 1, data));
}

// A volume with a valid survey sums its data groups and places each group after the previous.
TEST(Snfs, VolumeQuerySurveysDataGroups)
{
    FakeDriver driver;
    serveGroups(driver, {{999, 999, 999, 0, 4, 512, "meta"},
                         {100, 10, 5, 0, 3, 4096, "data1"},
                         {200, 20, 0x80000000u, 0, 3, 8192, "data2"},
                         {300, 30, 9, 0, 7 & ~4u, 8192, "data3"}});
    auto volume = std::make_unique<Snfs::SNFS_VOLUME_DATA_BUFFER>();
    std::memset(volume.get(), 0xAB, sizeof *volume);
    std::wstring error = L"untouched";
    ASSERT_EQ(Snfs::VolumeQuery(9, *volume, error), 1);
    EXPECT_EQ(error, L"untouched");
    EXPECT_EQ(volume->groupCount, 4u);
    EXPECT_EQ(volume->totalCount1, 600u);
    EXPECT_EQ(volume->totalCount2, 60u);
    EXPECT_EQ(volume->maxValue1, 0x80000000u);
    EXPECT_EQ(volume->blockSize, 8192u);
    EXPECT_EQ(volume->groups[1].start, 0u);
    EXPECT_EQ(volume->groups[2].start, 100u);
    EXPECT_EQ(volume->groups[3].start, 300u);
    EXPECT_STREQ(volume->groups[2].name, "data2");
}

// Each way a survey goes wrong replaces the error with its own message.
TEST(Snfs, VolumeQueryReportsEachFault)
{
    const std::wstring prefix = L"Error obtaining SNFS information: ";
    struct Case {
        const char* name;
        std::vector<GroupReply> groups;
        std::wstring message;
    };
    const std::vector<Case> cases = {
        {"no group at all", {}, prefix + L"No valid stripe group."},
        {"only group 0", {{0, 0, 0, 0, 4, 0, "meta"}}, prefix + L"Invalid or unsupported number of stripe groups."},
        {"group 0 lacks bit 2", {{0, 0, 0, 0, 3, 0, "meta"}, {1, 1, 1, 0, 3, 4096, "d"}},
         prefix + L"Invalid or unsupported stripe group configuration."},
        {"data group with bit 2", {{0, 0, 0, 0, 4, 0, "meta"}, {1, 1, 1, 0, 7, 4096, "d"}},
         prefix + L"Invalid or unsupported stripe group configuration."},
        {"data group flags 1 only", {{0, 0, 0, 0, 4, 0, "meta"}, {1, 1, 1, 0, 1, 4096, "d"}},
         prefix + L"Stripe group invalid or offline."},
        {"data group flags 2 only", {{0, 0, 0, 0, 4, 0, "meta"}, {1, 1, 1, 0, 3, 4096, "d"}, {1, 1, 1, 0, 2, 4096, "e"}},
         prefix + L"Stripe group invalid or offline."},
        {"block size 0", {{0, 0, 0, 0, 4, 4096, "meta"}, {1, 1, 1, 0, 3, 0, "d"}},
         prefix + L"Invalid blocksize (0 bytes)."},
        {"128 data groups", dataGroups(128), prefix + L"Invalid or unsupported number of stripe groups."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver driver;
        serveGroups(driver, c.groups);
        auto volume = std::make_unique<Snfs::SNFS_VOLUME_DATA_BUFFER>();
        std::wstring error = L"earlier text";
        EXPECT_EQ(Snfs::VolumeQuery(9, *volume, error), 0);
        EXPECT_EQ(error, c.message);
    }
}

// The largest survey has 127 data groups after group 0.
TEST(Snfs, VolumeQueryAcceptsUpTo127DataGroups)
{
    FakeDriver driver;
    serveGroups(driver, dataGroups(127));
    auto volume = std::make_unique<Snfs::SNFS_VOLUME_DATA_BUFFER>();
    std::wstring error;
    ASSERT_EQ(Snfs::VolumeQuery(9, *volume, error), 1);
    EXPECT_EQ(volume->groupCount, 128u);
    EXPECT_EQ(volume->totalCount1, 1270u);
    EXPECT_EQ(volume->groups[127].start, 1260u);
    EXPECT_EQ(volume->groups[128].start, 1270u);
}

// The serial number is the first disk's text; any failure gives the empty string.
TEST(Snfs, SerialNumReadsTheFirstDisk)
{
    TempFile file;
    const std::wstring path(file.path().begin(), file.path().end());
    struct Case {
        const char* name;
        int error;
        uint32_t count;
        std::string serial;
        std::wstring expected;
    };
    const std::vector<Case> cases = {
        {"first disk", 0, 3, "SN-0042", L"SN-0042"},
        {"no disks", 0, 0, "SN-0042", L""},
        {"request fails", ENOTTY, 1, "SN-0042", L""},
        // The serial text runs to the end of the entry without a NUL: it stops there.
        {"unterminated serial", 0, 1, std::string(256, 'S'), std::wstring(256, L'S')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeDriver driver;
        driver.handler = [&](int fd, unsigned long number, unsigned char* record) {
            EXPECT_GE(fd, 0);
            EXPECT_EQ(number, 0xB15u);
            EXPECT_EQ(get32(record, 0), 0u);
            auto* entries = reinterpret_cast<unsigned char*>(get64(record, 8));
            auto* count = reinterpret_cast<uint32_t*>(get64(record, 16));
            std::memcpy(entries + Snfs::kSerialOffset, c.serial.data(), c.serial.size());
            // The byte after the first entry belongs to the second one.
            entries[Snfs::kDiskEntrySize] = 'X';
            *count = c.count;
            if (c.error) {
                errno = c.error;
                return -1;
            }
            return 0;
        };
        EXPECT_EQ(Snfs::SerialNum(path), c.expected);
        EXPECT_EQ(driver.seen.size(), 1u);
    }
}

// A path that cannot be opened gives the empty string without any request.
TEST(Snfs, SerialNumOfUnopenablePathIsEmpty)
{
    FakeDriver driver;
    EXPECT_EQ(Snfs::SerialNum(L"/nonexistent/velmora/volume"), L"");
    EXPECT_EQ(Snfs::SerialNum(L""), L"");
    EXPECT_TRUE(driver.seen.empty());
}

// Without the fake, requests reach the kernel, which refuses them on an ordinary file cleanly.
TEST(CvApiRealDriver, OrdinaryFileRefusesRequests)
{
    TempFile file;
    uint64_t out = 123;
    EXPECT_NE(CvApi_GetAffinity(file.fd(), &out), 0);
    EXPECT_EQ(out, 123u);
    EXPECT_NE(CvApi_SetFileSize(file.fd(), 10), 0);
    EXPECT_NE(CvApi_BulkFlush(file.fd()), 0);
    uint32_t count = 0;
    unsigned char entries[16];
    EXPECT_EQ(CvApi_GetDiskInfo(file.fd(), 0, entries, &count), -1);

    auto volume = std::make_unique<Snfs::SNFS_VOLUME_DATA_BUFFER>();
    std::wstring error;
    EXPECT_EQ(Snfs::VolumeQuery(file.fd(), *volume, error), 0);
    EXPECT_EQ(error, L"Error obtaining SNFS information: No valid stripe group.");
    const std::wstring path(file.path().begin(), file.path().end());
    EXPECT_EQ(Snfs::SerialNum(path), L"");
}

// The bulk directory helpers open read-only and close, reporting failures.
TEST(CvApiRealDriver, BulkTargetDirOpensAndCloses)
{
    const int fd = CvApi_BulkOpenTargetDir(::testing::TempDir().c_str(), 0, nullptr);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::fcntl(fd, F_GETFL) & O_ACCMODE, O_RDONLY);
    EXPECT_EQ(CvApi_BulkCloseTargetDir(fd), 0);
    EXPECT_EQ(CvApi_BulkCloseTargetDir(fd), EBADF);
    EXPECT_EQ(CvApi_BulkOpenTargetDir("/nonexistent/velmora", 0, nullptr), -1);
}
