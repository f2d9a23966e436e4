#include "velmora/NetworkCommon.h"

#include "velmora/Utilities.h"

#include <unistd.h>

namespace velmora {
namespace network {

namespace {

// Held for the whole life of the program, as the socket layer wants on other platforms.
SocketInit const gProgramSocketInit;

} // namespace

SocketInit::SocketInit() = default;
SocketInit::~SocketInit() = default;

std::string Protocol::ToStdString(eProtocol protocol)
{
    switch (protocol) {
    case eInvalid:
        return "invalid";
    case eTcp:
        return "tcp";
    case eUdp:
        return "udp";
    case eSdp:
        return "sdp";
    case eVmci:
        return "vmci";
    }
    return "forgotten to implement in Protocol::ToStdString()";
}

Protocol::eProtocol Protocol::FromStdString(std::string const& name)
{
    if (name == "tcp")
        return eTcp;
    if (name == "sdp")
        return eSdp;
    if (name == "udp")
        return eUdp;
    if (name == "vmci")
        return eVmci;
    return eInvalid;
}

std::wstring LocalHostName()
{
    SocketInit init;
    char buffer[1024] = {};
    // One byte held back so the name is always terminated.
    if (gethostname(buffer, sizeof buffer - 1) != 0)
        return std::wstring();
    return Utilities::convertUtf8ToWideString(buffer, 0);
}

} // namespace network
} // namespace velmora
