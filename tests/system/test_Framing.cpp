// Requests framed every way a peer may frame them, sent to the real daemon: what clients send
// is served; whatever two readers could take in two ways, or is broken, is refused at once
// with the status it deserves; and the daemon goes on serving.
#include "DaemonFixture.h"
#include "common/Gzip.h"

using namespace corvane_test;

namespace {

// An answer "at once": a reader that waited for bytes that never come would take the 3 s
// request deadline.
constexpr double kAtOnce = 1.0;

class Framing : public ServingDaemon {
protected:
    void TearDown() override
    {
        if (daemon) {
            EXPECT_EQ(ElementText(Call("auth-user").body, "result"), "*") << Log();
        }
        ServingDaemon::TearDown();
    }
};

std::string Head(const std::string& fields)
{
    return "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml; charset=utf-8\r\n" + fields + "\r\n";
}

std::string Length(const std::string& body) { return "Content-Length: " + std::to_string(body.size()) + "\r\n"; }

const char* const kChunked = "Transfer-Encoding: chunked\r\n";

// Chunks of 26 bytes, their sizes written as "001A".
std::string UpperCaseChunks(const std::string& body)
{
    std::string out;
    char size[16];
    for (size_t at = 0; at < body.size(); at += 26) {
        const std::string piece = body.substr(at, 26);
        std::snprintf(size, sizeof size, "%04zX\r\n", piece.size());
        out += size + piece + "\r\n";
    }
    return out + "000\r\n\r\n";
}

// Each framing gets its status at once (well before the request deadline, which a reader that
// waits for bytes that never come would run into), every refusal a client fault in a SOAP 1.1
// envelope naming what was wrong.
TEST_F(Framing, StatusOfEachFraming)
{
    const std::string good = Envelope("auth-user");
    const std::string chunked = "Malformed chunked request body";
    const std::string bad = "HTTP Error: 400 Bad Request";
    const struct {
        const char* what;
        std::string request;
        int status;          // 0: the connection is closed without an answer
        std::string string;  // the fault string, or "" for 200
        std::string detail;
    } cases[] = {
        {"a length", Head(Length(good)) + good, 200, "", ""},
        {"an empty line before the request line", "\r\n" + Head(Length(good)) + good, 200, "", ""},
        {"chunks of 7 bytes", Head(kChunked) + Chunked(good, 7), 200, "", ""},
        {"upper-case digits and leading zeros", Head(kChunked) + UpperCaseChunks(good), 200, "", ""},
        {"extensions", Head(kChunked) + "5;a=b\r\n" + good.substr(0, 5) + "\r\n1 ;x\r\n" + good.substr(5, 1) +
                           "\r\n" + Chunked(good.substr(6), 100),
         200, "", ""},
        {"trailers", Head(kChunked) + Chunked(good, 50).substr(0, Chunked(good, 50).size() - 2) + "X-Sum: 1\r\n\r\n",
         200, "", ""},
        {"gzip in chunks", Head(std::string(kChunked) + "Content-Encoding: gzip\r\n") + Chunked(Gzip(good), 9), 200,
         "", ""},
        {"x-gzip", Head(Length(Gzip(good)) + "Content-Encoding: x-gzip\r\n") + Gzip(good), 200, "", ""},
        {"content coding identity", Head(Length(good) + "Content-Encoding: identity\r\n") + good, 200, "", ""},
        {"a content coding the daemon cannot undo", Head(Length(good) + "Content-Encoding: br\r\n") + good, 415,
         "HTTP Error: 415 Unsupported Media Type", "a content coding other than gzip or deflate"},
        {"a size line ended by LF alone", Head(kChunked) + "5\n" + good.substr(0, 5) + "\r\n0\r\n\r\n", 500, chunked,
         ""},
        {"0x before the size", Head(kChunked) + "0x5\r\n" + good.substr(0, 5) + "\r\n0\r\n\r\n", 500, chunked, ""},
        {"a sign before the size", Head(kChunked) + "+5\r\n" + good.substr(0, 5) + "\r\n0\r\n\r\n", 500, chunked, ""},
        {"a blank before the size", Head(kChunked) + " 5\r\n" + good.substr(0, 5) + "\r\n0\r\n\r\n", 500, chunked,
         ""},
        {"a blank after the size", Head(kChunked) + "5 \r\n" + good.substr(0, 5) + "\r\n0\r\n\r\n", 500, chunked,
         ""},
        {"junk after the data", Head(kChunked) + "5\r\n" + good.substr(0, 5) + "xx\r\n0\r\n\r\n", 500, chunked, ""},
        {"LF alone after the data", Head(kChunked) + "5\r\n" + good.substr(0, 5) + "\n0\r\n\r\n", 500, chunked, ""},
        {"another byte than CR after the data", Head(kChunked) + "5\r\n" + good.substr(0, 5) + "x\n0\r\n\r\n", 500,
         chunked, ""},
        {"LF alone in a trailer", Head(kChunked) + Chunked(good, 50).substr(0, Chunked(good, 50).size() - 2) +
                                      "X-Sum: 1\n\r\n",
         500, chunked, ""},
        {"trailers beyond the bound of a head", Head(kChunked) + "0\r\nX: " + std::string(70 * 1024, 'x') + "\r\n\r\n",
         500, chunked, ""},
        {"chunks beyond the size cap", Head(kChunked) + "200000\r\n", 413, "HTTP Error: 413 Request Entity Too Large",
         ""},
        {"two lengths", Head(Length(good) + "Content-Length: 5\r\n") + good, 400, bad, "a repeated Content-Length"},
        {"the same length twice", Head(Length(good) + Length(good)) + good, 400, bad, "a repeated Content-Length"},
        {"a length with a sign", Head("Content-Length: +" + std::to_string(good.size()) + "\r\n") + good, 400, bad,
         "a malformed Content-Length"},
        {"a negative length", "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n", 400, bad, "a malformed Content-Length"},
        {"a length beside chunks", Head(Length(good) + kChunked) + Chunked(good, 50), 400, bad,
         "Content-Length beside Transfer-Encoding"},
        {"gzip, chunked", Head("Transfer-Encoding: gzip, chunked\r\n") + Chunked(Gzip(good), 50), 501,
         "HTTP Error: 501 Not Implemented", "a transfer coding other than chunked"},
        {"transfer coding identity", Head("Transfer-Encoding: identity\r\n") + good, 501, "HTTP Error: 501 Not Implemented",
         "a transfer coding other than chunked"},
        {"chunked twice", Head("Transfer-Encoding: chunked, chunked\r\n") + Chunked(good, 50), 400, bad,
         "a malformed Transfer-Encoding"},
        {"a folded length", Head("Content-Length:\r\n " + std::to_string(good.size()) + "\r\n") + good, 400, bad,
         "a folded header line"},
        {"folded credentials", Head(Length(good) + "Authorization: Basic\r\n " + Base64("tech:pw1") + "\r\n") + good,
         400, bad, "a folded header line"},
        {"a head line ended by LF alone", "POST / HTTP/1.1\nHost: x\r\n" + Length(good) + "\r\n" + good, 400, bad,
         "a head line not ended by CR LF or holding a control character"},
        {"a head beyond its bound", Head("X-Pad: " + std::string(70 * 1024, 'p') + "\r\n" + Length(good)) + good, 431,
         "HTTP Error: 431 Request Header Fields Too Large", ""},
        // A body whose end is not announced would end where the peer stops sending, which cannot
        // be told from a request cut short; the peer here keeps its side open.
        {"neither a length nor chunks", Head("") + good, 411, "HTTP Error: 411 Length Required",
         "a body without Content-Length or Transfer-Encoding"},
        {"neither, from an HTTP/1.0 client", "POST / HTTP/1.0\r\nHost: localhost\r\n\r\n" + good, 411,
         "HTTP Error: 411 Length Required", "a body without Content-Length or Transfer-Encoding"},
        {"neither, with no body sent", Head(""), 411, "HTTP Error: 411 Length Required",
         "a body without Content-Length or Transfer-Encoding"},
        // The runtime reads each header line into a buffer of 8192 bytes.
        {"a header line of 8190 bytes", Head("X-Pad: " + std::string(8190 - 7, 'p') + "\r\n" + Length(good)) + good,
         200, "", ""},
        {"a header line of 8191 bytes", Head("X-Pad: " + std::string(8191 - 7, 'p') + "\r\n" + Length(good)) + good,
         431, "HTTP Error: 431 Request Header Fields Too Large", "a header line too long"},
        {"a header line of 60 KiB", Head("X-Pad: " + std::string(60 * 1024, 'p') + "\r\n" + Length(good)) + good, 431,
         "HTTP Error: 431 Request Header Fields Too Large", "a header line too long"},
        {"a request line beyond the bound of a head", "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\n\r\n", 431,
         "HTTP Error: 431 Request Header Fields Too Large", ""},
        {"a request line of one word", "GARBAGE\r\n\r\n", 0, "", ""},
        {"no head: a bare envelope", good, 400, bad, "not an HTTP request"},
        {"no head: a gzip stream", Gzip(Head(Length(good)) + good), 400, bad, "not an HTTP request"},
        {"a blank before the request line", " " + Head(Length(good)) + good, 400, bad, "not an HTTP request"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const TimedAnswer t = TimedExchange(port, c.request);
        const HttpAnswer& a = t.answer;
        EXPECT_EQ(a.status, c.status) << a.raw.substr(0, 800);
        EXPECT_GE(t.firstByte, 0);
        EXPECT_LT(t.firstByte, kAtOnce);
        if (c.status == 0) {
            EXPECT_EQ(a.raw, "");
            continue;
        }
        if (c.status == 200) {
            EXPECT_EQ(ElementText(a.body, "result"), "*");
            continue;
        }
        const SoapFault fault = FaultOf(a.body);
        EXPECT_EQ(fault.envelope, kSoap11Envelope);
        EXPECT_EQ(fault.code, "SOAP-ENV:Client");
        EXPECT_EQ(fault.string, c.string);
        EXPECT_EQ(fault.detail, c.detail);
    }
}

}  // namespace
