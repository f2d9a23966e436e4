// Four IPv4 address bytes in network order (most significant first).
// A plain value; no owner, no shared state.
#pragma once

namespace velmora {
namespace network {

struct IPv4 {
    unsigned char bytes[4];
};

} // namespace network
} // namespace velmora
