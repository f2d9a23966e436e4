#pragma once
// Bounds how one request reaches the service binding: the whole request must arrive within
// RequestLimits::kDeadline, the body is read up to its declared end and no further, a body
// over the size cap is refused with 413 before it is read, and the body's XML shape is
// checked (XmlShape) before the runtime parses it. Installs itself as the context's receive,
// HTTP-parse and close hooks. Owned by the SoapServer of one connection; used only by the
// worker thread that serves it.
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

struct soap;

class RequestReader {
public:
    // `beforeClose` runs once, just before the connection's socket is closed.
    RequestReader(struct soap* ctx, std::function<void()> beforeClose);
    // Gives the context its runtime hooks back.
    ~RequestReader();
    RequestReader(const RequestReader&) = delete;
    RequestReader& operator=(const RequestReader&) = delete;

private:
    static RequestReader* Of(struct soap* ctx);
    static std::size_t Recv(struct soap* ctx, char* buf, std::size_t len);
    static int ParseHeader(struct soap* ctx, const char* key, const char* value);
    static int Parse(struct soap* ctx);
    static int Close(struct soap* ctx);

    std::size_t ReadSocket(char* buf, std::size_t len);
    // Reads the rest of the body into body_ and checks it; a gSOAP error code or 0.
    int TakeBody();
    int CheckBody(const std::string& content);
    bool ReadMore(std::string& raw, std::size_t atLeast);
    bool ReadSome(std::string& raw);
    void Drain();

    struct soap* ctx_;
    std::function<void()> beforeClose_;
    std::size_t (*runtimeRecv_)(struct soap*, char*, std::size_t);
    int (*runtimeParseHeader_)(struct soap*, const char*, const char*);
    int (*runtimeParse_)(struct soap*);
    int (*runtimeClose_)(struct soap*);

    std::chrono::steady_clock::time_point deadline_;
    bool started_ = false;
    bool lengthGiven_ = false;
    // Set once the body is held in body_: the runtime then reads from it and sees its end.
    bool buffered_ = false;
    // The peer may still be sending a body that was refused unread.
    bool unread_ = false;
    bool closed_ = false;
    std::string body_;
    std::size_t served_ = 0;
};
