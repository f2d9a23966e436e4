// The network scope of the utility library: host addresses, protocol names, the host name.
// Stateless apart from the process-wide VMCI device; callable from any thread.
#pragma once

#include "velmora/HostAddress.h"
#include "velmora/IPv4.h"
#include "velmora/IPv6.h"
#include "velmora/Protocol.h"
#include "velmora/SocketInit.h"

#include <string>

namespace velmora {
namespace network {

// The machine's host name; empty on failure.
std::wstring LocalHostName();

} // namespace network
} // namespace velmora
