#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "plugins/ShellWords.h"

namespace {

typedef std::vector<std::string> Words;

// What /bin/sh itself makes of a line: each word it passes, NUL-terminated.
std::string ShellSplit(const std::string& line)
{
    FILE* pipe = ::popen(("printf '%s\\0' " + line).c_str(), "r");
    std::string out;
    char buf[4096];
    std::size_t n;
    while (pipe != nullptr && (n = std::fread(buf, 1, sizeof buf, pipe)) > 0)
        out.append(buf, n);
    if (pipe != nullptr)
        ::pclose(pipe);
    return out;
}

}  // namespace

// The splitter agrees with sh on plain words, both quote kinds and escapes (checked against
// sh itself), and leaves every shell operator and expansion as text of its word (which sh
// would act on, so those are not handed to it).
TEST(ShellWords, SplitsAsTheShellDoes)
{
    struct Case {
        std::string text;
        Words words;
        bool askShell;
    } cases[] = {
        {"", {}, true},
        {" \t\n ", {}, true},
        {"a=1 b=2", {"a=1", "b=2"}, true},
        // To sh a line break ends the command; here it only separates words.
        {"  a\t\tb\nc  ", {"a", "b", "c"}, false},
        {"mode=\"a b\"", {"mode=a b"}, true},
        {"x='it''s'", {"x=its"}, true},
        {"'a \"b\" c'", {"a \"b\" c"}, true},
        {"\"a 'b' c\"", {"a 'b' c"}, true},
        {"\"\\$ \\` \\\" \\\\ \\x\"", {"$ ` \" \\ \\x"}, true},
        {"\"one\\\ntwo\"", {"onetwo"}, true},
        {"a\\ b c\\\\d", {"a b", "c\\d"}, true},
        {"a\\\nb", {"ab"}, true},
        {"'' \"\" x''", {"", "", "x"}, true},
        {"'\\'", {"\\"}, true},
        {"; touch /tmp/x", {";", "touch", "/tmp/x"}, false},
        {"$(id) `id` $HOME", {"$(id)", "`id`", "$HOME"}, false},
        {"a|b&&c>d<e *", {"a|b&&c>d<e", "*"}, false},
        {"\"$(id)\" '$HOME'", {"$(id)", "$HOME"}, false},
        {"Grüße=\"ä ö\"", {"Grüße=ä ö"}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Words words{"stale"};
        ASSERT_TRUE(ShellWords::Split(c.text, words));
        EXPECT_EQ(words, c.words);
        std::string expected;
        for (const std::string& w : c.words)
            expected += w + '\0';
        if (c.askShell && !c.words.empty()) {
            EXPECT_EQ(ShellSplit(c.text), expected);
        }
    }
}

// Text sh could not take as one complete list of words is refused as a whole.
TEST(ShellWords, RefusesWhatCannotBeSplit)
{
    for (const std::string& text : {std::string("'open"), std::string("a \"open"), std::string("x=\"a\\\""),
                                    std::string("trailing\\"), std::string("a'b'c'"),
                                    std::string("nul\0byte", 8), std::string("'nul\0'", 6),
                                    std::string("\"nul\0\"", 6)}) {
        SCOPED_TRACE(text);
        Words words{"stale"};
        EXPECT_FALSE(ShellWords::Split(text, words));
        EXPECT_TRUE(words.empty());
    }
}

// A quoted line gives back exactly its words, to the splitter and to sh, whatever they hold.
TEST(ShellWords, QuotedLineCarriesWordsUnchanged)
{
    const Words words{"plain", "", "it's", "'", "''\\'", "a b\tc\nd", "$(touch /tmp/never)", "`id`",
                      "; rm -rf /", "*", "\"", "\\", "ü"};
    const std::string line = ShellWords::QuoteAll(words);
    Words again;
    ASSERT_TRUE(ShellWords::Split(line, again));
    EXPECT_EQ(again, words);
    std::string expected;
    for (const std::string& w : words)
        expected += w + '\0';
    EXPECT_EQ(ShellSplit(line), expected);
    EXPECT_EQ(ShellWords::Quote("it's"), "'it'\\''s'");
    EXPECT_EQ(ShellWords::Quote(""), "''");
}
