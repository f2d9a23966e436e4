#include "discovery/WsddTargetService.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "wsddapi.h"

#include "core/CorvaneConfig.h"
#include "core/Logger.h"
#include "core/ReplaceFile.h"
#include "discovery/ProcFiles.h"
#include "discovery/WsddTargetServiceConstructionException.h"
#include "velmora/Utilities.h"

namespace {

const char* const kGroupAddress = "239.255.255.250";
const int kGroupPort = 3702;
const char* const kServiceType = "wex:CorvaneBackend_3";
const char* const kIdentityPath = "/var/lib/corvane/corvaned_uuid";
// The most of the identity file that is read: the identifier with plenty of white space around
// it. Anything longer holds something else.
const size_t kMaxIdentityFileBytes = 1024;
const char* const kProbeMatchesAction = SOAP_NAMESPACE_OF_wsdd "/ProbeMatches";
const char* const kResolveMatchesAction = SOAP_NAMESPACE_OF_wsdd "/ResolveMatches";

void Log(Logger::eLogLevel level, const std::string& text)
{
    Logger::GetInstance()->Log(level, text);
}

// SIOCGIFADDR for the name cut to 15 characters; false when the interface has no IPv4
// address or the request fails.
bool InterfaceAddress(int fd, const std::string& name, uint32_t& address)
{
    struct ifreq request;
    std::memset(&request, 0, sizeof request);
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    request.ifr_name[IFNAMSIZ - 1] = '\0';
    request.ifr_addr.sa_family = AF_INET;
    if (::ioctl(fd, SIOCGIFADDR, &request) < 0)
        return false;
    struct sockaddr_in in;
    std::memcpy(&in, &request.ifr_addr, sizeof in);
    address = in.sin_addr.s_addr;
    return true;
}

// The whole text matches ^urn:uuid:[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$
// without regard to letter case. Embedded NUL bytes count as characters, so they never match.
bool IsIdentityText(const std::string& text)
{
    static const char kPrefix[] = "urn:uuid:";
    const size_t prefixLength = sizeof kPrefix - 1;
    if (text.size() != prefixLength + 36)
        return false;
    for (size_t i = 0; i < prefixLength; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != kPrefix[i])
            return false;
    for (size_t i = 0; i < 36; ++i) {
        const char ch = text[prefixLength + i];
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? ch != '-' : !std::isxdigit(static_cast<unsigned char>(ch)))
            return false;
    }
    return true;
}

std::string FallbackWarning(const std::string& name)
{
    return "Could not get address of interface " + name + ": using 127.0.0.1 instead!";
}

} // namespace

std::string trim_whitespace(const char* text)
{
    return text == nullptr ? std::string() : trim_whitespace(std::string(text));
}

std::string trim_whitespace(const std::string& s)
{
    static const char* const kWhitespace = " \t\n\v\f\r";
    const std::string::size_type first = s.find_first_not_of(kWhitespace);
    if (first == std::string::npos)
        return std::string();
    const std::string::size_type last = s.find_last_not_of(kWhitespace);
    return s.substr(first, last - first + 1);
}

WsddTargetService::WsddTargetService()
{
    MetaDataVersion_ = static_cast<uint32_t>(std::time(nullptr));
    type_ = kServiceType;
    endPoint_ = std::string("soap.udp://") + kGroupAddress + ":" + std::to_string(kGroupPort);

    listener_.reset(soap_new1(SOAP_IO_UDP | SOAP_C_UTFSTRING));
    if (!listener_)
        throw WsddTargetServiceConstructionException(std::string("Could not bind to ") + kGroupAddress + ":" +
                                                     std::to_string(kGroupPort) + " - bailing out!");
    // Without the WS-Addressing plug-in the answers would carry the request's own header.
    soap_register_plugin(listener_.get(), soap_wsa);
    listener_->user = this;
    listener_->bind_flags = SO_REUSEADDR;
    if (!soap_valid_socket(soap_bind(listener_.get(), kGroupAddress, kGroupPort, 100)))
        throw WsddTargetServiceConstructionException(std::string("Could not bind to ") + kGroupAddress + ":" +
                                                     std::to_string(kGroupPort) + " - bailing out!");
    CorvaneSoap::SetCloseOnExec(listener_->master);
    listenerSend_ = listener_->fsend;
    listener_->fsend = &WsddTargetService::GatedSend;
    listenerRecv_ = listener_->frecv;
    listener_->frecv = &WsddTargetService::ResettingRecv;

    struct ip_mreqn membership;
    std::memset(&membership, 0, sizeof membership);
    membership.imr_multiaddr.s_addr = ::inet_addr(kGroupAddress);
    membership.imr_address.s_addr = htonl(INADDR_ANY);
    membership.imr_ifindex = 0;

    if (CorvaneConfig::GetInstance()->GetConfigValue("global.mcast_if", interfaceName_) && !interfaceName_.empty()) {
        membership.imr_ifindex = static_cast<int>(::if_nametoindex(interfaceName_.c_str()));
        if (membership.imr_ifindex == 0)
            Log(Logger::eWarn, "Could not find interface '" + interfaceName_ +
                                   "'! Trying default route now - you may want to correct or disable the "
                                   "'global.mcast_if' config option...");
    }

    if (::setsockopt(listener_->master, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) < 0)
        throw WsddTargetServiceConstructionException(
            "Could not join multicast group - no default route set or wrong interface? Bailing out!");

    sender_.reset(soap_new1(SOAP_C_UTFSTRING));
    if (!sender_)
        throw WsddTargetServiceConstructionException("Could not create the WS-Discovery sender");
    sender_->send_timeout = 1;
    sender_->connect_flags = SO_BROADCAST;
    sender_->user = this;
    senderOpen_ = sender_->fopen;
    sender_->fopen = &WsddTargetService::CloseOnExecOpen;

    UpdateLocalIP();

    LoadOrCreateIdentity();

    soap_wsdd_set_InstanceId(GetBootTime());
    const std::string sequenceId = GenUUID();
    soap_wsdd_set_SequenceId(sequenceId.c_str());

    std::srand(static_cast<unsigned int>(std::time(nullptr)));
    ::usleep(static_cast<useconds_t>(std::rand() % 500) * 1000);

    SendHello();
}

WsddTargetService::~WsddTargetService()
{
    SendBye();
    listener_.reset();
    sender_.reset();
}

int WsddTargetService::GetServerFd()
{
    return listener_->master;
}

int WsddTargetService::Dispatch(int maxDatagrams)
{
    // soap_wsdd_listen serves until no datagram comes within its time-out, which a flood
    // never lets happen; this is its loop with a bound on the number of datagrams.
    soap* listener = listener_.get();
    listener->accept_timeout = listener->recv_timeout = listener->send_timeout = -1;
    int result = SOAP_OK;
    for (int served = 0; served < maxDatagrams; ++served) {
        replyPermitted_ = false;
        if (!soap_valid_socket(soap_accept(listener)) || soap_begin_serve(listener)) {
            // errnum 0: nothing more is waiting.
            result = listener->errnum == 0 ? SOAP_OK : listener->error;
            break;
        }
        listener->keep_alive = 0;
        if (soap_wsdd_serve_request(listener) && listener->errnum != 0) {
            result = soap_send_fault(listener);
            soap_destroy(listener);
            soap_end(listener);
            break;
        }
        soap_destroy(listener);
        soap_end(listener);
    }
    replyPermitted_ = false;
    soap_destroy(listener);
    soap_end(listener);
    return result;
}

void WsddTargetService::SendHello()
{
    std::lock_guard<std::mutex> lock(mutex_);
    UpdateLocalIP();
    soap* sender = sender_.get();
    const int result = soap_wsdd_Hello(sender, SOAP_WSDD_ADHOC, endPoint_.c_str(), soap_wsa_rand_uuid(sender),
                                       nullptr, uuidString_.c_str(), type_.c_str(), nullptr, nullptr,
                                       XAddrs_.c_str(), MetaDataVersion_);
    if (result != 0)
        CorvaneSoap::LogSoapFault(sender);
    // Each message's data lives in the context; release it so repeated Hellos do not pile up.
    soap_destroy(sender);
    soap_end(sender);
}

void WsddTargetService::SendBye()
{
    std::lock_guard<std::mutex> lock(mutex_);
    UpdateLocalIP();
    soap* sender = sender_.get();
    const int result = soap_wsdd_Bye(sender, SOAP_WSDD_ADHOC, endPoint_.c_str(), soap_wsa_rand_uuid(sender),
                                     uuidString_.c_str(), type_.c_str(), nullptr, nullptr, XAddrs_.c_str(),
                                     MetaDataVersion_);
    if (result != 0)
        CorvaneSoap::LogSoapFault(sender);
    soap_destroy(sender);
    soap_end(sender);
}

std::string WsddTargetService::GenUUID()
{
    const std::string braced = velmora::Utilities::uuidString();
    const std::string bare = braced.size() >= 2 ? braced.substr(1, braced.size() - 2) : braced;
    return "urn:uuid:" + bare;
}

uint32_t WsddTargetService::GetBootTime()
{
    return discovery::ReadBootTime("/proc/stat");
}

void WsddTargetService::UpdateLocalIP()
{
    const unsigned int index = ::if_nametoindex(interfaceName_.c_str());
    const int fd = listener_->master;
    uint32_t address = 0;
    if (index != 0) {
        if (!InterfaceAddress(fd, interfaceName_, address)) {
            Log(Logger::eWarn, FallbackWarning(interfaceName_));
            address = htonl(INADDR_LOOPBACK);
        }
    } else {
        std::string routeInterface;
        if (discovery::FindDefaultRouteInterface("/proc/net/route", routeInterface) &&
            !InterfaceAddress(fd, routeInterface, address)) {
            Log(Logger::eWarn, FallbackWarning(routeInterface));
            address = htonl(INADDR_LOOPBACK);
        }
    }

    if (!addressKnown_ || address != currentAddress_) {
        addressKnown_ = true;
        currentAddress_ = address;
        MetaDataVersion_ = static_cast<uint32_t>(std::time(nullptr));
        if (index != 0)
            sender_->ipv4_multicast_if = reinterpret_cast<char*>(&currentAddress_);
    }

    std::string port;
    CorvaneConfig::GetInstance()->GetConfigValue("port", port);
    char dotted[INET_ADDRSTRLEN] = "";
    struct in_addr in;
    in.s_addr = currentAddress_;
    ::inet_ntop(AF_INET, &in, dotted, sizeof dotted);
    XAddrs_ = std::string("http://") + dotted + ":" + port;
}

void WsddTargetService::LoadOrCreateIdentity()
{
    // No file at all is a first start, nothing to warn about.
    std::string text;
    if (ReadIdentityFile(text)) {
        text = trim_whitespace(text);
        if (IsIdentityText(text)) {
            uuidString_ = text;
            return;
        }
        Log(Logger::eWarn, "wsdd uuid from file is not valid.");
    }

    uuidString_ = GenUUID();
    // Written beside and renamed over the path: a link there is replaced, and whatever file
    // it pointed at is left as it was.
    const int error = ReplaceFile(kIdentityPath, uuidString_, 0644);
    // Announcing an identity that the next start will not find would make every client see a
    // new device each time: the daemon does not start without one it can keep.
    if (error != 0)
        throw WsddTargetServiceConstructionException(std::string("wsdd uuid could not be assigned: ") + kIdentityPath +
                                                     ": " + std::strerror(error));
}

bool WsddTargetService::ReadIdentityFile(std::string& text)
{
    // Non-blocking, so that a FIFO in its place cannot hold the start.
    const int fd = ::open(kIdentityPath, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        if (errno == ENOENT)
            return false;
        throw WsddTargetServiceConstructionException(std::string("wsdd uuid could not be read: ") + kIdentityPath +
                                                     ": " + std::strerror(errno));
    }
    struct stat st;
    std::string failure;
    if (::fstat(fd, &st) != 0)
        failure = std::string(": ") + std::strerror(errno);
    else if (!S_ISREG(st.st_mode))
        failure = " is not a regular file";
    char buffer[kMaxIdentityFileBytes + 1];
    size_t size = 0;
    while (failure.empty() && size < sizeof buffer) {
        const ssize_t n = ::read(fd, buffer + size, sizeof buffer - size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            failure = std::string(": ") + std::strerror(errno);
        if (n <= 0)
            break;
        size += static_cast<size_t>(n);
    }
    ::close(fd);
    if (!failure.empty())
        throw WsddTargetServiceConstructionException(std::string("wsdd uuid could not be read: ") + kIdentityPath +
                                                     failure);
    // A file longer than the bound is not an identity file; it is taken as read so far, which
    // is then no valid identifier.
    text.assign(buffer, size);
    return true;
}

int WsddTargetService::GatedSend(soap* context, const char* data, size_t length)
{
    WsddTargetService* self = static_cast<WsddTargetService*>(context->user);
    if (!self->replyPermitted_)
        return SOAP_OK;
    // A reply is one datagram; whatever follows it (a fault after a failed send) is dropped.
    self->replyPermitted_ = false;
    return self->listenerSend_(context, data, length);
}

size_t WsddTargetService::ResettingRecv(soap* context, char* buffer, size_t length)
{
    WsddTargetService* self = static_cast<WsddTargetService*>(context->user);
    self->replyPermitted_ = false;
    return self->listenerRecv_(context, buffer, length);
}

int WsddTargetService::CloseOnExecOpen(soap* context, const char* endpoint, const char* host, int port)
{
    WsddTargetService* self = static_cast<WsddTargetService*>(context->user);
    const int fd = self->senderOpen_(context, endpoint, host, port);
    CorvaneSoap::SetCloseOnExec(fd);
    return fd;
}

struct WsddTargetServiceAccess {
    static soap_wsdd_mode Probe(soap* context, const char* MessageID, const char* Types,
                                wsdd__ProbeMatchesType* matches)
    {
        WsddTargetService* self = static_cast<WsddTargetService*>(context->user);
        if (self == nullptr || trim_whitespace(Types) != self->type_)
            return SOAP_WSDD_ADHOC;

        std::lock_guard<std::mutex> lock(self->mutex_);
        self->UpdateLocalIP();
        // The plug-in's reply header relates to the MessageID set here and goes to the
        // anonymous address; soap_wsa_request also drops the request's ReplyTo and From, so
        // the answer only ever goes back to the datagram's sender.
        const std::string relatesTo = trim_whitespace(MessageID);
        soap_wsa_request(context, relatesTo.c_str(), nullptr, kProbeMatchesAction);
        soap_wsdd_init_ProbeMatches(context, matches);
        // The plug-in keeps the pointers until the reply is written, after the lock is
        // released: hand it copies owned by the request.
        soap_wsdd_add_ProbeMatch(context, matches, soap_strdup(context, self->uuidString_.c_str()),
                                 soap_strdup(context, self->type_.c_str()), nullptr, nullptr,
                                 soap_strdup(context, self->XAddrs_.c_str()), self->MetaDataVersion_);
        self->replyPermitted_ = true;
        return SOAP_WSDD_MANAGED;
    }

    static soap_wsdd_mode Resolve(soap* context, const char* MessageID, const char* EndpointReference,
                                  wsdd__ResolveMatchType* match)
    {
        WsddTargetService* self = static_cast<WsddTargetService*>(context->user);
        if (self == nullptr || trim_whitespace(EndpointReference) != self->uuidString_)
            return SOAP_WSDD_ADHOC;

        std::lock_guard<std::mutex> lock(self->mutex_);
        self->UpdateLocalIP();
        const std::string relatesTo = trim_whitespace(MessageID);
        soap_wsa_request(context, relatesTo.c_str(), nullptr, kResolveMatchesAction);
        match->MetadataVersion = self->MetaDataVersion_;
        match->Types = soap_strdup(context, self->type_.c_str());
        match->XAddrs = soap_strdup(context, self->XAddrs_.c_str());
        match->wsa5__EndpointReference.Address = soap_strdup(context, self->uuidString_.c_str());
        match->Scopes = nullptr;
        self->replyPermitted_ = true;
        return SOAP_WSDD_MANAGED;
    }
};

soap_wsdd_mode wsdd_event_Probe(struct soap* soap, const char* MessageID, const char* ReplyTo, const char* Types,
                                const char* Scopes, const char* MatchBy, struct wsdd__ProbeMatchesType* matches)
{
    (void)ReplyTo;
    (void)Scopes;
    (void)MatchBy;
    Log(Logger::eTrace, "wsdd_event_Probe() called");
    return WsddTargetServiceAccess::Probe(soap, MessageID, Types, matches);
}

soap_wsdd_mode wsdd_event_Resolve(struct soap* soap, const char* MessageID, const char* ReplyTo,
                                  const char* EndpointReference, struct wsdd__ResolveMatchType* match)
{
    (void)ReplyTo;
    Log(Logger::eTrace, "wsdd_event_Resolve() called");
    return WsddTargetServiceAccess::Resolve(soap, MessageID, EndpointReference, match);
}

void wsdd_event_Hello(struct soap*, unsigned int, const char*, unsigned int, const char*, const char*, const char*,
                      const char*, const char*, const char*, const char*, unsigned int)
{
    Log(Logger::eTrace, "wsdd_event_Hello() called");
}

void wsdd_event_Bye(struct soap*, unsigned int, const char*, unsigned int, const char*, const char*, const char*,
                    const char*, const char*, const char*, const char*, unsigned int*)
{
    Log(Logger::eTrace, "wsdd_event_Bye() called");
}

void wsdd_event_ProbeMatches(struct soap*, unsigned int, const char*, unsigned int, const char*, const char*,
                             struct wsdd__ProbeMatchesType*)
{
    Log(Logger::eTrace, "wsdd_event_ProbeMatches() called");
}

void wsdd_event_ResolveMatches(struct soap*, unsigned int, const char*, unsigned int, const char*, const char*,
                               struct wsdd__ResolveMatchType*)
{
    Log(Logger::eTrace, "wsdd_event_ResolveMatches() called");
}
