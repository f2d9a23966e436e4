#pragma once
// The one reader of a request: the connection's bytes reach the runtime only through it. It
// reads the head and refuses ambiguous framing and a body without a declared end (411), reads
// the body to its declared end and no further (chunks and compression undone by it alone),
// refuses a body over the size cap with 413 and one that is not well-formed XML or too costly
// (XmlReader), and then serves the runtime the head and the body in the reader's canonical
// form, as a plain one. The whole request must arrive within
// RequestLimits::kDeadline. It also lets a fault reach a peer that has only half-closed.
// Installs itself as the context's receive, HTTP-parse, poll and close hooks. Owned by the
// SoapServer of one connection; used only by the worker thread that serves it.
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>

struct soap;
struct HttpHead;

class RequestReader {
public:
    // `beforeClose` runs once, just before the connection's socket is closed.
    RequestReader(struct soap* ctx, std::function<void()> beforeClose);
    // Gives the context its runtime hooks back.
    ~RequestReader();
    RequestReader(const RequestReader&) = delete;
    RequestReader& operator=(const RequestReader&) = delete;

    // Whether the request carried credentials that cannot be read (not Basic, not base64,
    // no colon, a NUL, or more than one credentials line); they are then not handed on.
    bool CredentialsMalformed() const { return credentialsMalformed_; }
    // The body XmlReader read and wrote, which is all the runtime gets to parse; empty until
    // then, and for a request whose method carries no body the service reads.
    const std::string& CheckedBody() const { return body_; }

private:
    static RequestReader* Of(struct soap* ctx);
    static std::size_t Recv(struct soap* ctx, char* buf, std::size_t len);
    static int Parse(struct soap* ctx);
    static int Poll(struct soap* ctx);
    static int Close(struct soap* ctx);

    std::size_t ReadSocket(char* buf, std::size_t len);
    // Reads the head into raw_; a gSOAP error code or 0.
    int ReadHead(std::size_t& headEnd);
    // Takes the credentials, reads the body and checks it; a gSOAP error code or 0.
    int TakeBody(const HttpHead& head, std::size_t headEnd);
    // Reads the rest of the body after `from` in raw_ as the head frames it.
    int ReadBody(const HttpHead& head, std::size_t from, std::string& body);
    int CheckBody(const HttpHead& head, std::string& body);
    bool ReadSome(std::string& raw);
    // A refusal answered with an HTTP status (and the problem as the fault's detail), or a
    // client fault for a body of the wrong form, in the caller's SOAP version.
    int RefuseHttp(int status, const char* problem);
    int RefuseForm(int version, const char* text, const char* detail);
    void Drain();

    struct soap* ctx_;
    std::function<void()> beforeClose_;
    std::size_t (*runtimeRecv_)(struct soap*, char*, std::size_t);
    int (*runtimeParse_)(struct soap*);
    int (*runtimePoll_)(struct soap*);
    int (*runtimeClose_)(struct soap*);

    std::chrono::steady_clock::time_point deadline_;
    bool started_ = false;
    // Set once the first byte that is no line end came and began a request line.
    bool requestLine_ = false;
    // The peer may still be sending a body that was refused unread.
    bool unread_ = false;
    bool closed_ = false;
    bool credentialsMalformed_ = false;
    // What came from the socket for the head (and the start of the body behind it).
    std::string raw_;
    std::string body_;
    // What the runtime reads while this is set, from `servedAt_` on: the head, then the body.
    const std::string* serving_ = nullptr;
    std::size_t servedAt_ = 0;
    std::string head_;
};
