#include "soap/RequestReader.h"

#include <poll.h>
#include <sys/socket.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "soap/ChunkDecoder.h"
#include "soap/HttpHead.h"
#include "soap/RequestLimits.h"
#include "soap/XmlReader.h"
#include "stdsoap2.h"

namespace {

using Clock = std::chrono::steady_clock;

static_assert(RequestLimits::kMaxHeaderLineBytes + 2 <= SOAP_HDRLEN,
              "the runtime could not read a header line the head may hold");

// Longest wait for a refused body's sender to stop, so the answer is not lost to a reset.
constexpr std::chrono::milliseconds kDrainTime(1000);

// The size cap, for a body as it is framed and once more as it inflates: this reader is the one
// place it is applied (the runtime's own limit is left unset).
bool BeyondSizeCap(unsigned long long bytes) { return bytes > RequestLimits::kMaxBytes; }

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
        if (BeyondSizeCap(out.size())) {
            tooLarge = true;
            break;
        }
        if (status == Z_BUF_ERROR && z.avail_in == 0)
            break;
    }
    inflateEnd(&z);
    return status == Z_STREAM_END && !tooLarge;
}

bool IsLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

}  // namespace

RequestReader::RequestReader(struct soap* ctx, std::function<void()> beforeClose)
    : ctx_(ctx), beforeClose_(std::move(beforeClose))
{
    // A context copied from one that already carries these hooks keeps the runtime's own
    // functions of the original.
    if (ctx->frecv == &Recv) {
        const RequestReader* from = Of(ctx);
        runtimeRecv_ = from->runtimeRecv_;
        runtimeParse_ = from->runtimeParse_;
        runtimePoll_ = from->runtimePoll_;
        runtimeClose_ = from->runtimeClose_;
    } else {
        runtimeRecv_ = ctx->frecv;
        runtimeParse_ = ctx->fparse;
        runtimePoll_ = ctx->fpoll;
        runtimeClose_ = ctx->fclose;
    }
    ctx->user = this;
    ctx->frecv = &Recv;
    ctx->fparse = &Parse;
    ctx->fpoll = &Poll;
    ctx->fclose = &Close;
}

RequestReader::~RequestReader()
{
    // The context outlives this reader by a moment and may still close its socket.
    ctx_->frecv = runtimeRecv_;
    ctx_->fparse = runtimeParse_;
    ctx_->fpoll = runtimePoll_;
    ctx_->fclose = runtimeClose_;
    ctx_->user = nullptr;
}

RequestReader* RequestReader::Of(struct soap* ctx) { return static_cast<RequestReader*>(ctx->user); }

std::size_t RequestReader::Recv(struct soap* ctx, char* buf, std::size_t len)
{
    RequestReader* self = Of(ctx);
    if (self->serving_) {
        const std::string& from = *self->serving_;
        const std::size_t n = std::min(len, from.size() - self->servedAt_);
        std::memcpy(buf, from.data() + self->servedAt_, n);
        self->servedAt_ += n;
        return n;
    }
    if (self->requestLine_ || self->closed_)
        return 0;
    // Before its request line the runtime would take a body of its own kind: compressed,
    // MIME or DIME, or plain XML, with no head and so no check. Only empty lines may come
    // first; the runtime calls the HTTP parser, and so this reader, on the first letter.
    const std::size_t n = self->ReadSocket(buf, len);
    for (std::size_t i = 0; i < n && !self->requestLine_; ++i) {
        const unsigned char c = static_cast<unsigned char>(buf[i]);
        if (IsLetter(c)) {
            self->requestLine_ = true;
        } else if (c != '\r' && c != '\n') {
            self->unread_ = true;
            self->RefuseHttp(400, "not an HTTP request");
            return 0;
        }
    }
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

int RequestReader::Parse(struct soap* ctx)
{
    RequestReader* self = Of(ctx);
    // The runtime has taken the request line's first letter back as its look-ahead; the head
    // starts there and runs on through the rest of its buffer.
    self->raw_.clear();
    if (ctx->ahead)
        self->raw_ += static_cast<char>(ctx->ahead);
    self->raw_.append(ctx->buf + ctx->bufidx, ctx->buflen - ctx->bufidx);
    // Handed back, those bytes are read again, so the runtime's count of them starts anew.
    ctx->ahead = 0;
    ctx->bufidx = ctx->buflen = 0;
    ctx->count = 0;
    self->requestLine_ = true;

    std::size_t headEnd = 0;
    if (const int error = self->ReadHead(headEnd))
        return error;
    self->head_ = self->raw_.substr(0, headEnd);
    const HttpHead head = ParseHttpHead(self->head_);
    if (head.refusal) {
        self->unread_ = true;
        return self->RefuseHttp(head.refusal, head.problem);
    }
    if (head.framing == HttpHead::Framing::kLength && BeyondSizeCap(head.length)) {
        self->unread_ = true;
        return self->RefuseHttp(413, nullptr);
    }

    // The runtime parses the head as it came, from memory, and no byte beyond it.
    self->serving_ = &self->head_;
    self->servedAt_ = 0;
    int error = self->runtimeParse_(ctx);
    self->serving_ = nullptr;
    if (error == SOAP_OK)
        error = self->TakeBody(head, headEnd);
    else
        self->unread_ = true;
    // The runtime reads what was checked as a plain body, and after a refusal nothing: no
    // chunks, nothing to inflate, no attachments to split off.
    ctx->imode &= ~(SOAP_IO | SOAP_ENC_MIME | SOAP_ENC_DIME | SOAP_ENC_MTOM);
    ctx->zlib_in = SOAP_ZLIB_NONE;
    ctx->length = self->body_.size();
    if (error == SOAP_OK) {
        self->serving_ = &self->body_;
        self->servedAt_ = 0;
    }
    return error;
}

int RequestReader::TakeBody(const HttpHead& head, std::size_t headEnd)
{
    // The runtime decodes Basic credentials leniently (a NUL cuts the password, anything not
    // base64 is skipped); the caller gets them as sent, or none and a refusal.
    ctx_->userid = nullptr;
    ctx_->passwd = nullptr;
    std::string user, password;
    if (head.credentials.size() == 1 && DecodeBasicCredentials(head.credentials[0], user, password)) {
        ctx_->userid = soap_strdup(ctx_, user.c_str());
        ctx_->passwd = soap_strdup(ctx_, password.c_str());
    } else {
        credentialsMalformed_ = !head.credentials.empty();
    }

    std::string body;
    if (const int error = ReadBody(head, headEnd, body))
        return error;
    raw_.clear();
    // Only these methods carry a body the service reads; a GET or HEAD is answered from its
    // head alone, its body read and dropped.
    if (ctx_->status == SOAP_POST || ctx_->status == SOAP_PUT) {
        if (const int error = CheckBody(head, body))
            return error;
        body_.swap(body);
    }
    return SOAP_OK;
}

// The head ends at the first empty line, however its lines end; whether they end properly
// is for the head's own check.
int RequestReader::ReadHead(std::size_t& headEnd)
{
    std::size_t searched = 0;
    headEnd = 0;
    while (headEnd == 0) {
        for (std::size_t at = raw_.find('\n', searched); at != std::string::npos; at = raw_.find('\n', at + 1)) {
            if (at + 1 < raw_.size() && raw_[at + 1] == '\n') {
                headEnd = at + 2;
                break;
            }
            if (at + 2 < raw_.size() && raw_[at + 1] == '\r' && raw_[at + 2] == '\n') {
                headEnd = at + 3;
                break;
            }
            if (at + 2 >= raw_.size()) {
                // The bytes still to come decide.
                searched = at;
                break;
            }
            searched = at + 1;
        }
        if (headEnd == 0 && raw_.size() <= RequestLimits::kMaxHeadBytes && !ReadSome(raw_))
            return ctx_->error = SOAP_EOF;
        if ((headEnd == 0 ? raw_.size() : headEnd) > RequestLimits::kMaxHeadBytes) {
            unread_ = true;
            return RefuseHttp(431, nullptr);
        }
    }
    return SOAP_OK;
}

int RequestReader::ReadBody(const HttpHead& head, std::size_t from, std::string& body)
{
    if (head.framing == HttpHead::Framing::kLength) {
        const std::size_t length = static_cast<std::size_t>(head.length);
        body.assign(raw_, from, std::min(length, raw_.size() - from));
        while (body.size() < length) {
            char block[16384];
            const std::size_t n = ReadSocket(block, std::min(sizeof block, length - body.size()));
            if (n == 0)
                return ctx_->error = SOAP_EOF;
            body.append(block, n);
        }
        return SOAP_OK;
    }
    if (head.framing == HttpHead::Framing::kChunked) {
        ChunkDecoder decoder(RequestLimits::kMaxBytes, RequestLimits::kMaxHeadBytes);
        ChunkDecoder::State state = decoder.Feed(raw_.data() + from, raw_.size() - from);
        while (state == ChunkDecoder::State::kMore) {
            char block[16384];
            const std::size_t n = ReadSocket(block, sizeof block);
            if (n == 0)
                return ctx_->error = SOAP_EOF;
            state = decoder.Feed(block, n);
        }
        if (state == ChunkDecoder::State::kTooLarge) {
            unread_ = true;
            return RefuseHttp(413, nullptr);
        }
        if (state == ChunkDecoder::State::kMalformed) {
            unread_ = true;
            return RefuseForm(1, "Malformed chunked request body", nullptr);
        }
        body.swap(decoder.body());
        return SOAP_OK;
    }
    if (ctx_->status != SOAP_POST && ctx_->status != SOAP_PUT)
        return SOAP_OK;
    // No length and no chunks: such a body would end where the peer stops sending, which
    // cannot be told from a request cut short or still on its way.
    unread_ = true;
    return RefuseHttp(411, "a body without Content-Length or Transfer-Encoding");
}

int RequestReader::CheckBody(const HttpHead& head, std::string& body)
{
    if (head.coding != HttpHead::Coding::kIdentity) {
        std::string inflated;
        bool tooLarge = false;
        const bool inflatedOk = Inflate(body, 15 + 32, inflated, tooLarge) ||
                                (!tooLarge && head.coding == HttpHead::Coding::kDeflate &&
                                 Inflate(body, -15, inflated, tooLarge));
        if (!inflatedOk) {
            if (tooLarge)
                return RefuseHttp(413, nullptr);
            return RefuseForm(1, "Malformed compressed request body", nullptr);
        }
        body.swap(inflated);
    }
    XmlReading reading = ReadXml(body);
    if (reading.problem)
        return RefuseForm(reading.envelopeVersion, "Malformed XML request", reading.problem);
    // What the runtime parses is what the reader wrote.
    body.swap(reading.canonical);
    return SOAP_OK;
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

// The body is not parsed yet, so the fault's envelope is set here; the status text comes from
// the context's fault-text hook.
int RequestReader::RefuseHttp(int status, const char* problem)
{
    soap_set_version(ctx_, 1);
    return soap_set_sender_error(ctx_, nullptr, problem, status);
}

int RequestReader::RefuseForm(int version, const char* text, const char* detail)
{
    soap_set_version(ctx_, static_cast<short>(version));
    // The runtime writes a detail as the XML it is; these details are text, so they are escaped.
    std::string xml;
    for (const char* c = detail; c && *c; ++c)
        AppendXmlEscaped(xml, *c);
    const char* escaped = detail ? soap_strdup(ctx_, xml.c_str()) : nullptr;
    return soap_sender_fault(ctx_, text, escaped);
}

// The runtime sends no fault to a peer whose socket reads as ended, which is also what a
// peer that has sent its whole request and half-closed looks like; only a socket that can no
// longer be written loses its answer.
int RequestReader::Poll(struct soap* ctx)
{
    if (!soap_valid_socket(ctx->socket))
        return SOAP_OK;
    struct pollfd p = {ctx->socket, POLLOUT, 0};
    if (::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP | POLLNVAL)))
        return SOAP_OK;
    return SOAP_EOF;
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
