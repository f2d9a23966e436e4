// Socket-layer initialiser held while sockets or resolvers are used; nothing to do on Linux.
// Any thread may create one; it has no state.
#pragma once

namespace velmora {
namespace network {

class SocketInit {
public:
    SocketInit();
    ~SocketInit();
    SocketInit(SocketInit const&) = delete;
    SocketInit& operator=(SocketInit const&) = delete;
};

} // namespace network
} // namespace velmora
