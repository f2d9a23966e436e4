// Sixteen IPv6 address bytes in network order.
// A plain value; no owner, no shared state.
#pragma once

namespace velmora {
namespace network {

struct IPv6 {
    unsigned char bytes[16];
};

} // namespace network
} // namespace velmora
