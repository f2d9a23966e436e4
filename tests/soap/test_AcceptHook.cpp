// The listening context's accept hook, on real gSOAP contexts and real loopback sockets: the
// connection soap_accept hands over has the state the runtime alone gives it, is close-on-exec
// from the start, and the context is as it was once the turn ends.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "common/Http.h"
#include "soap/AcceptHook.h"
#include "stdsoap2.h"

using corvane_test::ConnectLoopback;
using corvane_test::SendAll;

namespace {

struct SocketState {
    int sndbuf = -1;
    int rcvbuf = -1;
    int noDelay = -1;
    bool nonBlocking = false;

    bool operator==(const SocketState& o) const
    {
        return sndbuf == o.sndbuf && rcvbuf == o.rcvbuf && noDelay == o.noDelay && nonBlocking == o.nonBlocking;
    }
};

std::ostream& operator<<(std::ostream& out, const SocketState& s)
{
    return out << "{SO_SNDBUF " << s.sndbuf << ", SO_RCVBUF " << s.rcvbuf << ", TCP_NODELAY " << s.noDelay
               << ", O_NONBLOCK " << s.nonBlocking << "}";
}

int IntOption(int fd, int level, int name)
{
    int value = -1;
    socklen_t size = sizeof value;
    return getsockopt(fd, level, name, &value, &size) == 0 ? value : -1;
}

SocketState StateOf(int fd)
{
    SocketState s;
    s.sndbuf = IntOption(fd, SOL_SOCKET, SO_SNDBUF);
    s.rcvbuf = IntOption(fd, SOL_SOCKET, SO_RCVBUF);
    s.noDelay = IntOption(fd, IPPROTO_TCP, TCP_NODELAY);
    s.nonBlocking = (fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
    return s;
}

bool CloseOnExec(int fd) { return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

int LocalPort(int fd)
{
    sockaddr_in address = {};
    socklen_t size = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// A listening context set up as the main loop sets up its own, on a free loopback port.
class Listener {
public:
    Listener(int recvTimeout, int sendTimeout, int acceptTimeout) : ctx_(soap_new1(SOAP_C_UTFSTRING))
    {
        ctx_->recv_timeout = recvTimeout;
        ctx_->send_timeout = sendTimeout;
        ctx_->accept_timeout = acceptTimeout;
        ctx_->bind_flags = SO_REUSEADDR;
        if (soap_valid_socket(soap_bind(ctx_, "127.0.0.1", 0, 10)))
            port_ = LocalPort(ctx_->master);
    }
    ~Listener()
    {
        soap_destroy(ctx_);
        soap_end(ctx_);
        soap_free(ctx_);
    }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    struct soap* ctx() { return ctx_; }
    int port() const { return port_; }

private:
    struct soap* ctx_;
    int port_ = -1;
};

// A client connection that has sent a byte, as the deferred accept wants it.
class Client {
public:
    explicit Client(int port) : fd_(ConnectLoopback(port))
    {
        if (fd_ >= 0)
            SendAll(fd_, "P");
    }
    ~Client()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

// Takes the accepted socket out of the context, so the test owns it.
int TakeSocket(struct soap* ctx)
{
    const int fd = ctx->socket;
    ctx->socket = SOAP_INVALID_SOCKET;
    return fd;
}

}  // namespace

// Whatever the time-outs, and with or without a turn, a connection accepted through the hook
// has the buffer sizes, TCP_NODELAY and blocking mode the runtime's own accept gives it, is
// close-on-exec, carries the peer's address, and the context keeps its settings.
TEST(AcceptHook, ConnectionHasTheRuntimesStateAndIsCloseOnExec)
{
    const struct {
        const char* what;
        int recvTimeout;
        int sendTimeout;
        bool turn;
    } cases[] = {
        {"the daemon's time-outs, in a turn", 60, 60, true},
        {"the daemon's time-outs, without a turn", 60, 60, false},
        {"no time-outs (a blocking socket)", 0, 0, true},
        {"only a send time-out", 0, 5, true},
        {"a receive time-out in microseconds", -500000, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Listener plain(c.recvTimeout, c.sendTimeout, 5);
        ASSERT_GT(plain.port(), 0);
        Client first(plain.port());
        ASSERT_TRUE(soap_valid_socket(soap_accept(plain.ctx())));
        const int reference = TakeSocket(plain.ctx());
        const SocketState expected = StateOf(reference);
        close(reference);

        Listener hooked(c.recvTimeout, c.sendTimeout, 5);
        ASSERT_GT(hooked.port(), 0);
        struct soap* ctx = hooked.ctx();
        const int sndbuf = ctx->sndbuf;
        const int rcvbuf = ctx->rcvbuf;
        AcceptHook hook(ctx);
        Client second(hooked.port());
        SOAP_SOCKET accepted;
        if (c.turn) {
            AcceptHook::Turn turn(hook);
            accepted = soap_accept(ctx);
        } else {
            accepted = soap_accept(ctx);
        }
        ASSERT_TRUE(soap_valid_socket(accepted)) << ctx->errnum;
        EXPECT_EQ(StateOf(accepted), expected);
        EXPECT_TRUE(CloseOnExec(accepted));
        EXPECT_EQ(ctx->ip, 0x7F000001u);
        EXPECT_EQ(ctx->port, LocalPort(second.fd()));
        EXPECT_EQ(ctx->accept_timeout, 5);
        EXPECT_EQ(ctx->sndbuf, sndbuf);
        EXPECT_EQ(ctx->rcvbuf, rcvbuf);
        EXPECT_TRUE(CloseOnExec(ctx->master));
        close(TakeSocket(ctx));
    }
}

// When a turn finds nothing queued after all, soap_accept waits with the context's own accept
// time-out, and running out is the failure without a system error that ends the main loop.
TEST(AcceptHook, NothingQueuedRunsOutAsTheAcceptTimeOut)
{
    Listener listener(60, 60, 1);
    ASSERT_GT(listener.port(), 0);
    AcceptHook hook(listener.ctx());
    SOAP_SOCKET accepted;
    {
        AcceptHook::Turn turn(hook);
        accepted = soap_accept(listener.ctx());
    }
    EXPECT_FALSE(soap_valid_socket(accepted));
    EXPECT_EQ(listener.ctx()->errnum, 0);
    EXPECT_EQ(listener.ctx()->accept_timeout, 1);

    // The next connection is accepted as usual.
    Client client(listener.port());
    {
        AcceptHook::Turn turn(hook);
        accepted = soap_accept(listener.ctx());
    }
    ASSERT_TRUE(soap_valid_socket(accepted));
    close(TakeSocket(listener.ctx()));
}

