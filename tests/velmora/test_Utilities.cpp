#include "velmora/Utilities.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace velmora::Utilities;

namespace {

struct EncodeCase {
    std::wstring in;
    std::string out;
};

struct DecodeCase {
    std::string in;
    std::wstring out;
};

} // namespace

// Each wide character yields the exact byte sequence of the encoder's rules.
TEST(Utilities, WideToUtf8EncodesByTheRules)
{
    const std::vector<EncodeCase> cases = {
        {L"A", "\x41"},
        {std::wstring(1, L'\u00E9'), "\xC3\xA9"},
        {std::wstring(1, L'\u20AC'), "\xE2\x82\xAC"},
        {std::wstring(1, static_cast<wchar_t>(0x1F600)), ""},
        {std::wstring(1, static_cast<wchar_t>(-1)), "\x7F"},
        {std::wstring(1, static_cast<wchar_t>(0xD800)), "\xED\xA0\x80"},
        {std::wstring(1, static_cast<wchar_t>(0x7FF)), "\xDF\xBF"},
        {std::wstring(1, static_cast<wchar_t>(0xFFFF)), "\xEF\xBF\xBF"},
        {std::wstring(L"a") + static_cast<wchar_t>(0x10000) + L"b", "ab"},
        {L"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(convertWideToUtf8String(c.in), c.out);
        EXPECT_EQ(convertWideToUtf8String(c.in.c_str(), c.in.size()), c.out);
    }
}

// Byte sequences decode to characters, NULs for stray bytes, "?" and a stop for broken sequences.
TEST(Utilities, Utf8ToWideDecodesByTheRules)
{
    const std::vector<DecodeCase> cases = {
        {"\xC3\xA9", std::wstring(1, L'\u00E9')},
        {"\xE2\x82\xAC", std::wstring(1, L'\u20AC')},
        {"\xF0\x9F\x98\x80", std::wstring(4, L'\0')},
        {"\xC3\x41\x42", L"?"},
        {"x\xC3", L"x?"},
        {"\xE2\x82", L"?"},
        {"\x80z", std::wstring(1, L'\0') + L"z"},
        {"\xED\xA0\x80", std::wstring(1, static_cast<wchar_t>(0xD800))},
        {"\xC0\x80", std::wstring(1, L'\0')},
        {"plain", L"plain"},
        {"", L""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(convertUtf8ToWideString(c.in), c.out) << "input size " << c.in.size();
        EXPECT_EQ(convertUtf8ToWideString(c.in.data(), c.in.size()), c.out);
    }
}

// A null pointer yields nothing; length 0 measures up to the NUL; an explicit length stops early.
TEST(Utilities, PointerFormsHonourNullAndLength)
{
    EXPECT_EQ(convertUtf8ToWideString(nullptr, 5), L"");
    EXPECT_EQ(convertUtf8ToWideString("abc", 0), L"abc");
    EXPECT_EQ(convertUtf8ToWideString("abcdef", 2), L"ab");
    EXPECT_EQ(convertWideToUtf8String(nullptr, 3), "");
    EXPECT_EQ(convertWideToUtf8String(L"abc", 0), "abc");
    EXPECT_EQ(convertWideToUtf8String(L"abcdef", 4), "abcd");
    const std::string embedded("a\0b", 3);
    EXPECT_EQ(convertUtf8ToWideString(embedded), std::wstring(L"a\0b", 3));
}

// Narrow and wide forms map one character to one in the C locale; unrepresentable ones become NUL.
TEST(Utilities, NarrowWideRoundTripInCLocale)
{
    EXPECT_EQ(convertNarrowToWideString(static_cast<const char*>(nullptr)), L"");
    EXPECT_EQ(convertNarrowToWideString("path/x"), L"path/x");
    EXPECT_EQ(convertNarrowToWideString(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(convertWideToNarrowString(L"abc"), "abc");
    EXPECT_EQ(convertWideToNarrowString(std::wstring(L"a") + L'\u20AC' + L"b"), std::string("a\0b", 3));
    std::string out = "old";
    EXPECT_TRUE(convertUtf8ToMultiByte("\xC3\xA9", out));
    EXPECT_EQ(out, "\xC3\xA9");
}

// Percent escapes become bytes; any malformed escape empties the whole result.
TEST(Utilities, DecodePercents)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a%20b", "a b"},
        {"100%", ""},
        {"%4", ""},
        {"%zz", ""},
        {"%4z", ""},
        {"no escapes+here", "no escapes+here"},
        {"%+f", "\x0F"},
        {"%-1", "\xFF"},
        {"%41%42c", "ABc"},
        {"%00", std::string(1, '\0')},
        {"", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decode_percents(c.first), c.second) << c.first;
}

// Backslashes become slashes except a UNC prefix; the in-place form returns its argument.
TEST(Utilities, UnifyPath)
{
    struct Case {
        std::wstring in;
        bool addSlash;
        std::wstring out;
    };
    const std::vector<Case> cases = {
        {L"\\\\server\\share", false, L"\\\\server/share"},
        {L"a\\b\\c", false, L"a/b/c"},
        {L"a/b", true, L"a/b/"},
        {L"a/b/", true, L"a/b/"},
        {L"", true, L""},
        {L"\\", false, L"/"},
        {L"\\", true, L"/"},
        {L"a\\", true, L"a/"},
        {L"a//./../b", false, L"a//./../b"},
        {L"\\\\", false, L"\\\\"},
    };
    for (const auto& c : cases) {
        const std::wstring original = c.in;
        EXPECT_EQ(unifyPath(original, c.addSlash), c.out);
        EXPECT_EQ(original, c.in);
        std::wstring inPlace = c.in;
        std::wstring& result = unifyPath(inPlace, c.addSlash);
        EXPECT_EQ(&result, &inPlace);
        EXPECT_EQ(inPlace, c.out);
        std::wstring platform = c.in;
        EXPECT_EQ(&platformPath(platform, c.addSlash), &platform);
        EXPECT_EQ(platform, c.out);
    }
}

// The last path component, ignoring only one trailing slash.
TEST(Utilities, FileName)
{
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"/x/y/name.txt", L"name.txt"},
        {L"/x/y/", L"y"},
        {L"/x/y//", L""},
        {L"name", L"name"},
        {L"/", L""},
        {L"\\\\server", L"\\\\server"},
        {L"a\\b\\c.txt", L"c.txt"},
        {L"", L""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(fileName(c.first), c.second) << convertWideToUtf8String(c.first);
}

// UUID texts have the braced 8-4-4-4-12 lower-case form and differ between calls.
TEST(Utilities, UuidStringShape)
{
    const std::string a = uuidString();
    const std::string b = uuidString();
    ASSERT_EQ(a.size(), 38u);
    EXPECT_EQ(a.front(), '{');
    EXPECT_EQ(a.back(), '}');
    for (size_t i = 1; i < 37; ++i) {
        if (i == 9 || i == 14 || i == 19 || i == 24)
            EXPECT_EQ(a[i], '-') << i;
        else
            EXPECT_NE(std::string("0123456789abcdef").find(a[i]), std::string::npos) << i;
    }
    EXPECT_NE(a, b);
    const std::wstring w = uuidWString();
    EXPECT_EQ(w.size(), 38u);
    EXPECT_EQ(w.front(), L'{');
    EXPECT_EQ(w.back(), L'}');
}
