// trim_whitespace and the identifier made by GenUUID.
#include <gtest/gtest.h>

#include <string>

#include "UuidText.h"
#include "discovery/WsddTargetService.h"

namespace {

struct TrimCase {
    const char* input;
    const char* expected;
};

const TrimCase kTrimCases[] = {
    {"wex:CorvaneBackend_3", "wex:CorvaneBackend_3"},
    {" \t\n\v\f\rwex:CorvaneBackend_3\r\n\f\v\t ", "wex:CorvaneBackend_3"},
    {"  a b  ", "a b"},
    {"", ""},
    {" \t\r\n\v\f", ""},
    {"x", "x"},
    {"\xc2\xa0x\xc2\xa0", "\xc2\xa0x\xc2\xa0"},  // only the six ASCII characters count
};

} // namespace

// Leading and trailing blanks, tabs, line ends, vertical tabs and form feeds go; inner ones stay.
TEST(DiscoveryTrimWhitespace, StripsOnlyOuterAsciiWhitespace)
{
    for (const TrimCase& c : kTrimCases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(trim_whitespace(c.input), c.expected);
    }
}

// A null pointer is the empty text, not a crash.
TEST(DiscoveryTrimWhitespace, NullPointerGivesEmptyText)
{
    EXPECT_EQ(trim_whitespace(nullptr), "");
}

// A new identifier is "urn:uuid:" and 36 lower-case UUID characters, different every time.
TEST(DiscoveryGenUuid, GivesFresh45CharacterUrn)
{
    const std::string first = WsddTargetService::GenUUID();
    const std::string second = WsddTargetService::GenUUID();
    EXPECT_EQ(first.size(), 45u);
    EXPECT_TRUE(IsGeneratedUuidUrn(first)) << first;
    EXPECT_TRUE(IsGeneratedUuidUrn(second)) << second;
    EXPECT_NE(first, second);
}
