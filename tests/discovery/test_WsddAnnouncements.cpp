// Hello and Bye on the multicast group, Dispatch without traffic, foreign devices' messages.
#include <fcntl.h>
#include <sys/stat.h>
#include <dirent.h>

#include <set>
#include <thread>

#include "WsddServiceTest.h"
#include "common/LogCapture.h"

using corvane_test::CountOf;
using corvane_test::LogCapture;
using namespace wsddtest;

namespace {

const char* const kAdHocTo = "urn:docs-oasis-open-org:ws-dd:ns:discovery:2009:01";

} // namespace

// Construction multicasts one Hello with identity, type, XAddrs, MetadataVersion and an
// AppSequence from the boot time and a fresh sequence.
TEST_F(WsddServiceTest, ConstructionMulticastsOneCompleteHello)
{
    UdpSocket observer = UdpSocket::GroupObserver();
    WsddTargetService service;
    const std::vector<WsddMessage> hellos = Mine(observer.CollectUntilSentinel(), "Hello");
    ASSERT_EQ(hellos.size(), 1u);
    const WsddMessage& hello = hellos[0];
    EXPECT_TRUE(hello.complete);
    EXPECT_EQ(hello.address, service.GetUuidString());
    EXPECT_EQ(hello.types, "wex:CorvaneBackend_3");
    EXPECT_EQ(hello.xaddrs, LocalXAddrs());
    EXPECT_EQ(service.GetXAddrs(), LocalXAddrs());
    EXPECT_EQ(hello.metadataVersion, std::to_string(service.GetMetaDataVersion()));
    EXPECT_EQ(hello.to, kAdHocTo);
    EXPECT_EQ(hello.messageId.compare(0, 9, "urn:uuid:"), 0) << hello.messageId;
    EXPECT_TRUE(hello.relatesTo.empty());
    EXPECT_EQ(hello.instanceId, std::to_string(WsddTargetService::GetBootTime()));
    EXPECT_EQ(hello.sequenceId.compare(0, 9, "urn:uuid:"), 0) << hello.sequenceId;
    EXPECT_EQ(hello.sequenceId.size(), 45u);
    EXPECT_NE(hello.sequenceId, service.GetUuidString());
    EXPECT_EQ(hello.messageNumber, "1");
    EXPECT_EQ(service.GetType(), "wex:CorvaneBackend_3");
    EXPECT_EQ(service.GetEndPoint(), "soap.udp://239.255.255.250:3702");
    EXPECT_EQ(SigtermCount(), 0);
}

// Destruction multicasts exactly one Bye carrying the data of the Hellos.
TEST_F(WsddServiceTest, DestructionMulticastsExactlyOneBye)
{
    UdpSocket observer = UdpSocket::GroupObserver();
    std::string uuid;
    std::string metadataVersion;
    std::string sequenceId;
    {
        WsddTargetService service;
        uuid = service.GetUuidString();
        metadataVersion = std::to_string(service.GetMetaDataVersion());
        const std::vector<WsddMessage> hellos = Mine(observer.CollectUntilSentinel(), "Hello");
        ASSERT_EQ(hellos.size(), 1u);
        sequenceId = hellos[0].sequenceId;
    }
    const std::vector<Datagram> after = observer.CollectUntilSentinel();
    const std::vector<WsddMessage> byes = Mine(after, "Bye");
    ASSERT_EQ(byes.size(), 1u);
    EXPECT_TRUE(Mine(after, "Hello").empty());
    EXPECT_TRUE(byes[0].complete);
    EXPECT_EQ(byes[0].address, uuid);
    EXPECT_EQ(byes[0].types, "wex:CorvaneBackend_3");
    EXPECT_EQ(byes[0].xaddrs, LocalXAddrs());
    EXPECT_EQ(byes[0].metadataVersion, metadataVersion);
    EXPECT_EQ(byes[0].sequenceId, sequenceId);
    EXPECT_EQ(byes[0].messageNumber, "2");
    EXPECT_EQ(byes[0].to, kAdHocTo);
    EXPECT_TRUE(byes[0].relatesTo.empty());
}

// Every start makes a new SequenceId (counting again from 1) but keeps the identifier.
TEST_F(WsddServiceTest, EachStartHasFreshSequenceAndSameIdentity)
{
    UdpSocket observer = UdpSocket::GroupObserver();
    std::vector<WsddMessage> hellos;
    std::string uuids[2];
    for (int i = 0; i < 2; ++i) {
        WsddTargetService service;
        uuids[i] = service.GetUuidString();
        std::vector<WsddMessage> found = Mine(observer.CollectUntilSentinel(), "Hello");
        ASSERT_EQ(found.size(), 1u);
        hellos.push_back(found[0]);
    }
    EXPECT_EQ(uuids[0], uuids[1]);
    EXPECT_EQ(hellos[0].address, hellos[1].address);
    EXPECT_NE(hellos[0].sequenceId, hellos[1].sequenceId);
    EXPECT_EQ(hellos[1].messageNumber, "1");
}

// Hellos asked for by two workers and the main thread at once are whole, separate messages.
TEST_F(WsddServiceTest, ConcurrentHellosAreCompleteAndSeparate)
{
    UdpSocket observer = UdpSocket::GroupObserver();
    WsddTargetService service;
    const int perThread = 10;
    auto sendSome = [&service] {
        for (int i = 0; i < perThread; ++i)
            service.SendHello();
    };
    std::thread first(sendSome);
    std::thread second(sendSome);
    sendSome();
    first.join();
    second.join();
    const std::vector<WsddMessage> hellos = Mine(observer.CollectUntilSentinel(), "Hello");
    ASSERT_EQ(hellos.size(), static_cast<size_t>(1 + 3 * perThread));
    std::set<std::string> numbers;
    std::set<std::string> ids;
    for (const WsddMessage& hello : hellos) {
        EXPECT_TRUE(hello.complete);
        EXPECT_EQ(hello.address, service.GetUuidString());
        numbers.insert(hello.messageNumber);
        ids.insert(hello.messageId);
    }
    EXPECT_EQ(numbers.size(), hellos.size());
    EXPECT_EQ(ids.size(), hellos.size());
}

// With nothing waiting, Dispatch returns 0 straight away, also when called again.
TEST_F(WsddServiceTest, DispatchWithoutTrafficReturnsZero)
{
    WsddTargetService service;
    EXPECT_EQ(service.Dispatch(), 0);  // serves the service's own Hello
    EXPECT_EQ(service.Dispatch(), 0);
    EXPECT_EQ(service.Dispatch(), 0);
}

// Other devices' Hello, Bye, ProbeMatches and ResolveMatches give only their level 5 lines.
TEST_F(WsddServiceTest, ForeignAnnouncementsOnlyLogTraceLines)
{
    WsddTargetService service;
    service.Dispatch();
    UdpSocket device = UdpSocket::Loopback();
    const std::string endpoint =
        "<a:EndpointReference><a:Address>urn:uuid:00000000-0000-0000-0000-00000000beef</a:Address></a:EndpointReference>";
    const struct {
        const char* action;
        std::string body;
        const char* line;
    } kCases[] = {
        {"Hello", "<d:Hello>" + endpoint + "<d:Types>wex:Other</d:Types><d:MetadataVersion>3</d:MetadataVersion></d:Hello>",
         "wsdd_event_Hello() called"},
        {"Bye", "<d:Bye>" + endpoint + "</d:Bye>", "wsdd_event_Bye() called"},
        {"ProbeMatches",
         "<d:ProbeMatches><d:ProbeMatch>" + endpoint +
             "<d:MetadataVersion>3</d:MetadataVersion></d:ProbeMatch></d:ProbeMatches>",
         "wsdd_event_ProbeMatches() called"},
        {"ResolveMatches",
         "<d:ResolveMatches><d:ResolveMatch>" + endpoint +
             "<d:MetadataVersion>3</d:MetadataVersion></d:ResolveMatch></d:ResolveMatches>",
         "wsdd_event_ResolveMatches() called"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.action);
        const LogCapture capture;
        device.SendToGroup(ForeignMessage(c.action, c.body));
        EXPECT_EQ(service.Dispatch(), 0);
        EXPECT_EQ(CountOf(capture.Text(), LogCapture::Line(Logger::eTrace, c.line)), 1);
        EXPECT_TRUE(device.CollectUntilSentinel().empty());
    }
}

// No socket of the process survives an exec: the listener and the sockets the sender opens
// are close-on-exec.
TEST_F(WsddServiceTest, SocketsAreCloseOnExec)
{
    WsddTargetService service;
    service.SendHello();
    EXPECT_NE(::fcntl(service.GetServerFd(), F_GETFD) & FD_CLOEXEC, 0);
    DIR* dir = ::opendir("/proc/self/fd");
    ASSERT_NE(dir, nullptr);
    int sockets = 0;
    while (dirent* entry = ::readdir(dir)) {
        const int fd = std::atoi(entry->d_name);
        struct stat st;
        if (entry->d_name[0] == '.' || fd == ::dirfd(dir) || ::fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode))
            continue;
        ++sockets;
        EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0) << "socket fd " << fd;
    }
    ::closedir(dir);
    EXPECT_GE(sockets, 1);
}
