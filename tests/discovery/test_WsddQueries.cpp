// Probe and Resolve answers, ignored ReplyTo, and datagrams that must get no answer.
#include <fcntl.h>
#include <poll.h>

#include <random>
#include <thread>

#include "WsddServiceTest.h"
#include "common/LogCapture.h"

using corvane_test::CountOf;
using corvane_test::LogCapture;
using namespace wsddtest;

namespace {

struct ProbeCase {
    const char* name;
    bool withTypes;
    std::string types;
    std::string extraNamespaces;
    bool answered;
};

const ProbeCase kProbeCases[] = {
    {"exact type", true, "wex:CorvaneBackend_3", "", true},
    {"type within whitespace", true, " \t\r\n wex:CorvaneBackend_3 \n\t", "", true},
    {"other prefix for the service namespace", true, "c:CorvaneBackend_3",
     " xmlns:c=\"" + WexNamespace() + "\"", true},
    {"no Types", false, "", "", false},
    {"other type", true, "wex:OtherBackend_3", "", false},
    {"type in other case", true, "wex:corvanebackend_3", "", false},
    {"further types listed", true, "wex:CorvaneBackend_3 wex:OtherBackend_3", "", false},
    {"same name in another namespace", true, "o:CorvaneBackend_3", " xmlns:o=\"urn:example:other\"", false},
};

} // namespace

class WsddQueryTest : public WsddServiceTest {
protected:
    void SetUp() override
    {
        WsddServiceTest::SetUp();
        service_.reset(new WsddTargetService());
        service_->Dispatch();  // its own Hello
    }

    void TearDown() override
    {
        service_.reset();
        WsddServiceTest::TearDown();
    }

    // Sends the datagram to the group from the client, lets the service serve it and
    // returns what came back to the client.
    std::vector<Datagram> Exchange(const std::string& datagram)
    {
        client_.SendToGroup(datagram);
        DispatchAll();
        return client_.CollectUntilSentinel();
    }

    // Dispatch serves a bounded batch; the main loop comes back for the rest in later turns.
    void DispatchAll()
    {
        pollfd p = {service_->GetServerFd(), POLLIN, 0};
        do
            service_->Dispatch();
        while (poll(&p, 1, 0) > 0);
    }

    void ExpectAnsweredProbe(const std::string& messageId, const std::vector<Datagram>& replies)
    {
        const std::vector<WsddMessage> matches = RepliesTo(replies, messageId);
        ASSERT_EQ(matches.size(), 1u);
        const WsddMessage& m = matches[0];
        EXPECT_TRUE(IsAction(m, "ProbeMatches"));
        EXPECT_TRUE(m.complete);
        EXPECT_EQ(m.probeMatches, 1);
        EXPECT_EQ(m.address, service_->GetUuidString());
        EXPECT_EQ(m.types, "wex:CorvaneBackend_3");
        EXPECT_EQ(m.xaddrs, LocalXAddrs());
        EXPECT_EQ(m.metadataVersion, std::to_string(service_->GetMetaDataVersion()));
        EXPECT_EQ(m.messageId.compare(0, 9, "urn:uuid:"), 0) << m.messageId;
        EXPECT_NE(m.messageId, messageId);
        EXPECT_EQ(m.to, "http://www.w3.org/2005/08/addressing/anonymous");
        EXPECT_FALSE(m.sequenceId.empty());
        EXPECT_EQ(replies.size(), 1u);
    }

    std::string ProbeFor(const std::string& messageId, const std::string& replyTo = "")
    {
        ProbeSpec spec;
        spec.messageId = messageId;
        spec.replyTo = replyTo;
        return ProbeMessage(spec);
    }

    std::unique_ptr<WsddTargetService> service_;
    UdpSocket client_ = UdpSocket::Loopback();
};

// Only a Probe for exactly the service type, as a qualified name of the service namespace,
// gets one ProbeMatch relating to it; every Probe logs its level 5 line.
TEST_F(WsddQueryTest, ProbeAnsweredOnlyForOwnType)
{
    for (const ProbeCase& c : kProbeCases) {
        SCOPED_TRACE(c.name);
        ProbeSpec spec;
        spec.messageId = NewMessageId();
        spec.withTypes = c.withTypes;
        spec.types = c.types;
        spec.extraNamespaces = c.extraNamespaces;
        const LogCapture capture;
        const std::vector<Datagram> replies = Exchange(ProbeMessage(spec));
        if (c.answered)
            ExpectAnsweredProbe(spec.messageId, replies);
        else
            EXPECT_TRUE(replies.empty());
        EXPECT_EQ(CountOf(capture.Text(), LogCapture::Line(Logger::eTrace, "wsdd_event_Probe() called")),
                  1);
    }
}

// The MessageID is matched after trimming, so RelatesTo carries the bare identifier.
TEST_F(WsddQueryTest, ProbeRelatesToTrimmedMessageId)
{
    const std::string messageId = NewMessageId();
    const std::vector<Datagram> replies = Exchange(ProbeFor("\n  " + messageId + " \t"));
    ExpectAnsweredProbe(messageId, replies);
}

// A Resolve for the service's own address (also within whitespace) gets one ResolveMatch;
// any other address, also the same one in other letter case, gets nothing.
TEST_F(WsddQueryTest, ResolveAnsweredOnlyForOwnAddress)
{
    std::string upper = service_->GetUuidString();
    for (char& ch : upper)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    const struct {
        const char* name;
        std::string address;
        bool answered;
    } kCases[] = {
        {"own address", service_->GetUuidString(), true},
        {"own address within whitespace", " \t\n" + service_->GetUuidString() + "\r\n ", true},
        {"other address", "urn:uuid:00000000-0000-0000-0000-000000000000", false},
        {"own address in upper case", upper, false},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        const std::string messageId = NewMessageId();
        const LogCapture capture;
        const std::vector<Datagram> replies = Exchange(ResolveMessage(messageId, c.address));
        EXPECT_EQ(CountOf(capture.Text(), LogCapture::Line(Logger::eTrace, "wsdd_event_Resolve() called")),
                  1);
        if (!c.answered) {
            EXPECT_TRUE(replies.empty());
            continue;
        }
        ASSERT_EQ(replies.size(), 1u);
        const WsddMessage m = Parse(replies[0].data);
        EXPECT_TRUE(IsAction(m, "ResolveMatches"));
        EXPECT_TRUE(m.complete);
        EXPECT_EQ(m.relatesTo, messageId);
        EXPECT_NE(m.messageId, messageId);
        EXPECT_EQ(m.address, service_->GetUuidString());
        EXPECT_EQ(m.types, "wex:CorvaneBackend_3");
        EXPECT_EQ(m.xaddrs, LocalXAddrs());
        EXPECT_EQ(m.metadataVersion, std::to_string(service_->GetMetaDataVersion()));
        EXPECT_EQ(m.to, "http://www.w3.org/2005/08/addressing/anonymous");
    }
}

// The answer goes to the Probe's sender only, never to its ReplyTo, and a ReplyTo that
// cannot be reached leaves the listener serving.
TEST_F(WsddQueryTest, ReplyToIsNeverUsed)
{
    UdpSocket elsewhere = UdpSocket::Loopback();
    const int fd = service_->GetServerFd();
    const std::string replyTos[] = {
        "soap.udp://127.0.0.1:" + std::to_string(elsewhere.Port()),
        "http://127.0.0.1:1/unreachable",
        "soap.udp://127.0.0.2:9",
    };
    for (const std::string& replyTo : replyTos) {
        SCOPED_TRACE(replyTo);
        const std::string messageId = NewMessageId();
        ExpectAnsweredProbe(messageId, Exchange(ProbeFor(messageId, replyTo)));
        EXPECT_TRUE(elsewhere.CollectUntilSentinel().empty());
    }
    EXPECT_EQ(service_->GetServerFd(), fd);
    EXPECT_GE(::fcntl(fd, F_GETFD), 0);
    const std::string messageId = NewMessageId();
    ExpectAnsweredProbe(messageId, Exchange(ProbeFor(messageId)));
}

// Malformed, truncated, foreign or unaddressed datagrams get no answer at all, not even a
// SOAP fault, and the listener keeps serving.
TEST_F(WsddQueryTest, MalformedDatagramsGetNoReply)
{
    std::mt19937 random(7);
    std::string noise(700, '\0');
    for (char& ch : noise)
        ch = static_cast<char>(random() & 0xff);
    const std::string probe = ProbeFor(NewMessageId());
    ProbeSpec unaddressed;
    const struct {
        const char* name;
        std::string datagram;
    } kCases[] = {
        {"empty", ""},
        {"broken tag", "<:/>"},
        {"random bytes", noise},
        {"not XML", "hello there"},
        {"truncated Probe", probe.substr(0, probe.size() / 2)},
        {"SOAP message that is no Probe",
         "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\">"
         "<s:Body><x:Other xmlns:x=\"urn:example:x\"/></s:Body></s:Envelope>"},
        {"Probe without addressing header",
         "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
         " xmlns:d=\"http://docs.oasis-open.org/ws-dd/ns/discovery/2009/01\"><s:Body><d:Probe>"
         "<d:Types>wex:CorvaneBackend_3</d:Types></d:Probe></s:Body></s:Envelope>"},
        {"Resolve without endpoint", ForeignMessage("Resolve", "<d:Resolve/>")},
        {"HTTP request", "GET / HTTP/1.1\r\nHost: 239.255.255.250\r\n\r\n"},
        {"HTTP expecting continue", "POST / HTTP/1.1\r\nHost: x\r\nExpect: 100-continue\r\nContent-Length: 10\r\n\r\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        client_.SendToGroup(c.datagram);
        service_->Dispatch();
        EXPECT_TRUE(client_.CollectUntilSentinel().empty());
    }
    const std::string messageId = NewMessageId();
    ExpectAnsweredProbe(messageId, Exchange(ProbeFor(messageId)));
}

// Several datagrams waiting at once are all served by one Dispatch.
TEST_F(WsddQueryTest, DispatchServesAllWaitingProbes)
{
    const std::string ids[] = {NewMessageId(), NewMessageId(), NewMessageId()};
    for (const std::string& id : ids)
        client_.SendToGroup(ProbeFor(id));
    service_->Dispatch();
    const std::vector<Datagram> replies = client_.CollectUntilSentinel();
    for (const std::string& id : ids)
        EXPECT_EQ(RepliesTo(replies, id).size(), 1u) << id;
}

// A flood is served in batches: one Dispatch serves at most its batch and returns, so the main
// loop gets back to the SOAP port; the datagrams left are served by the next calls.
TEST_F(WsddQueryTest, DispatchServesABoundedBatch)
{
    std::vector<std::string> ids;
    for (int i = 0; i < 40; ++i) {
        ids.push_back(NewMessageId());
        client_.SendToGroup(ProbeFor(ids.back()));
    }
    service_->Dispatch(16);
    std::vector<Datagram> replies = client_.CollectUntilSentinel();
    size_t answered = 0;
    for (const std::string& id : ids)
        answered += RepliesTo(replies, id).size();
    EXPECT_EQ(answered, 16u);

    DispatchAll();
    replies = client_.CollectUntilSentinel();
    for (const std::string& id : ids)
        answered += RepliesTo(replies, id).size();
    EXPECT_EQ(answered, ids.size());
}

// Probes served on the main thread while two workers send Hellos each get their whole answer.
TEST_F(WsddQueryTest, ProbesAnsweredWhileWorkersSendHellos)
{
    // A bounded number, so the Hellos looping back cannot crowd a Probe out of the buffer.
    auto sendHellos = [this] {
        for (int i = 0; i < 20; ++i)
            service_->SendHello();
    };
    std::thread first(sendHellos);
    std::thread second(sendHellos);
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        const std::string messageId = NewMessageId();
        ExpectAnsweredProbe(messageId, Exchange(ProbeFor(messageId)));
    }
    first.join();
    second.join();
}
