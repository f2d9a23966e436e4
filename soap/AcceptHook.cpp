#include "soap/AcceptHook.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>

#include "stdsoap2.h"

namespace {

// The connection that a turn on this thread has just accepted, and what it has already.
struct Fresh {
    int fd = -1;
    int statusFlags = 0;
    bool noDelay = false;
};

thread_local Fresh t_fresh;
thread_local AcceptHook::Turn* t_turn = nullptr;

using SetsockoptFunction = int (*)(int, int, int, const void*, socklen_t);
using FcntlFunction = int (*)(int, int, ...);

int SetsockoptBySyscall(int fd, int level, int name, const void* value, socklen_t length)
{
    return static_cast<int>(::syscall(SYS_setsockopt, fd, level, name, value, length));
}

int FcntlBySyscall(int fd, int command, ...)
{
    va_list list;
    va_start(list, command);
    void* argument = va_arg(list, void*);
    va_end(list);
    return static_cast<int>(::syscall(SYS_fcntl, fd, command, argument));
}

// The definitions that these below stand in front of: the C library's, or a sanitizer's.
SetsockoptFunction NextSetsockopt()
{
    static const SetsockoptFunction next = [] {
        void* found = ::dlsym(RTLD_NEXT, "setsockopt");
        return found ? reinterpret_cast<SetsockoptFunction>(found) : &SetsockoptBySyscall;
    }();
    return next;
}

FcntlFunction NextFcntl()
{
    static const FcntlFunction next = [] {
        void* found = ::dlsym(RTLD_NEXT, "fcntl");
        return found ? reinterpret_cast<FcntlFunction>(found) : &FcntlBySyscall;
    }();
    return next;
}

}  // namespace

// gSOAP 2.8.124's soap_accept sets TCP_NODELAY and the file-status flags on every accepted
// socket, unconditionally, after the accept hook has returned. Only these two calls, on the
// descriptor the current turn has just accepted, are answered here without the kernel, and
// only when they would leave the socket as it is; every other call passes straight on.
extern "C" int setsockopt(int fd, int level, int name, const void* value, socklen_t length) noexcept
{
    const Fresh& fresh = t_fresh;
    if (fd >= 0 && fd == fresh.fd && level == IPPROTO_TCP && name == TCP_NODELAY && fresh.noDelay && value &&
        length == sizeof(int) && *static_cast<const int*>(value) != 0)
        return 0;
    return NextSetsockopt()(fd, level, name, value, length);
}

extern "C" int fcntl(int fd, int command, ...)
{
    va_list list;
    va_start(list, command);
    // As the C library reads it: every command's argument fits a pointer.
    void* argument = va_arg(list, void*);
    va_end(list);
    Fresh& fresh = t_fresh;
    if (fd >= 0 && fd == fresh.fd) {
        if (command == F_GETFL)
            return fresh.statusFlags;
        if (command == F_SETFL && static_cast<int>(reinterpret_cast<std::intptr_t>(argument)) == fresh.statusFlags)
            return 0;
        // Anything else on it: the kernel answers from now on.
        fresh.fd = -1;
    }
    return NextFcntl()(fd, command, argument);
}

AcceptHook::AcceptHook(struct soap* listener) : ctx_(listener), runtimeAccept_(listener->faccept)
{
    const int fd = listener->master;
    const int fdFlags = ::fcntl(fd, F_GETFD);
    if (fdFlags >= 0)
        ::fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC);
    const int statusFlags = ::fcntl(fd, F_GETFL);
    if (statusFlags >= 0)
        ::fcntl(fd, F_SETFL, statusFlags | O_NONBLOCK);
    int noDelay = 0;
    socklen_t size = sizeof noDelay;
    listenerNoDelay_ = ::getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &size) == 0 && noDelay != 0;
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
    t_fresh = Fresh();
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
    if (fd >= 0) {
        t_fresh.fd = fd;
        // A new socket's file is opened read-write, plus what accept4 was told.
        t_fresh.statusFlags = O_RDWR | (nonBlocking ? O_NONBLOCK : 0);
        t_fresh.noDelay = turn->hook_.listenerNoDelay_;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        // Nothing was queued after all: soap_accept tries again, this time after waiting with
        // the context's own accept time-out, which reports running out as before.
        ctx->accept_timeout = turn->acceptTimeout_;
    }
    return fd;
}
