#pragma once
// A request's head read strictly, as the peer sent it, before the runtime parses it: how the
// body is framed and coded and which credentials the request carries. Whatever two readers
// could take in two ways is refused instead of guessed: a repeated or malformed
// Content-Length, a length beside chunks, a transfer coding other than chunked, a folded or
// broken line, a content coding the daemon cannot undo. Pure functions; any thread.
#include <string>
#include <vector>

struct HttpHead {
    enum class Framing { kNone, kLength, kChunked };
    enum class Coding { kIdentity, kGzip, kDeflate };

    // 0 when the head may be served, otherwise the HTTP status that refuses it and why.
    int refusal = 0;
    const char* problem = nullptr;

    // The first word of the request line.
    std::string method;
    Framing framing = Framing::kNone;
    // The declared body length (kLength); larger than any limit when it does not fit.
    unsigned long long length = 0;
    // The content coding: gzip (also spelt x-gzip), deflate or none (absent or identity).
    // Any other is refused with 415 rather than parsed as if it were none.
    Coding coding = Coding::kIdentity;
    // The values of every Authorization line, in order. Proxy-Authorization lines are left
    // out, although the runtime would take them as the caller's credentials too.
    std::vector<std::string> credentials;
};

// `head` is the request line and the header lines, each ended by CR LF, then the empty line.
HttpHead ParseHttpHead(const std::string& head);

// User id and password of a Basic credentials value: the scheme (any case), blanks, and
// padded base64 of "user:password" holding no NUL. False for anything else.
bool DecodeBasicCredentials(const std::string& value, std::string& user, std::string& password);
