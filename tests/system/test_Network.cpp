// Connections as real networks bring them: slow readers, malformed, idle, half-sent and
// dribbling peers, costly XML, descriptor exhaustion and datagram floods. Each is answered or
// ended, and nobody else's service suffers.
#include <dirent.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <thread>

#include "DaemonFixture.h"
#include "common/Gzip.h"
#include "soap/RequestLimits.h"
// For the runtime's default socket buffer size.
#include "stdsoap2.h"

using namespace corvane_test;

namespace {

using Clock = std::chrono::steady_clock;

// Time the whole request has to arrive once a worker serves its connection. Answers that need
// no more input come well before it; a peer still sending when it passes is ended at it.
constexpr double kDeadline = 3.0;
// An answer "at once": a reader that waited for input no peer sends would take the deadline.
constexpr double kAtOnce = 1.0;
// How far past the deadline a connection may still be ended on a busy machine.
constexpr double kLate = 1.0;
// CPU seconds a body under the size cap may cost at most, sanitizers and a busy machine
// included; a reader that is not linear in the body takes many seconds.
constexpr double kLittleCpu = 1.5;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A field of /proc/<pid>/status in kB, such as "VmRSS" or "VmHWM" (the peak of VmRSS), or -1.
long StatusKb(pid_t pid, const std::string& field)
{
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find(field + ":");
    return at == std::string::npos ? -1 : std::strtol(status.c_str() + at + field.size() + 1, nullptr, 10);
}

// Sends a request and reads the answer until the daemon closes, or `limit` passes.
HttpAnswer ExchangeOpen(int port, const std::string& request, std::chrono::seconds limit)
{
    HttpAnswer a;
    int fd = ConnectLoopback(port);
    if (fd < 0)
        return a;
    a.connected = true;
    SendAll(fd, request);
    a = ParseAnswer(ReadAll(fd, limit));
    a.connected = true;
    close(fd);
    return a;
}

std::string RawPost(const std::string& body, const std::string& extraHead = "")
{
    return "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml; charset=utf-8\r\n" + extraHead +
           "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

int IntOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    return getsockopt(fd, level, name, &value, &size) == 0 ? value : -1;
}

// The inode of the TCP socket bound to local port `local` and connected to port `remote`.
unsigned long SocketInode(int local, int remote)
{
    TcpRow row;
    return FindTcpRow(local, remote, row) ? row.inode : 0;
}

// How many connections wait in the accept queue of the socket listening on `port`, or -1.
long ListenQueue(int port)
{
    std::istringstream table(ReadFile("/proc/net/tcp"));
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        unsigned local = 0, state = 0;
        unsigned long queued = 0;
        // For a listening socket (state 0A) the receive queue is its accept queue.
        if (sscanf(line.c_str(), " %*d: %*x:%x %*x:%*x %x %*x:%lx", &local, &state, &queued) == 3 &&
            static_cast<int>(local) == port && state == 0x0A)
            return static_cast<long>(queued);
    }
    return -1;
}

// The number of the descriptor of process `pid` that holds socket `inode`, or -1.
int DescriptorOfSocket(pid_t pid, unsigned long inode)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    int found = -1;
    DIR* d = opendir(dir.c_str());
    while (d && found < 0) {
        dirent* entry = readdir(d);
        if (!entry)
            break;
        char target[64] = {};
        if (readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1) > 0 && wanted == target)
            found = std::atoi(entry->d_name);
    }
    if (d)
        closedir(d);
    return found;
}

// A TCP connection to loopback whose handshake goes on without the caller; -1 when it
// cannot even be started.
int ConnectWithoutWaiting(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether the handshake of a connection from ConnectWithoutWaiting has completed.
bool Connected(int fd)
{
    pollfd p = {fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    return fd >= 0 && poll(&p, 1, 0) == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0;
}

class Network : public ServingDaemon {
protected:
    void TearDown() override
    {
        // Still serving everyone, then a clean stop.
        if (daemon) {
            EXPECT_EQ(ElementText(Call("auth-user").body, "result"), "*") << Log();
        }
        ServingDaemon::TearDown();
    }

    std::string AuthUser() const { return Envelope("auth-user"); }
};

// A connection the daemon has accepted is close-on-exec and non-blocking, with TCP_NODELAY and
// the buffer sizes that the runtime's defaults give a socket. Read from the daemon's own
// descriptor: its flags from /proc, its options through a duplicate taken with pidfd_getfd.
TEST_F(Network, AcceptedConnectionIsCloseOnExecWithTheRuntimesOptions)
{
    const int reference = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int buffer = SOAP_BUFLEN;
    ASSERT_EQ(setsockopt(reference, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer), 0);
    ASSERT_EQ(setsockopt(reference, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer), 0);
    const int sndbuf = IntOption(reference, SOL_SOCKET, SO_SNDBUF);
    const int rcvbuf = IntOption(reference, SOL_SOCKET, SO_RCVBUF);
    close(reference);

    // Half a request head: a worker holds the connection while it waits for the rest, up to
    // the request deadline; a busy machine gets a few tries.
    int fd = -1;
    int theirs = -1;
    for (int attempt = 0; attempt < 5 && theirs < 0; ++attempt) {
        if (fd >= 0)
            close(fd);
        fd = ConnectLoopback(port);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(SendAll(fd, "POST / HTTP/1.1\r\nHost: localhost\r\n"));
        // Until the daemon accepts it, the connection's socket has no inode.
        const int client = LocalPort(fd);
        WaitFor(
            [&] {
                const unsigned long inode = SocketInode(port, client);
                return inode != 0 && (theirs = DescriptorOfSocket(daemon->pid(), inode)) >= 0;
            },
            std::chrono::seconds(2));
    }
    ASSERT_GE(theirs, 0) << "the daemon holds no descriptor of the connection";

    const std::string info =
        ReadFile("/proc/" + std::to_string(daemon->pid()) + "/fdinfo/" + std::to_string(theirs));
    const size_t at = info.find("flags:");
    ASSERT_NE(at, std::string::npos) << info;
    const long flags = std::strtol(info.c_str() + at + 6, nullptr, 8);
    EXPECT_NE(flags & O_CLOEXEC, 0) << info;
    EXPECT_NE(flags & O_NONBLOCK, 0) << info;

    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, daemon->pid(), 0));
    ASSERT_GE(pidfd, 0) << strerror(errno);
    const int copy = static_cast<int>(syscall(SYS_pidfd_getfd, pidfd, theirs, 0));
    const int error = errno;
    close(pidfd);
    ASSERT_GE(copy, 0) << strerror(error);
    EXPECT_EQ(IntOption(copy, SOL_SOCKET, SO_SNDBUF), sndbuf);
    EXPECT_EQ(IntOption(copy, SOL_SOCKET, SO_RCVBUF), rcvbuf);
    EXPECT_EQ(IntOption(copy, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_NE(fcntl(copy, F_GETFL) & O_NONBLOCK, 0);
    close(copy);
    close(fd);
}

// A download read far slower than the request deadline, and longer than any transfer time-out
// the daemon ever had, still arrives whole with its closing chunk.
TEST_F(Network, SlowReaderGetsTheWholeFile)
{
    const std::string name = "slow-" + std::to_string(port);
    std::string content(14 * 1024 * 1024, '\0');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
    WriteFile("/tmp/downloads/" + name, content);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 64 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_TRUE(SendAll(fd, "GET /downloads/" + name + " HTTP/1.1\r\nHost: localhost\r\n\r\n"));

    // About 1.2 MB/s: some 12 s for the file.
    const auto start = Clock::now();
    std::string raw;
    char buf[32 * 1024];
    while (Seconds(Clock::now() - start) < 120) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 15000) <= 0)
            break;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        raw.append(buf, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    close(fd);
    const double took = Seconds(Clock::now() - start);
    unlink(("/tmp/downloads/" + name).c_str());

    EXPECT_GT(took, 10.5);
    HttpAnswer a = ParseAnswer(raw);
    EXPECT_EQ(a.status, 200);
    EXPECT_EQ(a.headers["transfer-encoding"], "chunked");
    ASSERT_GE(raw.size(), 5u);
    EXPECT_EQ(raw.substr(raw.size() - 5), "0\r\n\r\n") << "no closing chunk";
    EXPECT_EQ(a.body.size(), content.size());
    EXPECT_TRUE(a.body == content);
}

// Bodies that are not a well-formed SOAP request, sent with a right Content-Length on a
// connection the client keeps open, are answered with a fault at once: nothing waits for more
// bytes than the head announced. Each fault is a client fault in the envelope of the caller's
// SOAP version and names the problem.
TEST_F(Network, MalformedBodiesAnsweredAtOnce)
{
    const std::string good = AuthUser();
    const std::string soap12 =
        "<e:Envelope xmlns:e=\"http://www.w3.org/2003/05/soap-envelope\"><e:Body>"
        "<w:auth-user xmlns:w=\"" CORVANE_WEX_NAMESPACE "\"></w:auth-usr>"
        "</e:Body></e:Envelope>";
    std::string attributes;
    for (int i = 0; i < 65; ++i)
        attributes += " a" + std::to_string(i) + "='1'";
    const size_t body = good.find("<wex:auth-user");
    const std::string malformed = "Malformed XML request";
    // The request with `added` attributes in the start tag that begins with `tag`.
    auto withAttributes = [&good](const std::string& tag, const std::string& added) {
        return std::string(good).insert(good.find(tag) + tag.size(), added);
    };
    std::string emptyOperation = good;
    emptyOperation.replace(good.find("<wex:auth-user>"), 31, "<wex:auth-user a=\"1\" a=\"2\"/>");
    const struct {
        const char* what;
        std::string body;
        int status;
        const char* envelope;
        const char* code;
        std::string string;
        const char* detail;
    } cases[] = {
        {"mismatched end tag", good.substr(0, good.rfind("</")) + "</Envelop>", 500, kSoap11Envelope,
         "SOAP-ENV:Client", malformed, "end tag does not match its start tag"},
        {"truncated envelope", good.substr(0, body + 5), 500, kSoap11Envelope, "SOAP-ENV:Client", malformed,
         "the document ends early"},
        {"plain text", "just some words, not XML", 500, kSoap11Envelope, "SOAP-ENV:Client", malformed,
         "text outside the root element"},
        {"empty body", "", 500, kSoap11Envelope, "SOAP-ENV:Client", malformed, "no root element"},
        {"two root elements", good + "<x/>", 500, kSoap11Envelope, "SOAP-ENV:Client", malformed,
         "more than one root element"},
        {"document type", "<!DOCTYPE x [<!ENTITY e \"e\">]>" + good, 500, kSoap11Envelope, "SOAP-ENV:Client",
         malformed, "document type declarations are not accepted"},
        {"entities that expand a thousandfold",
         "<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
         "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]><x>&c;&c;&c;</x>",
         500, kSoap11Envelope, "SOAP-ENV:Client", malformed, "document type declarations are not accepted"},
        {"a document cut inside an end tag", "<a></", 500, kSoap11Envelope, "SOAP-ENV:Client", malformed,
         "the document ends early"},
        {"control bytes", std::string("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a"), 500, kSoap11Envelope,
         "SOAP-ENV:Client", malformed, "text outside the root element"},
        {"2,000 '<'", std::string(2000, '<'), 500, kSoap11Envelope, "SOAP-ENV:Client", malformed,
         "a markup character where a name must be"},
        {"too many attributes", good.substr(0, body) + "<x" + attributes + "/>" + good.substr(body), 500,
         kSoap11Envelope, "SOAP-ENV:Client", malformed, "too many attributes on one element"},
        {"an attribute named twice", withAttributes("<wex:auth-user", " a=\"1\" a=\"2\""), 500, kSoap11Envelope,
         "SOAP-ENV:Client", malformed, "repeated attribute"},
        {"an attribute named twice on an empty element", emptyOperation, 500, kSoap11Envelope, "SOAP-ENV:Client",
         malformed, "repeated attribute"},
        {"an attribute named twice on the envelope", withAttributes("<SOAP-ENV:Envelope", " a=\"1\" b='' a=\"2\""),
         500, kSoap11Envelope, "SOAP-ENV:Client", malformed, "repeated attribute"},
        {"a namespace declared twice", withAttributes("<SOAP-ENV:Body", " xmlns:q='u' xmlns:q='v'"), 500,
         kSoap11Envelope, "SOAP-ENV:Client", malformed, "repeated attribute"},
        {"SOAP 1.2 with a mismatched end tag", soap12, 400, kSoap12Envelope, "SOAP-ENV:Sender", malformed,
         "end tag does not match its start tag"},
        {"SOAP 1.2 with too many attributes",
         soap12.substr(0, soap12.find("<w:")) + "<x" + attributes + "/></e:Body></e:Envelope>", 400, kSoap12Envelope,
         "SOAP-ENV:Sender", malformed, "too many attributes on one element"},
        // An envelope of no SOAP namespace is the case SOAP names for itself.
        {"wrong envelope", "<Envelope><Body><auth-user/></Body></Envelope>", 500, kSoap11Envelope,
         "SOAP-ENV:VersionMismatch", "Invalid SOAP message or SOAP version mismatch", ""},
        {"not an envelope", "<html><body>hello</body></html>", 500, kSoap11Envelope, "SOAP-ENV:VersionMismatch",
         "Invalid SOAP message or SOAP version mismatch", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto start = Clock::now();
        HttpAnswer a = ExchangeOpen(port, RawPost(c.body), std::chrono::seconds(30));
        const double took = Seconds(Clock::now() - start);
        EXPECT_EQ(a.status, c.status) << a.raw;
        const SoapFault fault = FaultOf(a.body);
        EXPECT_EQ(fault.envelope, c.envelope) << a.body;
        EXPECT_EQ(fault.code, c.code);
        EXPECT_EQ(fault.string, c.string);
        EXPECT_EQ(fault.detail, c.detail);
        EXPECT_LT(took, kAtOnce) << "waited for more input";
    }
    // The well-formed request is still answered normally.
    EXPECT_EQ(ElementText(ExchangeOpen(port, RawPost(good), std::chrono::seconds(30)).body, "result"), "*");
}

// A client may half-close its side once it has sent the whole request; it still gets the
// answer, whatever its status.
TEST_F(Network, HalfClosedClientsGetEveryAnswer)
{
    const std::string good = AuthUser();
    const struct {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        {"served", RawPost(good), 200},
        {"a wrong password", Post(good, "tech:wrong"), 401},
        {"a missing download", "GET /downloads/missing-" + std::to_string(port) + " HTTP/1.1\r\nHost: x\r\n\r\n", 404},
        {"an unknown operation", RawPost(Envelope("reboot")), 500},
        {"a malformed body", RawPost(good.substr(0, good.size() - 3)), 500},
        {"a malformed head", RawPost(good, "Content-Length: 1\r\n"), 400},
        {"an oversized body", RawPost(std::string(2 * 1024 * 1024, ' ')), 413},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = ConnectLoopback(port);
        ASSERT_GE(fd, 0);
        SendAll(fd, c.request);
        ::shutdown(fd, SHUT_WR);
        const HttpAnswer a = ParseAnswer(ReadAll(fd));
        close(fd);
        EXPECT_EQ(a.status, c.status) << a.raw.substr(0, 300);
    }
}

// Whatever a peer sends after the announced body is not read as part of the request.
TEST_F(Network, BodyEndsAtContentLength)
{
    HttpAnswer a = ExchangeOpen(port, RawPost(AuthUser()) + "<trailing garbage", std::chrono::seconds(30));
    EXPECT_EQ(a.status, 200) << a.raw;
    EXPECT_EQ(ElementText(a.body, "result"), "*");
}

// A compressed body is checked as what it inflates to: a good one is served, a costly or
// broken one refused, and one that inflates beyond the size cap is answered 413.
TEST_F(Network, CompressedBodiesCheckedInflated)
{
    const std::string envelope = AuthUser();
    std::string attributes;
    for (int i = 0; i < 60000; ++i)
        attributes += " a" + std::to_string(i) + "=\"1\"";
    const size_t body = envelope.find("<wex:auth-user");
    const struct {
        const char* what;
        std::string body;
        int status;
    } cases[] = {
        {"well-formed", Gzip(envelope), 200},
        {"60,000 attributes", Gzip(envelope.substr(0, body) + "<x" + attributes + "/>" + envelope.substr(body)), 500},
        {"mismatched end tag", Gzip(envelope.substr(0, envelope.rfind("</")) + "</Envelop>"), 500},
        {"beyond the size cap", Gzip(envelope.substr(0, body) + std::string(5 * 1024 * 1024, ' ') + envelope.substr(body)), 413},
        {"not compressed at all", envelope, 500},
    };
    for (const auto& c : cases) {
        HttpAnswer a = ExchangeOpen(port, RawPost(c.body, "Content-Encoding: gzip\r\n"), std::chrono::seconds(30));
        EXPECT_EQ(a.status, c.status) << c.what << "\n" << a.raw.substr(0, 400);
    }
}

// A chunked body is read to its last chunk, in time linear in its size however small its
// chunks; one whose chunks add up to more than the size cap is answered 413.
TEST_F(Network, ChunkedBodiesReadToTheirEnd)
{
    auto chunked = [](const std::string& body, size_t chunk) {
        return "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml\r\nTransfer-Encoding: chunked\r\n\r\n" +
               Chunked(body, chunk);
    };
    // One word below the kernel's limit on a single argument (128 KiB).
    const std::string word(100 * 1024, 'x');
    const std::string echo = Envelope("command", {{"plugin", "thermo"}, {"command", "echo"}, {"parameters", word}});
    const double before = CpuSeconds(daemon->pid());
    HttpAnswer small = ExchangeOpen(port, chunked(echo, 4), std::chrono::seconds(60));
    const double used = CpuSeconds(daemon->pid()) - before;
    std::printf("%zu bytes in 4-byte chunks: %.2f s of CPU\n", echo.size(), used);
    EXPECT_EQ(small.status, 200) << small.raw.substr(0, 300);
    const std::string result = ElementText(small.body, "result");
    EXPECT_TRUE(result == "arg:" + word + "\n") << result.size() << " bytes: " << result.substr(0, 80);
    EXPECT_LT(used, 1.5);

    const std::string big = Envelope("command", {{"plugin", "thermo"}, {"command", "get"},
                                                 {"parameters", std::string(2 * 1024 * 1024, 'x')}});
    HttpAnswer refused = ExchangeOpen(port, chunked(big, 4096), std::chrono::seconds(60));
    EXPECT_EQ(refused.status, 413) << refused.raw.substr(0, 300);
}

// The costliest bodies under the size cap, one for each of the reader's limits and for markup
// that hides attributes from a lenient reader, cost little CPU: each is read in one linear pass
// and refused or served. (Hidden in an instruction, 40,000 attributes once cost 6.8 s, and
// 100,000 behind a bare '&' a minute.)
TEST_F(Network, CostliestBodiesCostLittleCpu)
{
    const size_t cap = RequestLimits::kMaxBytes;
    const std::string good = AuthUser();
    // Inside the operation's element, so that the runtime parses all of it.
    const size_t inside = good.find("</wex:auth-user>");
    const std::string head = good.substr(0, inside), tail = good.substr(inside);
    // The envelope with `unit` repeated inside its operation as often as fits under the cap;
    // an '@' in it becomes the count so far, so that attributes have names of their own.
    auto filled = [&](const std::string& before, const std::string& unit, const std::string& after = "") {
        std::string xml = head + before;
        for (size_t i = 0;; ++i) {
            std::string next = unit;
            if (const size_t at = next.find('@'); at != std::string::npos)
                next.replace(at, 1, std::to_string(i));
            if (xml.size() + next.size() + after.size() + tail.size() > cap)
                break;
            xml += next;
        }
        return xml + after + tail;
    };
    auto attributes = [](size_t n, const std::string& prefix) {
        std::string out;
        for (size_t i = 0; i < n; ++i)
            out += " " + prefix + std::to_string(i) + "=''";
        return out;
    };
    std::string namespaces;
    for (size_t i = 0; i < RequestLimits::kMaxNamespacesInScope - 2; ++i)
        namespaces += " xmlns:p" + std::to_string(i) + "='urn:" + std::to_string(i) + "'";
    const std::string deep = "<d>";
    const struct {
        const char* what;
        std::string body;
    } cases[] = {
        {"attributes hidden in an instruction", filled("<?p ? ><x", " a@=''", "/>?>")},
        {"attributes hidden behind a bare '&'", filled("<x>demo&<!--xyz</x><x", " a@=''", "/><x>e--></x>")},
        {"attributes hidden in a comment", filled("<!-- -- ><x", " a@=''", "/>-->")},
        {"elements with the most attributes", filled("", "<x" + attributes(RequestLimits::kMaxAttributesPerElement, "a") + "/>")},
        {"prefixes looked up through the most declarations",
         filled("<n" + namespaces + ">", "<p0:x p0:a='' p1:b='' p2:c=''/>", "</n>")},
        {"elements nested the deepest",
         filled("", [&] {
             std::string unit;
             for (unsigned i = 0; i + 4 < RequestLimits::kMaxNesting; ++i)
                 unit += deep;
             for (unsigned i = 0; i + 4 < RequestLimits::kMaxNesting; ++i)
                 unit += "</d>";
             return unit;
         }())},
        {"the longest names", filled("", "<" + std::string(RequestLimits::kMaxNameBytes, 'n') + "/>")},
        {"character references", filled("<x>", "&#x0000041;", "</x>")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_LE(c.body.size(), cap);
        const double before = CpuSeconds(daemon->pid());
        HttpAnswer a = ExchangeOpen(port, RawPost(c.body), std::chrono::seconds(90));
        const double used = CpuSeconds(daemon->pid()) - before;
        std::printf("%s, %zu bytes: %.3f s of CPU, answered %d\n", c.what, c.body.size(), used, a.status);
        EXPECT_GT(a.status, 0) << "no answer";
        EXPECT_LT(used, kLittleCpu);
    }
    EXPECT_EQ(ElementText(ExchangeOpen(port, RawPost(good), std::chrono::seconds(30)).body, "result"), "*");
}

// A chunked body is parsed as the check saw it. This one is framed so that a reader taking a
// size line ended by LF alone, and skipping junk before the next size, finds an envelope with
// 40,000 attributes on one element, while a reader taking the lines up to CR LF finds a
// harmless document; the daemon refuses the framing at once.
TEST_F(Network, ChunkedBodyIsParsedAsChecked)
{
    const std::string envelope = AuthUser();
    const std::string start = envelope.substr(0, envelope.find("<wex:auth-user") + 14);
    const std::string hidden = "<!--" + std::string(start.size() + 2 - 4, 'z');
    std::string attributes;
    for (int i = 0; i < 40000; ++i)
        attributes += " a" + std::to_string(i) + "=\"1\"";
    const std::string rest = attributes + "/></SOAP-ENV:Body></SOAP-ENV:Envelope>";
    const std::string closing = "--><r/>";
    char size[64];
    std::snprintf(size, sizeof size, "%zx\n", hidden.size());
    std::string body = size + start + "\r\n" + hidden + "\r\n";
    std::snprintf(size, sizeof size, "%zx\r\n", rest.size());
    body += size + rest + "\r\n";
    std::snprintf(size, sizeof size, "%zx\r\n", closing.size());
    body += size + closing + "\r\n0\r\n\r\n";

    const double before = CpuSeconds(daemon->pid());
    HttpAnswer a = ExchangeOpen(port,
                                "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml\r\n"
                                "Transfer-Encoding: chunked\r\n\r\n" + body,
                                std::chrono::seconds(60));
    const double used = CpuSeconds(daemon->pid()) - before;
    std::printf("a chunked body of %zu bytes framed two ways: %.2f s of CPU\n", body.size(), used);
    EXPECT_EQ(a.status, 500) << a.raw.substr(0, 300);
    EXPECT_EQ(FaultOf(a.body).string, "Malformed chunked request body");
    EXPECT_LT(used, 1.5);
}

// A request over the size cap is answered 413 at once: as soon as its head has arrived,
// before any of its body is sent, and the same when it is sent whole (LimitsHoldAtTheirValues
// has the bodies at the cap and one byte over). A refused sender may go on sending what it
// began, for a second, and gets its answer and a close, not a reset.
TEST_F(Network, OversizedRequestAnswered413)
{
    const size_t cap = 1024 * 1024;
    auto parameters = [](size_t bytes) {
        return Envelope("command", {{"plugin", "thermo"}, {"command", "get"}, {"parameters", std::string(bytes, 'x')}});
    };
    const struct {
        const char* what;
        std::string request;
        int status;
    } cases[] = {
        {"a length over the cap, no body sent", "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml\r\n"
                                                "Content-Length: 3000000\r\n\r\n",
         413},
        {"2 MiB sent whole", RawPost(parameters(2 * cap)), 413},
        {"3 MiB sent whole", RawPost(parameters(3 * cap)), 413},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const TimedAnswer t = TimedExchange(port, c.request, std::chrono::seconds(30), 64 * 1024);
        const HttpAnswer& a = t.answer;
        EXPECT_EQ(a.status, c.status) << a.raw.substr(0, 300);
        EXPECT_TRUE(t.sentWhole);
        EXPECT_FALSE(t.reset);
        EXPECT_GE(t.firstByte, 0);
        EXPECT_LT(t.firstByte, kAtOnce);
        EXPECT_EQ(FaultOf(a.body).string, "HTTP Error: 413 Request Entity Too Large");
        EXPECT_EQ(a.raw.find("<result>"), std::string::npos);
        // The daemon closes its side as soon as it has answered.
        EXPECT_GE(t.ended, 0);
        EXPECT_LT(t.ended, kAtOnce);
    }
}

// Each request limit holds at its value, whichever way the body is framed and once more as a
// compressed body inflates: a body of exactly the size cap is served and one byte more is 413;
// XML nested exactly as deep as allowed is served and one level more is refused by the shape
// check.
TEST_F(Network, LimitsHoldAtTheirValues)
{
    const std::string plain = AuthUser();
    const size_t operation = plain.find("</wex:auth-user>");
    // The operation's unknown children are skipped by the runtime, however deep.
    auto nested = [&](size_t depth) {
        std::string elements;
        for (size_t i = 0; i < depth; ++i)
            elements += "<a>";
        for (size_t i = 0; i < depth; ++i)
            elements += "</a>";
        return plain.substr(0, operation) + elements + plain.substr(operation);
    };
    // Envelope, Body and the operation are three levels of the document.
    const std::string deepest = nested(RequestLimits::kMaxNesting - 3);
    const std::string tooDeep = nested(RequestLimits::kMaxNesting - 2);
    auto sized = [&](size_t bytes) {
        return plain.substr(0, operation) + std::string(bytes - plain.size(), ' ') + plain.substr(operation);
    };
    const std::string atCap = sized(RequestLimits::kMaxBytes);
    const std::string overCap = sized(RequestLimits::kMaxBytes + 1);
    const std::string chunkedHead = "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml\r\n"
                                    "Transfer-Encoding: chunked\r\n\r\n";
    const std::string gzipped = "Content-Encoding: gzip\r\n";
    const struct {
        const char* what;
        std::string request;
        int status;
        const char* detail;
    } cases[] = {
        {"a body of the size cap", RawPost(atCap), 200, ""},
        {"a body of the size cap in chunks", chunkedHead + Chunked(atCap, 65536), 200, ""},
        {"a body inflating to the size cap", RawPost(Gzip(atCap), gzipped), 200, ""},
        {"one byte more", RawPost(overCap), 413, ""},
        {"one byte more in chunks", chunkedHead + Chunked(overCap, 65536), 413, ""},
        {"one byte more once inflated", RawPost(Gzip(overCap), gzipped), 413, ""},
        {"nesting at the limit", RawPost(deepest), 200, ""},
        {"one level more", RawPost(tooDeep), 500, "elements nested too deeply"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const int fd = ConnectLoopback(port);
        ASSERT_GE(fd, 0);
        SendAll(fd, c.request);
        const HttpAnswer a = ParseAnswer(ReadAll(fd, std::chrono::seconds(30)));
        close(fd);
        EXPECT_EQ(a.status, c.status) << FaultOf(a.body).string;
        if (c.status == 200) {
            EXPECT_EQ(ElementText(a.body, "result"), "*");
        } else if (*c.detail) {
            EXPECT_EQ(FaultOf(a.body).detail, c.detail);
        }
    }
}

// A request that has not arrived whole when the deadline passes is ended then, not before and
// not much later: its peer gets no answer, only the end of the connection, whether it stopped
// inside the head, inside the body or dribbles on a byte at a time. The three are served at
// the same time, each by a worker of its own.
TEST_F(Network, RequestsMissingTheDeadlineAreEndedUnanswered)
{
    const std::string request = RawPost(AuthUser() + std::string(100000, ' '));
    const size_t head = request.find("\r\n\r\n") + 4;
    const struct Case {
        const char* what;
        std::string sent;
        bool dribbles;
    } cases[] = {
        {"half a head", request.substr(0, head / 2), false},
        {"a head and half its body", request.substr(0, head + (request.size() - head) / 2), false},
        {"a byte at a time", request, true},
    };
    struct Ending {
        double after = -1;  // seconds from the first byte sent to the end, -1 when it never came
        std::string received;
        bool orderly = false;  // a close, not a reset
    };
    auto send = [this](const Case& c) {
        Ending e;
        const int fd = ConnectLoopback(port);
        if (fd < 0)
            return e;
        const auto start = Clock::now();
        const auto giveUp = start + std::chrono::duration<double>(kDeadline + 3 * kLate);
        size_t sent = 0;
        bool ended = false;
        while (!ended && Clock::now() < giveUp) {
            if (sent < c.sent.size()) {
                const size_t n = c.dribbles ? 1 : c.sent.size();
                ended = !SendAll(fd, c.sent.substr(sent, n));
                sent += n;
            }
            // Readable, or hung up: the daemon ended the connection.
            pollfd p = {fd, POLLIN, 0};
            ended = ended || poll(&p, 1, 50) > 0;
        }
        if (ended)
            e.after = Seconds(Clock::now() - start);
        char buf[4096];
        ssize_t n = 0;
        while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            e.received.append(buf, static_cast<size_t>(n));
        e.orderly = n == 0;
        close(fd);
        return e;
    };
    std::vector<std::future<Ending>> endings;
    for (const Case& c : cases)
        endings.push_back(std::async(std::launch::async, send, std::cref(c)));
    for (size_t i = 0; i < endings.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.what);
        const Ending e = endings[i].get();
        std::printf("a request sent as %s: ended after %.2f s\n", c.what, e.after);
        EXPECT_GT(e.after, kDeadline - 0.2);
        EXPECT_LT(e.after, kDeadline + kLate);
        EXPECT_EQ(e.received, "");
        // A peer that stopped sending had all its bytes read: the daemon closes, it does not
        // reset. One that dribbles may have a byte in flight when the connection ends.
        if (!c.dribbles) {
            EXPECT_TRUE(e.orderly);
        }
    }
}

// Peers that connect and send nothing do not keep a well-formed request from being answered
// at once. Peers that send a head and half a body hold the workers until the deadline ends
// them, a worker's worth at a time: three times as many as there are workers delay the request
// by three deadlines and no more.
TEST_F(Network, IdleAndHalfSentPeersDoNotStopService)
{
    const std::string request = RawPost(AuthUser());
    auto timedRequest = [&](const char* behind, double expected) {
        const auto start = Clock::now();
        HttpAnswer a = ExchangeOpen(port, request, std::chrono::seconds(60));
        const double took = Seconds(Clock::now() - start);
        std::printf("a well-formed request behind %s connections: %.2f s\n", behind, took);
        EXPECT_EQ(ElementText(a.body, "result"), "*") << behind << "\n" << a.raw;
        EXPECT_GT(took, expected - 0.2) << behind;
        EXPECT_LT(took, expected + kLate) << behind;
    };
    const int workers = static_cast<int>(std::thread::hardware_concurrency());
    ASSERT_GT(workers, 0);
    const int rounds = 3;
    std::vector<int> idle, half;
    for (int i = 0; i < rounds * workers; ++i)
        idle.push_back(ConnectLoopback(port));
    timedRequest("idle", 0);
    for (int i = 0; i < rounds * workers; ++i) {
        int fd = ConnectLoopback(port);
        SendAll(fd, request.substr(0, request.size() - AuthUser().size() / 2));
        half.push_back(fd);
    }
    timedRequest("half-sent", rounds * kDeadline);

    // The half-sent requests are all ended by the daemon, the last of them about when the
    // request behind them was taken: closed without an answer.
    for (int fd : half) {
        pollfd p = {fd, POLLIN, 0};
        EXPECT_EQ(poll(&p, 1, static_cast<int>(kLate * 1000)), 1);
        char byte = 0;
        EXPECT_EQ(recv(fd, &byte, 1, MSG_DONTWAIT), 0);
        close(fd);
    }
    for (int fd : idle)
        close(fd);
}

// Hundreds of peers that connect and send nothing do not keep a new client out: the kernel
// holds them while the listener defers them, and they must not fill the queue that new
// connections go through.
TEST_F(Network, HundredsOfIdlePeersDoNotKeepNewClientsOut)
{
    for (int peers : {150, 300}) {
        std::vector<int> idle;
        for (int i = 0; i < peers; ++i)
            idle.push_back(ConnectWithoutWaiting(port));
        // Each idle peer's handshake is done (or refused) before the new client comes.
        WaitFor([&] { return std::all_of(idle.begin(), idle.end(), [](int fd) { return Connected(fd); }); },
                std::chrono::seconds(5));
        const long connected = std::count_if(idle.begin(), idle.end(), [](int fd) { return Connected(fd); });
        const auto start = Clock::now();
        HttpAnswer a = ExchangeOpen(port, RawPost(AuthUser()), std::chrono::seconds(30));
        const double took = Seconds(Clock::now() - start);
        std::printf("a new request behind %d idle connections (%ld connected): %.2f s\n", peers, connected, took);
        EXPECT_EQ(ElementText(a.body, "result"), "*") << peers << " idle\n" << a.raw;
        // Idle peers that reach the workers cost a round of the request deadline each.
        EXPECT_LT(took, kAtOnce) << peers << " idle";
        for (int fd : idle)
            close(fd);
    }
}

// A flood of connections that each send a byte keeps the daemon's memory bounded: those the
// workers cannot take yet wait in the kernel, not as server objects in the daemon.
TEST_F(Network, ConnectionFloodKeepsMemoryBounded)
{
    // The connections the daemon holds at most: 64 waiting for a worker and one per worker.
    const int workers = static_cast<int>(std::thread::hardware_concurrency());
    ASSERT_GT(workers, 0);
    const int held = 64 + workers;
    const int idleDescriptors = OpenDescriptors(daemon->pid());
    // Should the kernel's backlog fill, connecting stalls; each attempt is therefore given a
    // short while only.
    std::vector<int> peers;
    const auto until = Clock::now() + std::chrono::seconds(8);
    int refusedInARow = 0;
    for (int i = 0; i < 900 && Clock::now() < until && refusedInARow < 20; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval patience = {0, 200000};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &patience, sizeof patience);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || !SendAll(fd, "P")) {
            close(fd);
            ++refusedInARow;
            continue;
        }
        refusedInARow = 0;
        peers.push_back(fd);
    }
    // Every one has sent its byte, so the kernel hands it over at once. The daemon takes as
    // many as it holds and no more, however long the rest wait in the listener's queue (the
    // workers keep theirs for the request deadline); one that takes them without bound has
    // taken more within half a second.
    auto taken = [&] { return OpenDescriptors(daemon->pid()) - idleDescriptors; };
    EXPECT_FALSE(WaitFor([&] { return taken() > held; }, std::chrono::milliseconds(500)))
        << taken() << " taken, " << ListenQueue(port) << " queued";
    const long rssKb = StatusKb(daemon->pid(), "VmRSS");
    std::printf("RSS with %zu connections open, %d taken and %ld queued: %ld kB\n", peers.size(), taken(),
                ListenQueue(port), rssKb);
    EXPECT_GT(peers.size(), 150u);
    EXPECT_GT(rssKb, 0);
    EXPECT_LT(rssKb, 80 * 1024);
    for (int fd : peers)
        close(fd);
}

// Many attributes or namespace declarations on one element, or many declarations in scope
// over nested elements, cost the daemon little CPU: the request is refused before the
// runtime's parser, whose cost grows with their square, sees it. The largest shape accepted
// is served.
TEST_F(Network, CostlyXmlIsCheap)
{
    std::string attributes, namespaces;
    for (int i = 0; i < 60000; ++i)
        attributes += " a" + std::to_string(i) + "=\"1\"";
    for (int i = 0; i < 40000; ++i)
        namespaces += " xmlns:n" + std::to_string(i) + "=\"urn:n" + std::to_string(i) + "\"";
    // The largest shape that is accepted: the most attributes per element, on many elements.
    std::string wide;
    std::string element = "<x";
    for (int i = 0; i < 64; ++i)
        element += " b" + std::to_string(i) + "=\"\"";
    element += "/>";
    while (wide.size() + element.size() < 1000 * 1000)
        wide += element;
    // 60 declarations on each of 60 nested elements: 3,600 in scope at the innermost.
    std::string nested, closing;
    for (int depth = 0; depth < 60; ++depth) {
        nested += "<m";
        for (int i = 0; i < 60; ++i)
            nested += " xmlns:d" + std::to_string(depth) + "n" + std::to_string(i) + "=\"urn:x\"";
        nested += ">";
        closing += "</m>";
    }
    const std::string envelope = AuthUser();
    const size_t body = envelope.find("<wex:auth-user");
    const struct {
        const char* what;
        std::string body;
        int status;
        const char* detail;  // of the fault; nullptr when served
    } cases[] = {
        {"60,000 attributes", envelope.substr(0, body) + "<x" + attributes + "/>" + envelope.substr(body), 500,
         "too many attributes on one element"},
        // Declarations are attributes too.
        {"40,000 namespace declarations", "<Envelope" + namespaces + envelope.substr(9), 500,
         "too many attributes on one element"},
        {"3,600 namespace declarations in scope", envelope.substr(0, body) + nested + closing + envelope.substr(body),
         500, "too many namespace declarations in scope"},
        {"64 attributes on each of many elements inside the operation",
         envelope.substr(0, body) + "<wex:auth-user>" + wide + envelope.substr(body + 15), 200, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const double before = CpuSeconds(daemon->pid());
        HttpAnswer a = ExchangeOpen(port, RawPost(c.body), std::chrono::seconds(60));
        const double used = CpuSeconds(daemon->pid()) - before;
        std::printf("%s (%zu bytes): %.2f s of CPU\n", c.what, c.body.size(), used);
        EXPECT_EQ(a.status, c.status) << a.raw.substr(0, 300);
        if (c.detail) {
            EXPECT_EQ(FaultOf(a.body).string, "Malformed XML request");
            EXPECT_EQ(FaultOf(a.body).detail, c.detail);
        } else {
            EXPECT_EQ(ElementText(a.body, "result"), "*");
        }
        EXPECT_LT(used, 1.5);
    }
}

// SOAP-encoding references cost the daemon no memory beyond the request's own: one large
// element referenced by the operation's field and by a thousand siblings is never copied for
// each reference (resolving them took the daemon to a thousand times the element's size).
TEST_F(Network, MultiReferencesAreNotResolved)
{
    const std::string envelope = AuthUser();
    const std::string value(100 * 1000, 'v');
    std::string refs;
    for (int i = 0; i < 1000; ++i)
        refs += "<y href=\"#p\"/>";
    const std::string head = envelope.substr(0, envelope.find("<wex:auth-user"));
    const std::string tail = "</SOAP-ENV:Body></SOAP-ENV:Envelope>";
    const std::string operation =
        "<wex:command><plugin>thermo</plugin><command>echo</command><parameters href=\"#p\"/></wex:command>";
    const std::string plain = head + operation + "<x>" + value + "</x>" + tail;
    const std::string referring = head + operation + refs + "<x id=\"p\">" + value + "</x>" + tail;

    // The same size without references first, so that what the first request of a daemon
    // costs anyway is not counted.
    EXPECT_EQ(ExchangeOpen(port, RawPost(plain), std::chrono::seconds(60)).status, 200);
    const long before = StatusKb(daemon->pid(), "VmHWM");
    HttpAnswer a = ExchangeOpen(port, RawPost(referring), std::chrono::seconds(60));
    const long grew = StatusKb(daemon->pid(), "VmHWM") - before;
    std::printf("a request of %zu bytes with 1,001 references: peak memory grew by %ld kB\n", referring.size(), grew);
    EXPECT_EQ(a.status, 200) << a.raw.substr(0, 300);
    // The field is empty: the reference is not followed.
    EXPECT_EQ(ElementText(a.body, "result"), "");
    ASSERT_GE(before, 0);
    EXPECT_LT(grew, 40 * 1024);
}

// With the descriptor limit reached the loop neither spins nor floods the log, and it serves
// again by itself once descriptors are free.
TEST_F(Network, DescriptorExhaustionIsSurvivedQuietly)
{
    rlimit usual = {};
    ASSERT_EQ(prlimit(daemon->pid(), RLIMIT_NOFILE, nullptr, &usual), 0);
    rlimit limit = {48, usual.rlim_max};
    ASSERT_EQ(prlimit(daemon->pid(), RLIMIT_NOFILE, &limit, nullptr), 0);
    std::vector<int> peers;
    for (int i = 0; i < 90; ++i) {
        int fd = ConnectLoopback(port);
        if (fd >= 0) {
            // One byte, so the kernel hands the connection over instead of deferring it.
            SendAll(fd, "P");
            peers.push_back(fd);
        }
    }
    ASSERT_TRUE(WaitFor([this] { return Log().find(" (not accepting for a while)\n") != std::string::npos; }))
        << "the limit was never reached";
    // What the loop costs while descriptors stay exhausted, over a while: a loop that retried
    // at once would use all of it.
    const auto window = std::chrono::seconds(2);
    struct stat before = {};
    stat((dir / "corvaned.log").c_str(), &before);
    const double cpuBefore = CpuSeconds(daemon->pid());
    std::this_thread::sleep_for(window);
    const double cpu = CpuSeconds(daemon->pid()) - cpuBefore;
    struct stat after = {};
    stat((dir / "corvaned.log").c_str(), &after);
    std::printf("with no descriptors left: %.2f s of CPU and %lld bytes of log in %lld s\n", cpu,
                static_cast<long long>(after.st_size - before.st_size), static_cast<long long>(window.count()));
    EXPECT_LT(cpu, 0.25 * static_cast<double>(window.count()));
    // A line per episode, as connections ended by the deadline free a descriptor for a moment.
    EXPECT_LT(after.st_size - before.st_size, 10000);

    for (int fd : peers)
        close(fd);
    ASSERT_EQ(prlimit(daemon->pid(), RLIMIT_NOFILE, &usual, nullptr), 0);
    bool served = WaitFor([this] { return ElementText(Call("auth-user").body, "result") == "*"; },
                          std::chrono::seconds(30));
    EXPECT_TRUE(served) << Log().substr(0, 2000);
}

// A flood of discovery datagrams does not keep SOAP requests from being answered.
TEST_F(Network, DatagramFloodLeavesSoapServed)
{
    std::atomic<bool> stop(false);
    std::atomic<long> sent(0);
    std::thread flood([&stop, &sent] {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(3702);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string junk = "<not-a-probe/>";
        const auto until = Clock::now() + std::chrono::seconds(30);
        while (!stop.load() && Clock::now() < until)
            if (sendto(fd, junk.data(), junk.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0)
                ++sent;
        close(fd);
    });
    ASSERT_TRUE(WaitFor([&sent] { return sent.load() > 10000; })) << "the flood never started";
    int answered = 0;
    const auto start = Clock::now();
    for (int i = 0; i < 20; ++i)
        answered += ElementText(ExchangeOpen(port, RawPost(AuthUser()), std::chrono::seconds(20)).body, "result") == "*";
    const double took = Seconds(Clock::now() - start);
    stop = true;
    flood.join();
    std::printf("20 requests during a datagram flood: %.2f s\n", took);
    EXPECT_EQ(answered, 20);
    // Each at once: a loop that served the datagrams first would keep every request waiting.
    EXPECT_LT(took, 2 * kAtOnce);
}

}  // namespace
