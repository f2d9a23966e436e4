#include "soap/RequestReader.h"

#include <poll.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "soap/RequestLimits.h"
#include "soap/XmlShape.h"
#include "stdsoap2.h"

namespace {

using Clock = std::chrono::steady_clock;

// Longest wait for a refused body's sender to stop, so the answer is not lost to a reset.
constexpr std::chrono::milliseconds kDrainTime(1000);

// Decodes the chunks of `raw` from `at` on into `content`, moving `at` past each complete
// one, so that every byte is decoded once however the body arrives; true once the last chunk
// and its trailer lines are in. `bad` is set when the framing is broken.
bool Dechunk(const std::string& raw, std::size_t& at, std::string& content, bool& bad)
{
    for (;;) {
        const std::size_t lineEnd = raw.find("\r\n", at);
        if (lineEnd == std::string::npos) {
            bad = raw.size() - at > 64;
            return false;
        }
        char* stop = nullptr;
        const std::string sizeText = raw.substr(at, lineEnd - at);
        const unsigned long size = std::strtoul(sizeText.c_str(), &stop, 16);
        if (stop == sizeText.c_str() || size > RequestLimits::kMaxBytes) {
            bad = true;
            return false;
        }
        std::size_t next = lineEnd + 2;
        if (size == 0) {
            // Trailer lines up to the empty line that ends the body.
            for (;;) {
                const std::size_t end = raw.find("\r\n", next);
                if (end == std::string::npos)
                    return false;
                if (end == next)
                    return true;
                next = end + 2;
            }
        }
        if (raw.size() < next + size + 2)
            return false;
        content.append(raw, next, size);
        at = next + size + 2;
    }
}

// Inflates a compressed body, at most the size cap; false when it is broken or too large.
// 15 + 32 takes gzip and zlib streams, -15 a raw deflate stream.
bool Inflate(const std::string& in, int windowBits, std::string& out, bool& tooLarge)
{
    out.clear();
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit2(&z, windowBits) != Z_OK)
        return false;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    char block[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(block);
        z.avail_out = sizeof block;
        status = inflate(&z, Z_NO_FLUSH);
        out.append(block, sizeof block - z.avail_out);
        if (out.size() > RequestLimits::kMaxBytes) {
            tooLarge = true;
            break;
        }
        if (status == Z_BUF_ERROR && z.avail_in == 0)
            break;
    }
    inflateEnd(&z);
    return status == Z_STREAM_END && !tooLarge;
}

}  // namespace

RequestReader::RequestReader(struct soap* ctx, std::function<void()> beforeClose)
    : ctx_(ctx), beforeClose_(std::move(beforeClose))
{
    // A context copied from one that already carries these hooks keeps the runtime's own
    // functions of the original.
    if (ctx->frecv == &Recv) {
        const RequestReader* from = Of(ctx);
        runtimeRecv_ = from->runtimeRecv_;
        runtimeParseHeader_ = from->runtimeParseHeader_;
        runtimeParse_ = from->runtimeParse_;
        runtimeClose_ = from->runtimeClose_;
    } else {
        runtimeRecv_ = ctx->frecv;
        runtimeParseHeader_ = ctx->fparsehdr;
        runtimeParse_ = ctx->fparse;
        runtimeClose_ = ctx->fclose;
    }
    ctx->user = this;
    ctx->frecv = &Recv;
    ctx->fparsehdr = &ParseHeader;
    ctx->fparse = &Parse;
    ctx->fclose = &Close;
}

RequestReader::~RequestReader()
{
    // The context outlives this reader by a moment and may still close its socket.
    ctx_->frecv = runtimeRecv_;
    ctx_->fparsehdr = runtimeParseHeader_;
    ctx_->fparse = runtimeParse_;
    ctx_->fclose = runtimeClose_;
    ctx_->user = nullptr;
}

RequestReader* RequestReader::Of(struct soap* ctx) { return static_cast<RequestReader*>(ctx->user); }

std::size_t RequestReader::Recv(struct soap* ctx, char* buf, std::size_t len)
{
    RequestReader* self = Of(ctx);
    if (!self->buffered_)
        return self->ReadSocket(buf, len);
    const std::size_t n = std::min(len, self->body_.size() - self->served_);
    std::memcpy(buf, self->body_.data() + self->served_, n);
    self->served_ += n;
    return n;
}

std::size_t RequestReader::ReadSocket(char* buf, std::size_t len)
{
    const Clock::time_point now = Clock::now();
    if (!started_) {
        started_ = true;
        deadline_ = now + RequestLimits::kDeadline;
    }
    if (now >= deadline_)
        return 0;
    // Each read still waits no longer than the context's receive time-out.
    const int saved = ctx_->recv_timeout;
    auto wait = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - now);
    if (saved > 0)
        wait = std::min(wait, std::chrono::microseconds(std::chrono::seconds(saved)));
    ctx_->recv_timeout = -static_cast<int>(std::max<long long>(wait.count(), 1));
    const std::size_t n = runtimeRecv_(ctx_, buf, len);
    ctx_->recv_timeout = saved;
    return n;
}

int RequestReader::ParseHeader(struct soap* ctx, const char* key, const char* value)
{
    RequestReader* self = Of(ctx);
    if (soap_tag_cmp(key, "Content-Length") == 0) {
        self->lengthGiven_ = true;
        char* stop = nullptr;
        const unsigned long long length = std::strtoull(value, &stop, 10);
        if (stop != value && length > RequestLimits::kMaxBytes) {
            self->unread_ = true;
            return ctx->error = 413;
        }
    }
    return self->runtimeParseHeader_(ctx, key, value);
}

int RequestReader::Parse(struct soap* ctx)
{
    RequestReader* self = Of(ctx);
    const int error = self->runtimeParse_(ctx);
    if (error != SOAP_OK)
        return error;
    // Only these methods carry a body the service reads; a GET or HEAD is answered from its
    // head alone.
    if (ctx->status != SOAP_POST && ctx->status != SOAP_PUT)
        return SOAP_OK;
    return self->TakeBody();
}

int RequestReader::TakeBody()
{
    std::string raw(ctx_->buf + ctx_->bufidx, ctx_->buflen - ctx_->bufidx);
    // The decoded body of a chunked request; any other body is `raw` itself.
    std::string content;
    const bool chunked = (ctx_->imode & SOAP_IO) == SOAP_IO_CHUNK;
    if (chunked) {
        std::size_t decoded = 0;
        for (;;) {
            bool bad = false;
            if (Dechunk(raw, decoded, content, bad))
                break;
            if (bad)
                return soap_sender_fault(ctx_, "Malformed chunked request body", nullptr);
            if (raw.size() > RequestLimits::kMaxBytes + 4096) {
                unread_ = true;
                return ctx_->error = 413;
            }
            if (!ReadSome(raw))
                return ctx_->error = SOAP_EOF;
        }
    } else if (lengthGiven_) {
        const std::size_t length = static_cast<std::size_t>(ctx_->length);
        if (raw.size() > length)
            raw.resize(length);
        if (!ReadMore(raw, length))
            return ctx_->error = SOAP_EOF;
    } else {
        // No length and no chunks: the body ends where the peer stops sending.
        for (;;) {
            if (raw.size() > RequestLimits::kMaxBytes) {
                unread_ = true;
                return ctx_->error = 413;
            }
            if (!ReadSome(raw)) {
                // The peer's end, not the deadline, ends such a body.
                if (Clock::now() < deadline_)
                    break;
                return ctx_->error = SOAP_EOF;
            }
        }
    }
    // What follows the buffered part of the runtime's buffer is now served from body_.
    body_ = raw.substr(std::min(raw.size(), ctx_->buflen - ctx_->bufidx));
    buffered_ = true;
    return CheckBody(chunked ? content : raw);
}

int RequestReader::CheckBody(const std::string& content)
{
    const std::string* xml = &content;
    std::string inflated;
    if (ctx_->zlib_in != SOAP_ZLIB_NONE) {
        bool tooLarge = false;
        const bool inflatedOk = Inflate(content, 15 + 32, inflated, tooLarge) ||
                                 (!tooLarge && ctx_->zlib_in == SOAP_ZLIB_DEFLATE &&
                                  Inflate(content, -15, inflated, tooLarge));
        if (!inflatedOk) {
            if (tooLarge)
                return ctx_->error = 413;
            return soap_sender_fault(ctx_, "Malformed compressed request body", nullptr);
        }
        xml = &inflated;
    }
    if (const char* problem = XmlShapeProblem(xml->data(), xml->size())) {
        // The envelope is not parsed yet; a SOAP 1.2 sender gets its own fault form (400).
        if (xml->find("http://www.w3.org/2003/05/soap-envelope") != std::string::npos)
            ctx_->version = 2;
        return soap_sender_fault(ctx_, "Malformed XML request", problem);
    }
    return SOAP_OK;
}

// Appends socket data to `raw` until it holds `atLeast` bytes; false at the peer's end, on a
// read error or when the deadline passes.
bool RequestReader::ReadMore(std::string& raw, std::size_t atLeast)
{
    char block[16384];
    while (raw.size() < atLeast) {
        const std::size_t n = ReadSocket(block, std::min(sizeof block, atLeast - raw.size()));
        if (n == 0)
            return false;
        raw.append(block, n);
    }
    return true;
}

// Appends what one read brings, at most a block; false at the peer's end, on a read error or
// when the deadline passes.
bool RequestReader::ReadSome(std::string& raw)
{
    char block[16384];
    const std::size_t n = ReadSocket(block, sizeof block);
    if (n == 0)
        return false;
    raw.append(block, n);
    return true;
}

int RequestReader::Close(struct soap* ctx)
{
    RequestReader* self = Of(ctx);
    if (!self->closed_) {
        self->closed_ = true;
        if (self->unread_ && soap_valid_socket(ctx->socket))
            self->Drain();
        if (self->beforeClose_)
            self->beforeClose_();
    }
    return self->runtimeClose_(ctx);
}

// Closing with unread data resets the connection, which can destroy the answer before the
// peer reads it; so stop sending, then discard what still comes for a short while.
void RequestReader::Drain()
{
    const int fd = ctx_->socket;
    ::shutdown(fd, SHUT_WR);
    const Clock::time_point until = Clock::now() + kDrainTime;
    std::size_t discarded = 0;
    char block[16384];
    while (discarded < 4 * RequestLimits::kMaxBytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        struct pollfd p = {fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            break;
        const ssize_t n = ::recv(fd, block, sizeof block, MSG_DONTWAIT);
        if (n <= 0)
            break;
        discarded += static_cast<std::size_t>(n);
    }
}
