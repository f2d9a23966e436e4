#pragma once

#include <string>
#include <vector>

// Turns caller text into the words a POSIX shell would make of it, and back into a line in
// which the shell can see nothing but those words. Stateless; any thread.
class ShellWords {
public:
    ShellWords() = delete;

    // Splits at unquoted blanks, tabs and newlines, removing single quotes, double quotes and
    // backslash escapes as sh does; every other character (;, |, $, `, *, <, ...) is plain
    // text of its word. False, with `words` left empty, for text sh could not take as a whole
    // word list: an unclosed quote, a trailing backslash, or a NUL byte.
    static bool Split(const std::string& text, std::vector<std::string>& words);

    // One single-quoted word; an embedded ' is written as '\''.
    static std::string Quote(const std::string& word);
    // The words, each quoted, separated by one blank: sh makes exactly these words of it.
    static std::string QuoteAll(const std::vector<std::string>& words);
};
