// How a request's head frames and codes its body and which credentials it carries, read
// strictly: every head a client sends passes, every ambiguous one is refused with its status.
#include <gtest/gtest.h>

#include <string>

#include "soap/HttpHead.h"
#include "soap/RequestLimits.h"

namespace {

using Framing = HttpHead::Framing;
using Coding = HttpHead::Coding;

std::string Head(const std::string& fields) { return "POST / HTTP/1.1\r\nHost: x\r\n" + fields + "\r\n"; }

TEST(HttpHead, FramingTable)
{
    const struct {
        const char* what;
        std::string head;
        int refusal;
        Framing framing;
        unsigned long long length;
    } cases[] = {
        {"length", Head("Content-Length: 42\r\n"), 0, Framing::kLength, 42},
        {"length, any case, blanks around", Head("content-LENGTH:\t 7 \r\n"), 0, Framing::kLength, 7},
        {"length zero", Head("Content-Length: 0\r\n"), 0, Framing::kLength, 0},
        {"length beyond any number", Head("Content-Length: 99999999999999999999999\r\n"), 0, Framing::kLength,
         ~0ull},
        {"chunked", Head("Transfer-Encoding: chunked\r\n"), 0, Framing::kChunked, 0},
        {"chunked, any case", Head("transfer-encoding: Chunked\r\n"), 0, Framing::kChunked, 0},
        {"neither", Head(""), 0, Framing::kNone, 0},
        {"GET without a body", "GET /downloads/x HTTP/1.1\r\n\r\n", 0, Framing::kNone, 0},
        {"two lengths", Head("Content-Length: 5\r\nContent-Length: 6\r\n"), 400, Framing::kNone, 0},
        {"the same length twice", Head("Content-Length: 5\r\nContent-Length: 5\r\n"), 400, Framing::kNone, 0},
        {"a list of lengths", Head("Content-Length: 5, 5\r\n"), 400, Framing::kNone, 0},
        {"a signed length", Head("Content-Length: +5\r\n"), 400, Framing::kNone, 0},
        {"a negative length", Head("Content-Length: -1\r\n"), 400, Framing::kNone, 0},
        {"a hexadecimal length", Head("Content-Length: 0x10\r\n"), 400, Framing::kNone, 0},
        {"a blank inside the length", Head("Content-Length: 1 0\r\n"), 400, Framing::kNone, 0},
        {"an empty length", Head("Content-Length:\r\n"), 400, Framing::kNone, 0},
        {"length beside chunks", Head("Content-Length: 5\r\nTransfer-Encoding: chunked\r\n"), 400, Framing::kNone, 0},
        {"chunks beside length", Head("Transfer-Encoding: chunked\r\nContent-Length: 5\r\n"), 400, Framing::kNone, 0},
        {"gzip, chunked", Head("Transfer-Encoding: gzip, chunked\r\n"), 501, Framing::kNone, 0},
        {"gzip alone", Head("Transfer-Encoding: gzip\r\n"), 501, Framing::kNone, 0},
        {"identity", Head("Transfer-Encoding: identity\r\n"), 501, Framing::kNone, 0},
        {"chunked twice in one line", Head("Transfer-Encoding: chunked, chunked\r\n"), 400, Framing::kNone, 0},
        {"chunked in two lines", Head("Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n"), 400,
         Framing::kNone, 0},
        {"an empty coding", Head("Transfer-Encoding: chunked,\r\n"), 400, Framing::kNone, 0},
        {"an empty Transfer-Encoding", Head("Transfer-Encoding:\r\n"), 400, Framing::kNone, 0},
        {"a folded line", Head("Content-Length: 5\r\n 6\r\n"), 400, Framing::kNone, 0},
        {"a folded credentials line", Head("Authorization: Basic\r\n\tdGVjaDpwdzE=\r\n"), 400, Framing::kNone, 0},
        {"a line ended by LF alone", "POST / HTTP/1.1\nContent-Length: 5\r\n\r\n", 400, Framing::kNone, 0},
        {"a head ended by LF alone", "POST / HTTP/1.1\r\nContent-Length: 5\r\n\n", 400, Framing::kNone, 0},
        {"a CR alone", Head("Content-Length: 5\rX: y\r\n"), 400, Framing::kNone, 0},
        {"a NUL in a value", Head(std::string("Content-Length: 5\0 9\r\n", 22)), 400, Framing::kNone, 0},
        {"a blank before the colon", Head("Content-Length : 5\r\n"), 400, Framing::kNone, 0},
        {"a line without a colon", Head("Content-Length 5\r\n"), 400, Framing::kNone, 0},
        {"a line without a name", Head(": 5\r\n"), 400, Framing::kNone, 0},
        {"a header line at its bound", Head("X: " + std::string(RequestLimits::kMaxHeaderLineBytes - 3, 'x') + "\r\n"), 0,
         Framing::kNone, 0},
        {"a header line beyond its bound",
         Head("X: " + std::string(RequestLimits::kMaxHeaderLineBytes - 2, 'x') + "\r\n"), 431, Framing::kNone, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const HttpHead head = ParseHttpHead(c.head);
        EXPECT_EQ(head.refusal, c.refusal) << (head.problem ? head.problem : "");
        EXPECT_EQ(head.refusal == 0, head.problem == nullptr);
        if (c.refusal == 0) {
            EXPECT_EQ(head.framing, c.framing);
            EXPECT_EQ(head.length, c.length);
        }
    }
}

TEST(HttpHead, MethodCodingAndCredentials)
{
    const HttpHead head = ParseHttpHead(Head("Content-Encoding: GZIP\r\nAuthorization:  Basic eDp5 \r\n"
                                             "Proxy-Authorization: Basic YTpi\r\nContent-Length: 3\r\n"));
    EXPECT_EQ(head.refusal, 0);
    EXPECT_EQ(head.method, "POST");
    EXPECT_EQ(head.coding, Coding::kGzip);
    // Proxy credentials are not the caller's.
    EXPECT_EQ(head.credentials, (std::vector<std::string>{"Basic eDp5"}));

    EXPECT_EQ(ParseHttpHead(Head("Content-Encoding: deflate\r\n")).coding, Coding::kDeflate);
    EXPECT_EQ(ParseHttpHead(Head("Content-Encoding: x-gzip\r\n")).coding, Coding::kGzip);
    EXPECT_EQ(ParseHttpHead(Head("Content-Encoding: Identity\r\n")).coding, Coding::kIdentity);
    // A body in a coding the daemon cannot undo is not parsed as if it had none.
    for (const char* other : {"br", "compress", "gzip, br", "zstd"}) {
        SCOPED_TRACE(other);
        EXPECT_EQ(ParseHttpHead(Head("Content-Encoding: " + std::string(other) + "\r\n")).refusal, 415);
    }
    EXPECT_EQ(ParseHttpHead(Head("Content-Encoding: gzip\r\nContent-Encoding: gzip\r\n")).refusal, 400);
}

// Only the one spelling of "user:password" is read; anything else is refused, never cut or
// skipped.
TEST(HttpHead, BasicCredentialsTable)
{
    const struct {
        const char* value;
        bool read;
        const char* user;
        const char* password;
    } cases[] = {
        {"Basic dGVjaDpwdzE=", true, "tech", "pw1"},
        {"basic dGVjaDpwdzE=", true, "tech", "pw1"},
        {"BASIC   dGVjaDpwdzE=", true, "tech", "pw1"},
        {"Basic dGVjaDo=", true, "tech", ""},
        {"Basic OnB3", true, "", "pw"},
        {"Basic dTpwOnc=", true, "u", "p:w"},  // the first colon ends the user id
        {"Basic R3LDvMOfZTrigqw=", true, "Grüße", "€"},
        {"Basic !!!!", false, "", ""},
        {"Basic ", false, "", ""},
        {"Basic", false, "", ""},
        {"Basic dXNlcm9ubHk=", false, "", ""},      // "useronly": no colon
        {"Basic dGVjaDpwdzEAanVuaw==", false, "", ""},  // "tech:pw1\0junk"
        {"Basic dGVjaDpwdzE", false, "", ""},       // padding missing
        {"Basic dGVjaDpwdzE==", false, "", ""},     // padding too long
        {"Basic dGVj aDpwdzE=", false, "", ""},     // a blank inside
        {"Basic dGVjaDpwdzF=", false, "", ""},      // bits after the last byte
        {"Basic dGVjaDpw=dzE", false, "", ""},      // padding inside
        {"Bearer abc.def", false, "", ""},
        {"Digest username=\"tech\"", false, "", ""},
        {"Basicx dGVjaDpwdzE=", false, "", ""},
        {"Basic\tdGVjaDpwdzE=", false, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        std::string user = "unset", password = "unset";
        EXPECT_EQ(DecodeBasicCredentials(c.value, user, password), c.read);
        if (c.read) {
            EXPECT_EQ(user, c.user);
            EXPECT_EQ(password, c.password);
        }
    }
}

}  // namespace
