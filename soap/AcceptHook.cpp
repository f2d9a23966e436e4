#include "soap/AcceptHook.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "soap/SoapContext.h"
#include "stdsoap2.h"

namespace {

thread_local AcceptHook::Turn* t_turn = nullptr;

}  // namespace

AcceptHook::AcceptHook(struct soap* listener) : ctx_(listener), runtimeAccept_(listener->faccept)
{
    const int fd = listener->master;
    CorvaneSoap::SetCloseOnExec(fd);
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags >= 0)
        ::fcntl(fd, F_SETFL, statusFlags | O_NONBLOCK);
    boundSndbuf_ = listener->sndbuf;
    boundRcvbuf_ = listener->rcvbuf;
    listener->faccept = &Accept;
}

AcceptHook::~AcceptHook()
{
    ctx_->faccept = runtimeAccept_;
}

AcceptHook::Turn::Turn(AcceptHook& hook)
    : hook_(hook), acceptTimeout_(hook.ctx_->accept_timeout), sndbuf_(hook.ctx_->sndbuf), rcvbuf_(hook.ctx_->rcvbuf)
{
    struct soap* ctx = hook.ctx_;
    // select has just seen a connection queued: nothing to wait for.
    ctx->accept_timeout = 0;
    // The connection inherits the buffer sizes the listener was bound with.
    if (ctx->sndbuf == hook.boundSndbuf_)
        ctx->sndbuf = 0;
    if (ctx->rcvbuf == hook.boundRcvbuf_)
        ctx->rcvbuf = 0;
    t_turn = this;
}

AcceptHook::Turn::~Turn()
{
    struct soap* ctx = hook_.ctx_;
    ctx->accept_timeout = acceptTimeout_;
    ctx->sndbuf = sndbuf_;
    ctx->rcvbuf = rcvbuf_;
    t_turn = nullptr;
}

int AcceptHook::Accept(struct soap* ctx, int listener, struct sockaddr* address, int* length)
{
    // What soap_accept makes of the socket next.
    const bool nonBlocking = ctx->send_timeout != 0 || ctx->recv_timeout != 0;
    socklen_t size = static_cast<socklen_t>(*length);
    const int fd = ::accept4(listener, address, &size, SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0));
    *length = static_cast<int>(size);
    Turn* turn = t_turn;
    if (!turn || turn->hook_.ctx_ != ctx)
        return fd;
    if (fd < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Nothing was queued after all: soap_accept tries again, this time after waiting with
        // the context's own accept time-out, which reports running out as before.
        ctx->accept_timeout = turn->acceptTimeout_;
    }
    return fd;
}
