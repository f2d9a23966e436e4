// WS-Discovery 1.1 target service (ad hoc, UDP multicast): Hello at start and on request,
// Bye at the end, answers to Probe and Resolve for its own type and identity. Owned by the
// core; built, dispatched and destroyed on the main thread, SendHello also from workers.
// One mutex guards the sender context and the announced address, MetaDataVersion, XAddrs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "soap/SoapContext.h"

// The text without leading and trailing blanks, tabs, line ends, vertical tabs and form
// feeds; a null pointer gives the empty text.
std::string trim_whitespace(const char* text);
std::string trim_whitespace(const std::string& text);

class WsddTargetService {
public:
    // Binds and joins 239.255.255.250:3702, settles the identity and sends the first Hello.
    // Throws WsddTargetServiceConstructionException when binding or joining fails, or when the
    // identity file cannot be read or a new identity cannot be stored in it.
    WsddTargetService();
    // Sends the Bye, then releases the listener and the sender.
    virtual ~WsddTargetService();

    WsddTargetService(const WsddTargetService&) = delete;
    WsddTargetService& operator=(const WsddTargetService&) = delete;

    // The listener's socket, for the main loop's select.
    int GetServerFd();
    // Serves the datagrams already waiting on the listener, at most `maxDatagrams` of them, so
    // that a flood cannot keep the caller here; never blocks. Main thread only.
    int Dispatch(int maxDatagrams = 16);
    // Multicast a Hello or a Bye; failures are logged, never thrown. Any thread.
    void SendHello();
    void SendBye();

    const std::string& GetType() const { return type_; }
    const std::string& GetEndPoint() const { return endPoint_; }
    const std::string& GetUuidString() const { return uuidString_; }
    const std::string& GetXAddrs() const { return XAddrs_; }
    uint32_t GetMetaDataVersion() const { return MetaDataVersion_; }

    // A new endpoint identifier: "urn:uuid:" and a fresh UUID text without braces.
    static std::string GenUUID();
    // The host's boot time in seconds since the epoch, 0 when it cannot be read.
    static uint32_t GetBootTime();

private:
    // The callbacks of the WS-Discovery plug-in answer through this, with the service's lock.
    friend struct WsddTargetServiceAccess;

    // Caller holds mutex_ (or is the constructor, before any other thread sees the service).
    void UpdateLocalIP();
    // Keeps the file's identifier, white space around it aside, or stores a new one.
    void LoadOrCreateIdentity();
    // The file's content; false when there is no file. Throws
    // WsddTargetServiceConstructionException when it exists but cannot be read.
    static bool ReadIdentityFile(std::string& text);

    // Only the answers that a callback has filled may leave the listener; everything else
    // the plug-in would send there (SOAP faults for malformed datagrams) is dropped.
    static int GatedSend(soap* context, const char* data, size_t length);
    static size_t ResettingRecv(soap* context, char* buffer, size_t length);
    // The sender opens a socket per message; none may leak into plug-in children.
    static int CloseOnExecOpen(soap* context, const char* endpoint, const char* host, int port);

    CorvaneSoap::SoapContext listener_;
    CorvaneSoap::SoapContext sender_;
    uint32_t MetaDataVersion_ = 0;
    std::string uuidString_;
    std::string endPoint_;
    std::string type_;
    std::string XAddrs_;
    std::string interfaceName_;
    uint32_t currentAddress_ = 0;  // network byte order

    bool addressKnown_ = false;
    std::mutex mutex_;
    bool replyPermitted_ = false;  // main thread only, per datagram
    int (*listenerSend_)(soap*, const char*, size_t) = nullptr;
    size_t (*listenerRecv_)(soap*, char*, size_t) = nullptr;
    int (*senderOpen_)(soap*, const char*, const char*, int) = nullptr;
};
