#include "WsddTestSupport.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

#include "core/CorvaneConfig.h"
#include "soap/WexNamespace.h"
#include "velmora/Utilities.h"

namespace wsddtest {

const char* const kIdentityPath = "/var/lib/corvane/corvaned_uuid";
const char* const kServiceType = "wex:CorvaneBackend_3";

namespace {

const char* const kGroup = "239.255.255.250";
const int kWaitMs = 5000;

[[noreturn]] void Fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_in Address(const char* host, uint16_t port)
{
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, host, &a.sin_addr);
    return a;
}

// Text of the first element with this local name, whatever its prefix.
std::string Element(const std::string& xml, const char* localName)
{
    const std::string wanted(localName);
    for (size_t open = xml.find('<'); open != std::string::npos; open = xml.find('<', open + 1)) {
        const size_t nameEnd = xml.find_first_of(" \t\r\n/>", open + 1);
        if (nameEnd == std::string::npos)
            break;
        std::string name = xml.substr(open + 1, nameEnd - open - 1);
        const size_t colon = name.find(':');
        if (colon != std::string::npos)
            name.erase(0, colon + 1);
        if (name != wanted)
            continue;
        const size_t close = xml.find('>', nameEnd);
        if (close == std::string::npos || xml[close - 1] == '/')
            return std::string();
        const size_t textEnd = xml.find('<', close + 1);
        return textEnd == std::string::npos ? std::string() : xml.substr(close + 1, textEnd - close - 1);
    }
    return std::string();
}

std::string Attribute(const std::string& xml, const char* name)
{
    const std::string key = std::string(" ") + name + "=\"";
    const size_t at = xml.find(key);
    if (at == std::string::npos)
        return std::string();
    const size_t end = xml.find('"', at + key.size());
    return end == std::string::npos ? std::string() : xml.substr(at + key.size(), end - at - key.size());
}

std::atomic<int> gSigterms{0};

void CountSigterm(int)
{
    gSigterms.fetch_add(1);
}

std::string Envelope(const std::string& extraNs, const std::string& header, const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\""
           " xmlns:a=\"http://www.w3.org/2005/08/addressing\""
           " xmlns:d=\"http://docs.oasis-open.org/ws-dd/ns/discovery/2009/01\""
           " xmlns:wex=\"" CORVANE_WEX_NAMESPACE "\"" +
           extraNs + "><s:Header>" + header + "</s:Header><s:Body>" + body + "</s:Body></s:Envelope>";
}

std::string Header(const std::string& action, const std::string& messageId, const std::string& replyTo)
{
    std::string h = "<a:MessageID>" + messageId + "</a:MessageID>"
                    "<a:To>urn:docs-oasis-open-org:ws-dd:ns:discovery:2009:01</a:To>"
                    "<a:Action>http://docs.oasis-open.org/ws-dd/ns/discovery/2009/01/" + action + "</a:Action>";
    if (!replyTo.empty())
        h += "<a:ReplyTo><a:Address>" + replyTo + "</a:Address></a:ReplyTo>";
    return h;
}

} // namespace

UdpSocket UdpSocket::GroupObserver()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Fail("socket");
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in any = Address("0.0.0.0", 3702);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) < 0)
        Fail("bind observer");
    ip_mreqn m;
    std::memset(&m, 0, sizeof m);
    ::inet_pton(AF_INET, kGroup, &m.imr_multiaddr);
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) < 0)
        Fail("join observer");
    return UdpSocket(fd, true);
}

UdpSocket UdpSocket::Loopback(const char* host)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        Fail("socket");
    sockaddr_in lo = Address(host, 0);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&lo), sizeof lo) < 0)
        Fail("bind loopback");
    return UdpSocket(fd, false);
}

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_), observer_(other.observer_)
{
    other.fd_ = -1;
}

UdpSocket::~UdpSocket()
{
    if (fd_ >= 0)
        ::close(fd_);
}

uint16_t UdpSocket::Port() const
{
    sockaddr_in a;
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

void UdpSocket::SendToGroup(const std::string& data) const
{
    sockaddr_in to = Address(kGroup, 3702);
    if (::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
        Fail("sendto group");
}

void UdpSocket::SendTo(uint16_t port, const std::string& data) const
{
    sockaddr_in to = Address("127.0.0.1", port);
    if (::sendto(fd_, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
        Fail("sendto");
}

std::vector<Datagram> UdpSocket::CollectUntilSentinel() const
{
    const std::string sentinel = "corvane-test-sentinel " + NewMessageId();
    sockaddr_in own;
    socklen_t ownLength = sizeof own;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&own), &ownLength);
    char host[INET_ADDRSTRLEN] = "127.0.0.1";
    if (!observer_)
        ::inet_ntop(AF_INET, &own.sin_addr, host, sizeof host);
    UdpSocket helper = Loopback(host);
    if (observer_)
        helper.SendToGroup(sentinel);
    else if (::sendto(helper.fd_, sentinel.data(), sentinel.size(), 0, reinterpret_cast<sockaddr*>(&own), ownLength) < 0)
        Fail("sendto sentinel");
    std::vector<Datagram> seen;
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, kWaitMs);
        if (ready <= 0)
            throw std::runtime_error("sentinel did not arrive");
        char buffer[65536];
        sockaddr_in from;
        socklen_t len = sizeof from;
        const ssize_t n = ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            Fail("recvfrom");
        Datagram d;
        d.data.assign(buffer, static_cast<size_t>(n));
        d.fromPort = ntohs(from.sin_port);
        if (d.data == sentinel)
            return seen;
        if (d.data.compare(0, 22, "corvane-test-sentinel ") != 0)
            seen.push_back(d);
    }
}

std::string NewMessageId()
{
    const std::string braced = velmora::Utilities::uuidString();
    return "urn:uuid:" + braced.substr(1, braced.size() - 2);
}

std::string WexNamespace()
{
    return CORVANE_WEX_NAMESPACE;
}

std::string ProbeMessage(const ProbeSpec& spec)
{
    const std::string body = spec.withTypes ? "<d:Probe><d:Types>" + spec.types + "</d:Types></d:Probe>" : "<d:Probe/>";
    return Envelope(spec.extraNamespaces, Header("Probe", spec.messageId, spec.replyTo), body);
}

std::string ResolveMessage(const std::string& messageId, const std::string& address)
{
    return Envelope("", Header("Resolve", messageId, ""),
                    "<d:Resolve><a:EndpointReference><a:Address>" + address +
                        "</a:Address></a:EndpointReference></d:Resolve>");
}

std::string ForeignMessage(const std::string& action, const std::string& body)
{
    return Envelope("", Header(action, NewMessageId(), "") +
                            "<d:AppSequence InstanceId=\"5\" SequenceId=\"urn:uuid:foreign\" MessageNumber=\"9\"/>",
                    body);
}

WsddMessage Parse(const std::string& xml)
{
    WsddMessage m;
    m.action = Element(xml, "Action");
    m.messageId = Element(xml, "MessageID");
    m.relatesTo = Element(xml, "RelatesTo");
    m.to = Element(xml, "To");
    m.address = Element(xml, "Address");
    m.types = Element(xml, "Types");
    m.xaddrs = Element(xml, "XAddrs");
    m.metadataVersion = Element(xml, "MetadataVersion");
    m.instanceId = Attribute(xml, "InstanceId");
    m.sequenceId = Attribute(xml, "SequenceId");
    m.messageNumber = Attribute(xml, "MessageNumber");
    const std::string match = "<wsdd:ProbeMatch>";
    for (size_t at = xml.find(match); at != std::string::npos; at = xml.find(match, at + 1))
        ++m.probeMatches;
    const std::string end = "</SOAP-ENV:Envelope>";
    std::string trimmed = xml;
    while (!trimmed.empty() && (trimmed.back() == '\n' || trimmed.back() == '\r' || trimmed.back() == ' '))
        trimmed.pop_back();
    m.complete = trimmed.compare(0, 5, "<?xml") == 0 && trimmed.size() >= end.size() &&
                 trimmed.compare(trimmed.size() - end.size(), end.size(), end) == 0;
    return m;
}

bool IsAction(const WsddMessage& message, const char* name)
{
    return message.action == std::string("http://docs.oasis-open.org/ws-dd/ns/discovery/2009/01/") + name;
}

std::string TestPort()
{
    return std::to_string(20000 + ::getpid() % 30000);
}

void UseConfig(const std::string& port, const std::string& mcastIf)
{
    const std::string path = std::string(CORVANE_BINARY_DIR) + "/discovery-test-" + std::to_string(::getpid()) + ".ini";
    std::ofstream out(path, std::ios::trunc);
    out << "[backend]\n";
    if (!port.empty())
        out << "port = " << port << "\n";
    out << "[global]\nmcast_if = " << mcastIf << "\n";
    out.close();
    const bool parsed = CorvaneConfig::GetInstance()->ParseConfig(path);
    ::unlink(path.c_str());
    if (!parsed)
        throw std::runtime_error("cannot parse test configuration " + path);
}

void WriteIdentity(const std::string* content)
{
    ::unlink(kIdentityPath);
    if (content == nullptr)
        return;
    std::ofstream out(kIdentityPath, std::ios::binary | std::ios::trunc);
    out.write(content->data(), static_cast<std::streamsize>(content->size()));
    if (!out)
        throw std::runtime_error(std::string("cannot write ") + kIdentityPath);
}

bool ReadIdentity(std::string& content)
{
    std::ifstream in(kIdentityPath, std::ios::binary);
    if (!in)
        return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

ProcessLock::ProcessLock()
{
    const std::string path = std::string(CORVANE_BINARY_DIR) + "/discovery-tests.lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0 || ::flock(fd_, LOCK_EX) < 0)
        Fail("lock " + path);
}

ProcessLock::~ProcessLock()
{
    ::close(fd_);
}

void InstallSigtermCounter()
{
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = CountSigterm;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
}

int SigtermCount()
{
    return gSigterms.load();
}

void ResetSigtermCount()
{
    gSigterms.store(0);
}

std::string RunInChild(const std::function<std::string()>& body)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) < 0)
        return "pipe failed";
    const pid_t pid = ::fork();
    if (pid < 0)
        return "fork failed";
    if (pid == 0) {
        ::close(pipeFds[0]);
        std::string result;
        try {
            result = body();
        } catch (const std::exception& e) {
            result = std::string("exception in child: ") + e.what();
        }
        if (!result.empty()) {
            ssize_t ignored = ::write(pipeFds[1], result.data(), result.size());
            (void)ignored;
        }
        ::_exit(result.empty() ? 0 : 1);
    }
    ::close(pipeFds[1]);
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            text.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFSIGNALED(status))
        return "child killed by signal " + std::to_string(WTERMSIG(status)) + " " + text;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return text.empty() ? "child failed" : text;
    return std::string();
}

std::string Shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    if (status != 0)
        return "command failed (" + std::to_string(status) + "): " + command;
    return std::string();
}

std::string EnterPrivateNetwork(bool groupRoute, bool defaultRoute)
{
    if (::unshare(CLONE_NEWNET) < 0)
        return std::string("unshare(CLONE_NEWNET): ") + std::strerror(errno);
    std::string command = "ip link set lo up && ip link set lo multicast on";
    if (groupRoute)
        command += " && ip route add 224.0.0.0/4 dev lo";
    if (defaultRoute)
        command += " && ip route add default dev lo";
    return Shell(command);
}

} // namespace wsddtest
