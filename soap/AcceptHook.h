#pragma once
// The listening context's accept hook: soap_accept stays the call that accepts, and the hook
// makes each connection close-on-exec (and non-blocking, as the context's time-outs ask)
// in the accept4 call itself. A Turn spares soap_accept calls that would change nothing: the
// wait for the listener that select has just reported readable, and the buffer sizes that the
// connection inherits from the listener soap_bind configured. (The runtime still sets
// TCP_NODELAY and the file-status flags on each connection; it offers no way to skip them.)
// Owned by the main loop for its listening context; used on the main thread only.
struct soap;

class AcceptHook {
public:
    // Right after soap_bind: makes the listener close-on-exec and non-blocking (so the hook
    // never blocks), reads what the listener passes on and installs the hook.
    explicit AcceptHook(struct soap* listener);
    // Gives the context back the runtime's accept function.
    ~AcceptHook();
    AcceptHook(const AcceptHook&) = delete;
    AcceptHook& operator=(const AcceptHook&) = delete;

    // One soap_accept on a listener that select has just reported readable. When nothing is
    // queued after all, soap_accept waits with the context's own accept time-out, and a wait
    // that runs out fails with errnum 0 as before. The context's settings are the same again
    // once the turn ends, before the context is copied for the connection.
    class Turn {
    public:
        explicit Turn(AcceptHook& hook);
        ~Turn();
        Turn(const Turn&) = delete;
        Turn& operator=(const Turn&) = delete;

    private:
        friend class AcceptHook;
        AcceptHook& hook_;
        // The context's values, kept while the turn holds them at 0.
        int acceptTimeout_;
        int sndbuf_;
        int rcvbuf_;
    };

private:
    static int Accept(struct soap* ctx, int listener, struct sockaddr* address, int* length);

    struct soap* ctx_;
    int (*runtimeAccept_)(struct soap*, int, struct sockaddr*, int*);
    // What soap_bind gave the listener, and so every connection it queues.
    int boundSndbuf_ = 0;
    int boundRcvbuf_ = 0;
};
