// Test peers of the discovery service: UDP sockets on loopback and the multicast group,
// WS-Discovery messages as a client writes them, a parser for what the service sends, the
// configuration and identity file the service reads, and forked children for private
// namespaces. Single-threaded use by one test at a time (a file lock serialises processes).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace wsddtest {

extern const char* const kIdentityPath;
extern const char* const kServiceType;

// One datagram with its sender's port.
struct Datagram {
    std::string data;
    uint16_t fromPort = 0;
};

class UdpSocket {
public:
    // Bound to any address at port 3702 and joined to 239.255.255.250: sees every Hello/Bye.
    static UdpSocket GroupObserver();
    // Bound to a loopback address at a free port.
    static UdpSocket Loopback(const char* host = "127.0.0.1");

    UdpSocket(UdpSocket&& other) noexcept;
    UdpSocket& operator=(UdpSocket&&) = delete;
    ~UdpSocket();

    uint16_t Port() const;
    int Fd() const { return fd_; }
    void SendToGroup(const std::string& data) const;
    void SendTo(uint16_t port, const std::string& data) const;
    // Every datagram that arrives before a fresh sentinel sent to this socket (through the
    // group for an observer), the sentinel itself excluded.
    std::vector<Datagram> CollectUntilSentinel() const;

private:
    explicit UdpSocket(int fd, bool observer) : fd_(fd), observer_(observer) {}
    int fd_;
    bool observer_;
};

// A WS-Discovery message as a client or another device writes it.
struct ProbeSpec {
    std::string messageId;
    bool withTypes = true;
    std::string types = kServiceType;
    std::string extraNamespaces;  // further xmlns declarations on the envelope
    std::string replyTo;          // empty: no ReplyTo header
};
std::string ProbeMessage(const ProbeSpec& spec);
std::string ResolveMessage(const std::string& messageId, const std::string& address);
// Any other action with the given body, as a foreign device sends it.
std::string ForeignMessage(const std::string& action, const std::string& body);
std::string NewMessageId();
std::string WexNamespace();

// The parts of a message that the tests look at; empty where absent.
struct WsddMessage {
    std::string action, messageId, relatesTo, to;
    std::string address, types, xaddrs, metadataVersion;
    std::string instanceId, sequenceId, messageNumber;
    int probeMatches = 0;
    bool complete = false;  // ends with the closing envelope tag
};
WsddMessage Parse(const std::string& xml);
bool IsAction(const WsddMessage& message, const char* name);  // "Hello", "Bye", ...

// Writes and parses a configuration with this port and multicast interface; port empty
// leaves the key out.
void UseConfig(const std::string& port, const std::string& mcastIf);
std::string TestPort();

// The identity file: absent when content is null.
void WriteIdentity(const std::string* content);
bool ReadIdentity(std::string& content);

// Serialises the discovery tests of all processes that share the network namespace.
class ProcessLock {
public:
    ProcessLock();
    ~ProcessLock();
    ProcessLock(const ProcessLock&) = delete;
    ProcessLock& operator=(const ProcessLock&) = delete;

private:
    int fd_;
};

// SIGTERM counter installed for the tests: a SIGTERM the service raised would be counted
// instead of ending the test program.
void InstallSigtermCounter();
int SigtermCount();
void ResetSigtermCount();

// Runs body in a forked child and returns its failure text ("" on success). The child may
// enter namespaces of its own; nothing it does reaches the test process.
std::string RunInChild(const std::function<std::string()>& body);
// In a child: a private network namespace with lo up and the listed routes.
std::string EnterPrivateNetwork(bool groupRoute, bool defaultRoute);
// Runs a shell command; "" on success, else a failure text.
std::string Shell(const std::string& command);

} // namespace wsddtest
