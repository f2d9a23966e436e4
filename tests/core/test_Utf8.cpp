// Which texts an XML 1.0 document can carry, and what an answer carries instead of the rest.
#include <gtest/gtest.h>

#include <string>

#include "core/Utf8.h"

namespace {

const std::string kFffd = "\xEF\xBF\xBD";

// Each text, whether XML can hold it, and what stands in an answer in its place.
TEST(Utf8, XmlTextTable)
{
    const struct {
        const char* what;
        std::string text;
        bool xml;
        std::string answer;
    } cases[] = {
        {"empty", "", true, ""},
        {"ASCII with tab and line ends", "a\tb\nc\rd", true, "a\tb\nc\rd"},
        {"two, three and four byte forms", "\xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80", true, "\xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"last before the surrogates, first after", "\xED\x9F\xBF\xEE\x80\x80", true, "\xED\x9F\xBF\xEE\x80\x80"},
        {"U+FFFD itself and U+10FFFF", kFffd + "\xF4\x8F\xBF\xBF", true, kFffd + "\xF4\x8F\xBF\xBF"},
        {"DEL and C1 controls are XML characters", "\x7F\xC2\x85", true, "\x7F\xC2\x85"},
        {"NUL", std::string("a\0b", 3), false, "a" + kFffd + "b"},
        {"C0 controls", "\x01\x08\x0B\x0C\x1F", false, kFffd + kFffd + kFffd + kFffd + kFffd},
        {"U+FFFE and U+FFFF", "x\xEF\xBF\xBEy\xEF\xBF\xBFz", false, "x" + kFffd + "y" + kFffd + "z"},
        {"an encoded surrogate, byte by byte", "\xED\xA0\x80", false, kFffd + kFffd + kFffd},
        {"an overlong form", "\xC0\xBC", false, kFffd + kFffd},
        {"above U+10FFFF", "\xF4\x90\x80\x80", false, kFffd + kFffd + kFffd + kFffd},
        {"Latin-1", "caf\xE9", false, "caf" + kFffd},
        {"a sequence cut at the end", "ok\xE2\x82", false, "ok" + kFffd + kFffd},
        {"a lone continuation byte", "\x80x", false, kFffd + "x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Utf8::IsXmlText(c.text), c.xml);
        EXPECT_EQ(Utf8::ToXmlText(c.text), c.answer);
        EXPECT_TRUE(Utf8::IsXmlText(Utf8::ToXmlText(c.text)));
    }
}

}  // namespace
