#include "plugins/ShellWords.h"

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

// Inside double quotes a backslash escapes only these; before anything else it stays.
bool EscapableInDoubleQuotes(char c)
{
    return c == '$' || c == '`' || c == '"' || c == '\\' || c == '\n';
}

}  // namespace

bool ShellWords::Split(const std::string& text, std::vector<std::string>& words)
{
    words.clear();
    std::vector<std::string> result;
    std::string word;
    bool inWord = false;  // an empty quoted string is still a word
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char c = text[i];
        if (c == '\0')
            return false;
        if (IsBlank(c)) {
            if (inWord) {
                result.push_back(word);
                word.clear();
                inWord = false;
            }
            continue;
        }
        if (c == '\\') {
            if (i + 1 >= n)
                return false;
            const char next = text[++i];
            if (next == '\0')
                return false;
            if (next == '\n')
                continue;  // line continuation: joins, adds nothing
            word += next;
            inWord = true;
            continue;
        }
        if (c == '\'') {
            const std::size_t close = text.find('\'', i + 1);
            if (close == std::string::npos)
                return false;
            const std::string quoted = text.substr(i + 1, close - i - 1);
            if (quoted.find('\0') != std::string::npos)
                return false;
            word += quoted;
            inWord = true;
            i = close;
            continue;
        }
        if (c == '"') {
            bool closed = false;
            for (++i; i < n; ++i) {
                const char q = text[i];
                if (q == '\0')
                    return false;
                if (q == '"') {
                    closed = true;
                    break;
                }
                if (q == '\\' && i + 1 < n && EscapableInDoubleQuotes(text[i + 1])) {
                    ++i;
                    if (text[i] != '\n')
                        word += text[i];
                    continue;
                }
                word += q;
            }
            if (!closed)
                return false;
            inWord = true;
            continue;
        }
        word += c;
        inWord = true;
    }
    if (inWord)
        result.push_back(word);
    words.swap(result);
    return true;
}

std::string ShellWords::Quote(const std::string& word)
{
    std::string quoted = "'";
    for (const char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string ShellWords::QuoteAll(const std::vector<std::string>& words)
{
    std::string line;
    for (std::size_t i = 0; i < words.size(); ++i)
        line += (i == 0 ? "" : " ") + Quote(words[i]);
    return line;
}
