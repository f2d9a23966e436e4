#include "velmora/NetworkCommon.h"
#include "velmora/VmciDevice.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace velmora::network;

namespace {

std::vector<unsigned> bytesOf(HostAddress const& a)
{
    return std::vector<unsigned>(a.address, a.address + 16);
}

std::vector<unsigned> ipv4Bytes(unsigned a, unsigned b, unsigned c, unsigned d)
{
    std::vector<unsigned> v(16, 0);
    v[0] = a, v[1] = b, v[2] = c, v[3] = d;
    return v;
}

// Stands in for the VMCI driver: chosen paths open, the family request answers as told.
class FakeVmci : public VmciDevice::Backend {
public:
    int Open(char const* path) override
    {
        opened.push_back(path);
        auto it = openable.find(path);
        return it == openable.end() ? -1 : it->second;
    }
    int RequestFamily(int fd, std::int32_t* family) override
    {
        requests.push_back(fd);
        if (requestResult >= 0)
            *family = familyAnswer;
        return requestResult;
    }
    void Close(int fd) override { closed.push_back(fd); }

    std::map<std::string, int> openable;
    int requestResult = 0;
    std::int32_t familyAnswer = 40;
    std::vector<std::string> opened;
    std::vector<int> requests;
    std::vector<int> closed;
};

class VmciFamily : public ::testing::Test {
protected:
    void SetUp() override { VmciDevice::SetBackend(&fake); }
    void TearDown() override { VmciDevice::SetBackend(nullptr); }
    FakeVmci fake;
};

size_t openDescriptors()
{
    size_t count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr)
            ++count;
        closedir(dir);
    }
    return count;
}

sockaddr_in ipv4Socket(char const* ip, unsigned short port)
{
    sockaddr_in in;
    std::memset(&in, 0, sizeof in);
    in.sin_family = AF_INET;
    in.sin_port = htons(port);
    inet_pton(AF_INET, ip, &in.sin_addr);
    return in;
}

sockaddr_in6 ipv6Socket(char const* ip, unsigned short port)
{
    sockaddr_in6 in6;
    std::memset(&in6, 0, sizeof in6);
    in6.sin6_family = AF_INET6;
    in6.sin6_port = htons(port);
    inet_pton(AF_INET6, ip, &in6.sin6_addr);
    return in6;
}

} // namespace

// Dotted text fills the four bytes but no family; text output and number follow the bytes.
TEST(HostAddress, DottedTextGivesBytesTextAndNumber)
{
    HostAddress a("192.168.1.20", 80, 0);
    EXPECT_EQ(bytesOf(a), ipv4Bytes(192, 168, 1, 20));
    EXPECT_EQ(a.family, 0);
    EXPECT_EQ(a.isIPv6, 0);
    EXPECT_EQ(a.isVmci, 0);
    EXPECT_EQ(a.vmciContext, 0u);
    EXPECT_EQ(a.port, 80);
    EXPECT_EQ(a.IpToStdString(), "192.168.1.20");
    EXPECT_EQ(a.IPv4ToUInt(), 3232235796u);
}

// Texts that are not four dotted numbers give partial or empty addresses, never a crash.
TEST(HostAddress, TextParsingTable)
{
    const struct {
        std::string text;
        std::vector<unsigned> bytes;
    } cases[] = {
        {"10.20.30", ipv4Bytes(10, 20, 0, 0)},
        {"10.20", ipv4Bytes(10, 0, 0, 0)},
        {"10", ipv4Bytes(0, 0, 0, 0)},
        {"", ipv4Bytes(0, 0, 0, 0)},
        {"::1", ipv4Bytes(0, 0, 0, 0)},
        {"1.2.3:4", ipv4Bytes(0, 0, 0, 0)},
        {"300.1.2.257", ipv4Bytes(44, 1, 2, 1)},
        {"1.2.3.4.5", ipv4Bytes(1, 2, 3, 4)},
        {"a.b..9", ipv4Bytes(0, 0, 0, 9)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        HostAddress a(c.text, 1, 0);
        EXPECT_EQ(bytesOf(a), c.bytes);
        EXPECT_EQ(a.family, 0);
    }
    EXPECT_TRUE(HostAddress("fe80::1", 1, 0).IsEmpty());
}

// The same bytes from an IPv4 value differ in family, so only HasSameIp holds.
TEST(HostAddress, ValueAndTextShareIpButAreNotEqual)
{
    HostAddress fromValue(IPv4{{192, 168, 1, 20}}, 80);
    HostAddress fromText("192.168.1.20", 80, 0);
    EXPECT_EQ(fromValue.family, 2);
    EXPECT_FALSE(fromValue == fromText);
    EXPECT_TRUE(fromValue.HasSameIp(fromText));
    EXPECT_TRUE(fromValue == HostAddress(IPv4{{192, 168, 1, 20}}, 80));
    EXPECT_FALSE(fromValue == HostAddress(fromValue, 81));
    EXPECT_TRUE(fromValue.HasSameIp(HostAddress(fromValue, 81)));
}

// An IPv6 value prints no text and no number; a copy with a new port keeps everything else.
TEST(HostAddress, Ipv6ValueAndCopies)
{
    IPv6 ip{{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
    HostAddress a(ip, 443);
    EXPECT_EQ(a.isIPv6, 1);
    EXPECT_EQ(a.family, 10);
    EXPECT_EQ(a.IpToStdString(), "");
    EXPECT_EQ(a.IPv4ToUInt(), 0u);
    EXPECT_EQ(a.address[15], 1);

    HostAddress moved(a, 8443);
    EXPECT_EQ(moved.port, 8443);
    EXPECT_TRUE(moved.HasSameIp(a));
    EXPECT_EQ(moved.family, 10);

    HostAddress copy;
    copy = a;
    EXPECT_TRUE(copy == a);
    HostAddress& self = copy;
    copy = self;
    EXPECT_TRUE(copy == a);
}

// Emptiness looks only at the address bytes.
TEST(HostAddress, IsEmptyIgnoresOtherFields)
{
    HostAddress a;
    EXPECT_TRUE(a.IsEmpty());
    a.port = 9;
    a.family = 2;
    a.isIPv6 = 1;
    EXPECT_TRUE(a.IsEmpty());
    a.address[12] = 1;
    EXPECT_FALSE(a.IsEmpty());
}

// Socket addresses are taken only with full length and a known family; the rest stays.
TEST(HostAddress, CreateFromPosixChecksLengthAndFamily)
{
    const sockaddr_in in = ipv4Socket("127.0.0.1", 8080);
    const sockaddr_in6 in6 = ipv6Socket("::1", 8081);
    sockaddr_un un;
    std::memset(&un, 0, sizeof un);
    un.sun_family = AF_UNIX;
    const sockaddr* v4 = reinterpret_cast<const sockaddr*>(&in);
    const sockaddr* v6 = reinterpret_cast<const sockaddr*>(&in6);
    const struct {
        const char* label;
        const sockaddr* sa;
        int length;
        int result;
    } cases[] = {
        {"no address", nullptr, 16, 0},
        {"zero length", v4, 0, 0},
        {"negative length", v4, -1, 0},
        {"one byte", v4, 1, 0},
        {"ipv4 one short", v4, 15, 0},
        {"ipv4 full", v4, 16, 1},
        {"ipv6 as long as ipv4", v6, 16, 0},
        {"ipv6 one short", v6, 27, 0},
        {"ipv6 full", v6, 28, 1},
        {"unix family", reinterpret_cast<const sockaddr*>(&un), sizeof un, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        HostAddress out("9.9.9.9", 1, 0);
        EXPECT_EQ(HostAddress::CreateFromPosix(out, c.sa, c.length), c.result);
        if (c.result == 0) {
            EXPECT_TRUE(out == HostAddress("9.9.9.9", 1, 0));
        }
    }

    HostAddress out;
    out.family = 77;
    out.vmciContext = 5;
    std::memset(out.address, 0xAA, 16);
    ASSERT_EQ(HostAddress::CreateFromPosix(out, v4, sizeof in), 1);
    EXPECT_EQ(out.IpToStdString(), "127.0.0.1");
    EXPECT_EQ(out.address[4], 0xAA);
    EXPECT_EQ(out.port, 8080);
    EXPECT_EQ(out.family, 77);
    EXPECT_EQ(out.vmciContext, 5u);

    ASSERT_EQ(HostAddress::CreateFromPosix(out, v6, sizeof in6), 1);
    EXPECT_EQ(out.isIPv6, 1);
    EXPECT_EQ(out.port, 8081);
    EXPECT_EQ(bytesOf(out), std::vector<unsigned>({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}));
}

// localhost resolves to the loopback address for every supported protocol.
TEST(HostAddress, ResolveLocalhost)
{
    for (Protocol::eProtocol p : {Protocol::eInvalid, Protocol::eTcp, Protocol::eUdp}) {
        SCOPED_TRACE(Protocol::ToStdString(p));
        HostAddress out;
        ASSERT_EQ(HostAddress::ResolveName(out, L"localhost", 631, p), 1);
        EXPECT_EQ(out.IpToStdString(), "127.0.0.1");
        EXPECT_EQ(out.isIPv6, 0);
        EXPECT_EQ(out.port, 631);
        EXPECT_EQ(out.family, 0);
    }
}

// A numeric IPv6 name is taken as IPv6 when no IPv4 entry exists.
TEST(HostAddress, ResolveNumericIpv6)
{
    HostAddress out;
    ASSERT_EQ(HostAddress::ResolveName(out, L"::1", 7, Protocol::eTcp), 1);
    EXPECT_EQ(out.isIPv6, 1);
    EXPECT_EQ(out.address[15], 1);
    EXPECT_EQ(out.port, 7);
}

// sdp and vmci are refused without a lookup, and the output is reset all the same.
TEST(HostAddress, ResolveRefusesSdpAndVmci)
{
    for (Protocol::eProtocol p : {Protocol::eSdp, Protocol::eVmci}) {
        SCOPED_TRACE(Protocol::ToStdString(p));
        HostAddress out(IPv4{{1, 2, 3, 4}}, 5);
        EXPECT_EQ(HostAddress::ResolveName(out, L"localhost", 80, p), 0);
        EXPECT_TRUE(out == HostAddress());
    }
}

// Names map both ways exactly; unknown values and texts fall back as documented.
TEST(Protocol, NamesBothWays)
{
    const struct {
        int value;
        std::string name;
    } cases[] = {{0, "invalid"}, {1, "tcp"}, {2, "udp"}, {3, "sdp"}, {4, "vmci"}};
    for (const auto& c : cases) {
        EXPECT_EQ(Protocol::ToStdString(static_cast<Protocol::eProtocol>(c.value)), c.name);
        EXPECT_EQ(Protocol::FromStdString(c.name), c.value);
    }
    EXPECT_EQ(Protocol::ToStdString(static_cast<Protocol::eProtocol>(7)),
              "forgotten to implement in Protocol::ToStdString()");
    EXPECT_EQ(Protocol::FromStdString("TCP"), Protocol::eInvalid);
    EXPECT_EQ(Protocol::FromStdString("tcp "), Protocol::eInvalid);
    EXPECT_EQ(Protocol::FromStdString(""), Protocol::eInvalid);
}

// The host name is the kernel's.
TEST(LocalHostName, MatchesGethostname)
{
    char name[256] = {};
    ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
    EXPECT_EQ(LocalHostName(), std::wstring(name, name + std::strlen(name)));
}

// The family comes from the second device path when the first fails; the text is ignored.
TEST_F(VmciFamily, FamilyFromDriverAndTextIgnored)
{
    fake.openable["/vmfs/devices/char/vsock/vsock"] = 42;
    HostAddress a("192.168.1.20", 5, 7);
    EXPECT_EQ(a.family, 40);
    EXPECT_EQ(a.isVmci, 1);
    EXPECT_EQ(a.vmciContext, 7u);
    EXPECT_EQ(a.port, 5);
    EXPECT_TRUE(a.IsEmpty());
    EXPECT_EQ(a.IPv4ToUInt(), 0u);
    EXPECT_EQ(a.IpToStdString(), "0.0.0.0");
    EXPECT_EQ(fake.opened, std::vector<std::string>({"/dev/vsock", "/vmfs/devices/char/vsock/vsock"}));
}

// Many VMCI endpoints share the one descriptor opened for the first.
TEST_F(VmciFamily, OneDescriptorSharedByAllEndpoints)
{
    fake.openable["/dev/vsock"] = 42;
    for (unsigned context = 1; context <= 50; ++context)
        EXPECT_EQ(HostAddress("", 1, context).family, 40);
    EXPECT_EQ(fake.opened.size(), 1u);
    EXPECT_EQ(fake.requests.size(), 50u);
    EXPECT_TRUE(fake.closed.empty());
}

// A failing request closes the device and reports 0xFFFF; the next endpoint opens afresh.
TEST_F(VmciFamily, FailedRequestClosesDevice)
{
    fake.openable["/dev/vsock"] = 42;
    fake.requestResult = -1;
    EXPECT_EQ(HostAddress("", 1, 3).family, 0xFFFF);
    EXPECT_EQ(fake.closed, std::vector<int>({42}));
    fake.requestResult = 0;
    EXPECT_EQ(HostAddress("", 1, 3).family, 40);
    EXPECT_EQ(fake.opened.size(), 2u);
}

// A negative family answer closes the device and keeps its low 16 bits.
TEST_F(VmciFamily, NegativeAnswerKeepsLowBits)
{
    fake.openable["/dev/vsock"] = 42;
    fake.familyAnswer = -2;
    EXPECT_EQ(HostAddress("", 1, 3).family, 0xFFFE);
    EXPECT_EQ(fake.closed, std::vector<int>({42}));
}

// Without any device the family is 0xFFFF, after trying both paths in order.
TEST_F(VmciFamily, NoDeviceGivesFFFF)
{
    HostAddress a("", 1, 3);
    EXPECT_EQ(a.family, 0xFFFF);
    EXPECT_EQ(a.isVmci, 1);
    EXPECT_EQ(fake.opened, std::vector<std::string>({"/dev/vsock", "/vmfs/devices/char/vsock/vsock"}));
    EXPECT_TRUE(fake.requests.empty());
}

// With the real device files, repeated endpoints hold at most one descriptor.
TEST(VmciRealDevice, RepeatedEndpointsDoNotLeakDescriptors)
{
    VmciDevice::SetBackend(nullptr);
    const size_t before = openDescriptors();
    unsigned short family = 0;
    for (unsigned context = 1; context <= 50; ++context)
        family = HostAddress("", 1, context).family;
    EXPECT_LE(openDescriptors(), before + 1);
    if (access("/dev/vsock", F_OK) != 0 && access("/vmfs/devices/char/vsock/vsock", F_OK) != 0) {
        EXPECT_EQ(family, 0xFFFF);
    }
}
