// Chunked bodies decoded strictly: what clients send decodes to its body whatever way its
// bytes arrive; every other framing is refused, and a body beyond the cap is too large.
#include <gtest/gtest.h>

#include <string>

#include "soap/ChunkDecoder.h"

namespace {

using State = ChunkDecoder::State;

const std::size_t kMaxBody = 1000;
const std::size_t kMaxLine = 64;

struct Case {
    const char* what;
    std::string wire;
    State state;
    std::string body;  // when kDone
};

const Case kCases[] = {
    {"one chunk", "5\r\nhello\r\n0\r\n\r\n", State::kDone, "hello"},
    {"several chunks, upper and lower case digits", "3\r\nabc\r\nA\r\n0123456789\r\nb\r\nabcdefghijk\r\n0\r\n\r\n",
     State::kDone, "abc0123456789abcdefghijk"},
    {"leading zeros", "0005\r\nhello\r\n000\r\n\r\n", State::kDone, "hello"},
    {"extensions", "5;name=value;x\r\nhello\r\n0;last\r\n\r\n", State::kDone, "hello"},
    {"blanks before an extension", "5 \t;x=\"a b\"\r\nhello\r\n0\r\n\r\n", State::kDone, "hello"},
    {"trailers", "5\r\nhello\r\n0\r\nX-Check: 1\r\nY: 2\r\n\r\n", State::kDone, "hello"},
    {"data holding CR LF and digits", "6\r\n\r\n5\r\nx\r\n0\r\n\r\n", State::kDone, "\r\n5\r\nx"},
    {"nothing after the last chunk is read", "1\r\na\r\n0\r\n\r\nGARBAGE", State::kDone, "a"},
    {"an empty body", "0\r\n\r\n", State::kDone, ""},
    {"a body of the cap", "3e8\r\n" + std::string(1000, 'x') + "\r\n0\r\n\r\n", State::kDone, std::string(1000, 'x')},
    {"cut in the data", "5\r\nhel", State::kMore, ""},
    {"cut before the trailer's end", "5\r\nhello\r\n0\r\n", State::kMore, ""},
    {"size line ended by LF alone", "5\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"size line ended by CR alone", "5\rhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"0x prefix", "0x5\r\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"plus sign", "+5\r\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"minus sign", "-5\r\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"blank before the size", " 5\r\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"blank after the size", "5 \r\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"no digits", "\r\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"a letter that is no digit", "5g\r\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"junk after the data", "5\r\nhelloXY\r\n0\r\n\r\n", State::kMalformed, ""},
    {"LF alone after the data", "5\r\nhello\n0\r\n\r\n", State::kMalformed, ""},
    {"another byte than CR before the LF after the data", "5\r\nhelloX\n0\r\n\r\n", State::kMalformed, ""},
    {"data longer than its size", "3\r\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"a control character in an extension", "5;a\x01\r\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"LF alone in the trailer", "5\r\nhello\r\n0\r\nX: 1\n\r\n", State::kMalformed, ""},
    {"a size line beyond its bound", "5;" + std::string(kMaxLine, 'e') + "\r\nhello\r\n0\r\n\r\n", State::kMalformed, ""},
    {"leading zeros beyond the bound", std::string(kMaxLine + 1, '0') + "5\r\nhello\r\n0\r\n\r\n", State::kMalformed,
     ""},
    {"trailers beyond their bound", "0\r\n" + std::string(40, 'a') + "\r\n" + std::string(40, 'b') + "\r\n\r\n",
     State::kMalformed, ""},
    {"one chunk beyond the cap", "3e9\r\n", State::kTooLarge, ""},
    {"a size with many digits", "ffffffffffffffffffffffff\r\n", State::kTooLarge, ""},
    {"chunks adding up beyond the cap", "1f4\r\n" + std::string(500, 'x') + "\r\n1f5\r\n", State::kTooLarge, ""},
};

// Fed whole or a byte at a time, every case ends in the same state with the same body.
TEST(ChunkDecoder, CasesTable)
{
    for (const Case& c : kCases) {
        SCOPED_TRACE(c.what);
        ChunkDecoder whole(kMaxBody, kMaxLine);
        EXPECT_EQ(whole.Feed(c.wire.data(), c.wire.size()), c.state);
        ChunkDecoder bytes(kMaxBody, kMaxLine);
        State state = State::kMore;
        for (std::size_t i = 0; i < c.wire.size() && state == State::kMore; ++i)
            state = bytes.Feed(c.wire.data() + i, 1);
        EXPECT_EQ(state, c.state);
        if (c.state == State::kDone) {
            EXPECT_EQ(whole.body(), c.body);
            EXPECT_EQ(bytes.body(), c.body);
        }
    }
}

}  // namespace
