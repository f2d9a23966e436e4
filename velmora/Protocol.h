// Names of the transport protocols and their text forms.
// Stateless; callable from any thread.
#pragma once

#include <string>

namespace velmora {
namespace network {

class Protocol {
public:
    enum eProtocol : int { eInvalid = 0, eTcp = 1, eUdp = 2, eSdp = 3, eVmci = 4 };

    static std::string ToStdString(eProtocol protocol);
    // Exact, case-sensitive names; anything else is eInvalid.
    static eProtocol FromStdString(std::string const& name);
};

} // namespace network
} // namespace velmora
