// The announced address: configured interface, default route, fallbacks, address changes,
// and construction failures. Cases that change the network run in a private namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "WsddServiceTest.h"
#include "common/LogCapture.h"
#include "discovery/WsddTargetServiceConstructionException.h"

using corvane_test::CountOf;
using corvane_test::LogCapture;
using namespace wsddtest;

namespace {

const std::string kFallbackLo = "Could not get address of interface lo: using 127.0.0.1 instead!";

std::string Check(bool ok, const std::string& what)
{
    return ok ? std::string() : what + "\n";
}

void WaitForNextSecond(uint32_t since)
{
    while (static_cast<uint32_t>(std::time(nullptr)) <= since)
        ::usleep(20000);
}

} // namespace

// A configured interface that exists gives its address, with no warning.
TEST_F(WsddServiceTest, ConfiguredInterfaceGivesItsAddress)
{
    UseConfig(port_, "lo");
    const LogCapture capture;
    WsddTargetService service;
    EXPECT_EQ(service.GetXAddrs(), LocalXAddrs());
    const std::string log = capture.Text();
    EXPECT_EQ(log.find("WARN:"), std::string::npos) << log;
}

// A configured interface that does not exist is warned about; the group is still joined and
// the default route's interface gives the address.
TEST_F(WsddServiceTest, MissingConfiguredInterfaceFallsBackToDefaultRoute)
{
    UseConfig(port_, "nosuchif0");
    const LogCapture capture;
    UdpSocket client = UdpSocket::Loopback();
    WsddTargetService service;
    EXPECT_EQ(service.GetXAddrs(), LocalXAddrs());
    const std::string log = capture.Text();
    EXPECT_EQ(CountOf(log, LogCapture::Line(Logger::eWarn,
                                            "Could not find interface 'nosuchif0'! Trying default route now - you "
                                            "may want to correct or disable the 'global.mcast_if' config option...")),
              1);
    ProbeSpec spec;
    spec.messageId = NewMessageId();
    client.SendToGroup(ProbeMessage(spec));
    service.Dispatch();
    EXPECT_EQ(RepliesTo(client.CollectUntilSentinel(), spec.messageId).size(), 1u);
}

// Without the key "port" the XAddrs text ends with the colon.
TEST_F(WsddServiceTest, MissingPortKeyEndsXAddrsWithColon)
{
    UseConfig("", "");
    WsddTargetService service;
    EXPECT_EQ(service.GetXAddrs(), "http://127.0.0.1:");
}

// An unchanged address keeps MetadataVersion; a changed one renews it and the next Hello
// carries the new XAddrs and MetadataVersion.
TEST_F(WsddServiceTest, AddressChangeRenewsMetadataVersion)
{
    const std::string failure = RunInChild([this]() -> std::string {
        std::string error = EnterPrivateNetwork(true, true);
        if (!error.empty())
            return error;
        UdpSocket observer = UdpSocket::GroupObserver();
        WsddTargetService service;
        const uint32_t first = service.GetMetaDataVersion();
        WaitForNextSecond(first);
        service.SendHello();
        error += Check(service.GetMetaDataVersion() == first, "unchanged address renewed MetadataVersion");
        error += Check(service.GetXAddrs() == LocalXAddrs(), "XAddrs " + service.GetXAddrs());

        error += Shell("ip addr del 127.0.0.1/8 dev lo && ip addr add 127.0.0.2/8 dev lo && "
                       "(ip route replace 224.0.0.0/4 dev lo; ip route replace default dev lo)");
        service.SendHello();
        const uint32_t second = service.GetMetaDataVersion();
        error += Check(second > first, "changed address kept MetadataVersion");
        error += Check(service.GetXAddrs() == LocalXAddrs("127.0.0.2"), "XAddrs " + service.GetXAddrs());
        const std::vector<WsddMessage> hellos = Mine(observer.CollectUntilSentinel(), "Hello");
        error += Check(hellos.size() == 3, "Hellos seen: " + std::to_string(hellos.size()));
        if (hellos.size() == 3) {
            error += Check(hellos[1].metadataVersion == std::to_string(first), "second Hello MetadataVersion");
            error += Check(hellos[2].xaddrs == LocalXAddrs("127.0.0.2"), "third Hello XAddrs " + hellos[2].xaddrs);
            error += Check(hellos[2].metadataVersion == std::to_string(second), "third Hello MetadataVersion");
        }
        WaitForNextSecond(second);
        service.SendHello();
        error += Check(service.GetMetaDataVersion() == second, "same new address renewed MetadataVersion again");
        return error;
    });
    EXPECT_EQ(failure, "");
}

// A configured interface without an IPv4 address is warned about and 127.0.0.1 announced.
// The sender's multicast interface then points at 127.0.0.1, which no interface holds here,
// so the Hello fails: its gSOAP error text is logged at level 1 and construction completes.
TEST_F(WsddServiceTest, ConfiguredInterfaceWithoutAddressAnnouncesLoopback)
{
    UseConfig(port_, "lo");
    const LogCapture capture;
    const std::string failure = RunInChild([this]() -> std::string {
        std::string error = EnterPrivateNetwork(true, false);
        if (!error.empty())
            return error;
        error += Shell("ip addr del 127.0.0.1/8 dev lo");
        WsddTargetService service;
        error += Check(service.GetXAddrs() == LocalXAddrs(), "XAddrs " + service.GetXAddrs());
        return error;
    });
    EXPECT_EQ(failure, "");
    const std::string log = capture.Text();
    EXPECT_GE(CountOf(log, LogCapture::Line(Logger::eWarn, kFallbackLo)), 1);
    // One failed Hello at construction and one failed Bye at destruction.
    EXPECT_EQ(CountOf(log, std::string(Logger::Prefix(Logger::eError)) + "SOAP 1.2 fault"), 2) << log;
    EXPECT_NE(log.find("IP_MULTICAST_IF"), std::string::npos) << log;
}

// With no configured interface and no default route the address is 0.0.0.0, silently.
TEST_F(WsddServiceTest, NoDefaultRouteAnnouncesZeroAddressSilently)
{
    const LogCapture capture;
    const std::string failure = RunInChild([this]() -> std::string {
        std::string error = EnterPrivateNetwork(true, false);
        if (!error.empty())
            return error;
        WsddTargetService service;
        return Check(service.GetXAddrs() == LocalXAddrs("0.0.0.0"), "XAddrs " + service.GetXAddrs());
    });
    EXPECT_EQ(failure, "");
    EXPECT_EQ(capture.Text().find("Could not get address"), std::string::npos);
}

// Without any route to the group, joining fails and construction throws; nothing is sent.
TEST_F(WsddServiceTest, JoinFailureThrowsConstructionException)
{
    const std::string failure = RunInChild([]() -> std::string {
        std::string error = EnterPrivateNetwork(false, false);
        if (!error.empty())
            return error;
        try {
            WsddTargetService service;
        } catch (const WsddTargetServiceConstructionException& e) {
            return Check(std::string(e.what()) ==
                             "Could not join multicast group - no default route set or wrong interface? Bailing out!",
                         std::string("text: ") + e.what());
        }
        return "no exception";
    });
    EXPECT_EQ(failure, "");
}

// When the group's port is taken, construction throws the bind text and sends nothing.
TEST_F(WsddServiceTest, BindFailureThrowsConstructionException)
{
    const std::string failure = RunInChild([]() -> std::string {
        std::string error = EnterPrivateNetwork(true, true);
        if (!error.empty())
            return error;
        // Bound without address reuse, this observer keeps the service from binding.
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in group;
        std::memset(&group, 0, sizeof group);
        group.sin_family = AF_INET;
        group.sin_port = htons(3702);
        ::inet_pton(AF_INET, "239.255.255.250", &group.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&group), sizeof group) < 0)
            return "cannot occupy the port";
        ip_mreqn m;
        std::memset(&m, 0, sizeof m);
        m.imr_multiaddr = group.sin_addr;
        ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m);
        try {
            WsddTargetService service;
            error = "no exception";
        } catch (const WsddTargetServiceConstructionException& e) {
            error = Check(std::string(e.what()) == "Could not bind to 239.255.255.250:3702 - bailing out!",
                          std::string("text: ") + e.what());
        }
        char buffer[2048];
        if (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) >= 0)
            error += "a datagram was sent\n";
        ::close(fd);
        return error;
    });
    EXPECT_EQ(failure, "");
}
