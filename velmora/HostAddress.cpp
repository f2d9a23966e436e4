#include "velmora/HostAddress.h"

#include "velmora/SocketInit.h"
#include "velmora/Utilities.h"
#include "velmora/VmciDevice.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace velmora {
namespace network {

namespace {

unsigned char lowByteOf(std::string const& text)
{
    return static_cast<unsigned char>(std::strtol(text.c_str(), nullptr, 10) & 0xFF);
}

} // namespace

HostAddress::HostAddress() : isIPv6(0), family(0), isVmci(0), vmciContext(0), port(0), address{} {}

HostAddress::HostAddress(IPv4 const& ip, unsigned short port_)
    : isIPv6(0), family(AF_INET), isVmci(0), vmciContext(0), port(port_), address{}
{
    std::memcpy(address, ip.bytes, sizeof ip.bytes);
}

HostAddress::HostAddress(IPv6 const& ip, unsigned short port_)
    : isIPv6(1), family(AF_INET6), isVmci(0), vmciContext(0), port(port_), address{}
{
    std::memcpy(address, ip.bytes, sizeof ip.bytes);
}

HostAddress::HostAddress(std::string const& text, unsigned short port_, unsigned int context)
    : isIPv6(0), family(0), isVmci(context != 0), vmciContext(context), port(port_), address{}
{
    if (context != 0) {
        family = VmciDevice::AddressFamily();
        return;
    }
    // IPv6 text is not parsed.
    if (text.find(':') != std::string::npos)
        return;
    std::string::size_type start = 0;
    int dots = 0;
    for (; dots < 3; ++dots) {
        const std::string::size_type dot = text.find('.', start);
        if (dot == std::string::npos)
            break;
        address[dots] = lowByteOf(text.substr(start, dot - start));
        start = dot + 1;
    }
    if (dots == 3)
        address[3] = lowByteOf(text.substr(start));
}

HostAddress::HostAddress(HostAddress const& other, unsigned short port_) : HostAddress(other)
{
    port = port_;
}

bool HostAddress::operator==(HostAddress const& other) const
{
    return isIPv6 == other.isIPv6 && isVmci == other.isVmci && family == other.family
        && vmciContext == other.vmciContext && port == other.port && HasSameIp(other);
}

bool HostAddress::HasSameIp(HostAddress const& other) const
{
    return std::memcmp(address, other.address, sizeof address) == 0;
}

bool HostAddress::IsEmpty() const
{
    for (std::uint8_t byte : address)
        if (byte != 0)
            return false;
    return true;
}

std::uint32_t HostAddress::IPv4ToUInt() const
{
    if (isIPv6 || isVmci)
        return 0;
    return (std::uint32_t(address[0]) << 24) | (std::uint32_t(address[1]) << 16)
        | (std::uint32_t(address[2]) << 8) | std::uint32_t(address[3]);
}

std::string HostAddress::IpToStdString() const
{
    if (isIPv6)
        return std::string();
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", address[0], address[1], address[2], address[3]);
    return text;
}

int HostAddress::CreateFromPosix(HostAddress& out, sockaddr const* sa, int length)
{
    // A length too short for the family field is refused before the field is read.
    if (length < 1 || sa == nullptr || static_cast<size_t>(length) < sizeof(sa_family_t))
        return 0;
    sa_family_t saFamily;
    std::memcpy(&saFamily, reinterpret_cast<char const*>(sa) + offsetof(sockaddr, sa_family), sizeof saFamily);
    std::uint16_t netPort = 0;
    if (saFamily == AF_INET) {
        if (static_cast<size_t>(length) < sizeof(sockaddr_in))
            return 0;
        sockaddr_in in;
        std::memcpy(&in, sa, sizeof in);
        out.isIPv6 = 0;
        std::memcpy(out.address, &in.sin_addr, 4);
        netPort = in.sin_port;
    } else if (saFamily == AF_INET6) {
        if (static_cast<size_t>(length) < sizeof(sockaddr_in6))
            return 0;
        sockaddr_in6 in6;
        std::memcpy(&in6, sa, sizeof in6);
        out.isIPv6 = 1;
        std::memcpy(out.address, &in6.sin6_addr, 16);
        netPort = in6.sin6_port;
    } else {
        return 0;
    }
    out.port = ntohs(netPort);
    return 1;
}

int HostAddress::ResolveName(HostAddress& out, std::wstring const& name, unsigned short port,
                             Protocol::eProtocol protocol)
{
    out = HostAddress();
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    switch (protocol) {
    case Protocol::eInvalid:
        break;
    case Protocol::eTcp:
        hints.ai_socktype = SOCK_STREAM;
        hints.ai_protocol = IPPROTO_TCP;
        break;
    case Protocol::eUdp:
        hints.ai_socktype = SOCK_DGRAM;
        hints.ai_protocol = IPPROTO_UDP;
        break;
    default:
        return 0;
    }
    SocketInit init;
    const std::string host = Utilities::convertWideToUtf8String(name);
    const std::string service = std::to_string(port);
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), &hints, &list) != 0 || list == nullptr)
        return 0;
    addrinfo const* chosen = list;
    for (addrinfo const* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET) {
            chosen = entry;
            break;
        }
    }
    const int result = CreateFromPosix(out, chosen->ai_addr, static_cast<int>(chosen->ai_addrlen));
    freeaddrinfo(list);
    return result;
}

} // namespace network
} // namespace velmora
