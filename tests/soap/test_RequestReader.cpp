// The reader between a request's bytes and the runtime, on real gSOAP contexts fed from
// memory: however a request is framed, coded or broken, the bytes the runtime's parser reads
// are exactly what the XML reader wrote of the body, or none at all.
#include <zlib.h>

#include <random>
#include <string>

#include <gtest/gtest.h>

#include "common/Gzip.h"
#include "common/Http.h"
#include "common/ReaderOracle.h"
#include "soap/XmlReader.h"

namespace {

using corvane_test::ReaderOutcome;
using corvane_test::ReadThroughReader;

std::string Deflate(const std::string& data)
{
    uLongf size = compressBound(data.size());
    std::string out(size, '\0');
    compress(reinterpret_cast<Bytef*>(&out[0]), &size, reinterpret_cast<const Bytef*>(data.data()), data.size());
    out.resize(size);
    return out;
}

// An envelope whose text holds what framing is made of: line ends, digits, chunk ends, and the
// bytes that begin a gzip stream (as far as UTF-8 has them: 0x8B as part of U+008B).
std::string RandomEnvelope(std::mt19937& random)
{
    static const char* const kPieces[] = {"a", "0", "\r\n", "\n", "0\r\n\r\n", "ff", ";", "&amp;", "Grüße", " ",
                                          "POST / HTTP/1.1", "Content-Length: 5", "\xC2\x8B"};
    std::string text;
    const int pieces = std::uniform_int_distribution<int>(0, 400)(random);
    for (int i = 0; i < pieces; ++i)
        text += kPieces[std::uniform_int_distribution<size_t>(0, std::size(kPieces) - 1)(random)];
    return corvane_test::Envelope("command", {{"plugin", "p"}, {"command", "c"}, {"parameters", text}});
}

// Chunks of random sizes, sizes in either case with leading zeros and extensions at times,
// and trailer lines at times.
std::string RandomChunks(std::mt19937& random, const std::string& body)
{
    std::string out;
    char size[32];
    auto coin = [&random] { return std::uniform_int_distribution<int>(0, 3)(random) == 0; };
    for (size_t at = 0; at < body.size();) {
        const size_t n = std::min(body.size() - at, std::uniform_int_distribution<size_t>(1, 300)(random));
        std::snprintf(size, sizeof size, coin() ? "%s%zX" : "%s%zx", coin() ? "00" : "", n);
        out += size + std::string(coin() ? ";ext=1" : "") + "\r\n" + body.substr(at, n) + "\r\n";
        at += n;
    }
    return out + "0" + (coin() ? "\r\nX-Trailer: 1" : "") + "\r\n\r\n";
}

std::string Head(const std::string& fields)
{
    return "POST / HTTP/1.1\r\nHost: localhost\r\nContent-Type: text/xml\r\n" + fields + "\r\n";
}

std::string Length(const std::string& body) { return "Content-Length: " + std::to_string(body.size()) + "\r\n"; }

// Every well-framed request reaches the runtime as its body in the reader's canonical form
// (line ends normalised, the declaration dropped), whatever the framing.
TEST(RequestReader, WellFramedBodiesArriveAsChecked)
{
    std::mt19937 random(20);
    for (int i = 0; i < 300; ++i) {
        const std::string body = RandomEnvelope(random);
        const std::string gzip = corvane_test::Gzip(body);
        const std::string framings[] = {
            Head(Length(body)) + body,
            Head("Transfer-Encoding: chunked\r\n") + RandomChunks(random, body),
            Head("Content-Encoding: gzip\r\n" + Length(gzip)) + gzip,
            Head("Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n") + RandomChunks(random, gzip),
            Head("Content-Encoding: deflate\r\n" + Length(Deflate(body))) + Deflate(body),
        };
        for (const std::string& request : framings) {
            SCOPED_TRACE(request.substr(0, 200));
            const ReaderOutcome o = ReadThroughReader(request);
            ASSERT_TRUE(o.served) << o.error;
            EXPECT_EQ(o.checked, ReadXml(body).canonical);
            ASSERT_EQ(o.parsed, o.checked);
        }
    }
}

// Whatever a request's bytes are, what the runtime reads is what was checked: each byte of
// well-framed requests is replaced, dropped or doubled in turn, and either the request is
// refused and nothing is read, or the body read is the one that passed the check.
TEST(RequestReader, AnyRequestIsParsedAsCheckedOrNotAtAll)
{
    std::mt19937 random(21);
    const std::string body = corvane_test::Envelope("auth-user");
    const std::string gzip = corvane_test::Gzip(body);
    const std::string requests[] = {
        Head("Transfer-Encoding: chunked\r\n") + RandomChunks(random, body),
        Head("Content-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n") + RandomChunks(random, gzip),
        Head(Length(body)) + body,
        body,
        gzip,
    };
    const char kBytes[] = {'\n', '\r', ' ', '0', 'a', ';', ':', '<', '\x1F', '\0'};
    int served = 0, refused = 0;
    for (const std::string& request : requests) {
        for (size_t at = 0; at < request.size(); ++at) {
            std::string mutated = request;
            switch (std::uniform_int_distribution<int>(0, 2)(random)) {
            case 0:
                mutated[at] = kBytes[std::uniform_int_distribution<size_t>(0, std::size(kBytes) - 1)(random)];
                break;
            case 1:
                mutated.erase(at, 1);
                break;
            default:
                mutated.insert(at, 1, mutated[at]);
            }
            const ReaderOutcome o = ReadThroughReader(mutated);
            SCOPED_TRACE(mutated.substr(0, 300));
            ASSERT_TRUE(corvane_test::ParsedAsChecked(o)) << o.parsed;
            ++(o.served ? served : refused);
        }
    }
    // Both ways out were taken, so neither one alone makes the property hold.
    EXPECT_GT(served, 50);
    EXPECT_GT(refused, 50);
}

}  // namespace
