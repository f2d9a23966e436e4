// An IPv4 or IPv6 address with a port, or a VMCI socket endpoint; a plain copyable value.
// No shared state of its own; a VMCI endpoint asks the process-wide VmciDevice for its family.
#pragma once

#include "velmora/IPv4.h"
#include "velmora/IPv6.h"
#include "velmora/Protocol.h"

#include <cstdint>
#include <string>

struct sockaddr;

namespace velmora {
namespace network {

class HostAddress {
public:
    HostAddress();
    HostAddress(IPv4 const& ip, unsigned short port);
    HostAddress(IPv6 const& ip, unsigned short port);
    // context != 0 makes a VMCI endpoint and ignores the text; otherwise dotted decimal is
    // read and a text with a colon leaves the address empty.
    HostAddress(std::string const& text, unsigned short port, unsigned int context);
    HostAddress(HostAddress const& other) = default;
    HostAddress(HostAddress const& other, unsigned short port);
    HostAddress& operator=(HostAddress const& other) = default;

    bool operator==(HostAddress const& other) const;
    bool HasSameIp(HostAddress const& other) const;
    bool IsEmpty() const;
    std::uint32_t IPv4ToUInt() const;
    std::string IpToStdString() const;

    // 1 on success, 0 otherwise; family, isVmci and vmciContext of `out` stay as they were.
    static int CreateFromPosix(HostAddress& out, sockaddr const* address, int length);
    // 1 on success, 0 otherwise; `out` is reset first. Prefers an IPv4 answer.
    static int ResolveName(HostAddress& out, std::wstring const& name, unsigned short port,
                           Protocol::eProtocol protocol);

    std::uint8_t isIPv6;
    std::uint16_t family;
    std::uint8_t isVmci;
    std::uint32_t vmciContext;
    std::uint16_t port;
    std::uint8_t address[16];
};

} // namespace network
} // namespace velmora
