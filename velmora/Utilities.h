// Stateless text, path and UUID helpers shared by the whole utility library.
// No owner, no state: every function is reentrant and callable from any thread.
#pragma once

#include <cstddef>
#include <string>

namespace velmora {
namespace Utilities {

// Copies the text unchanged; always true.
bool convertUtf8ToMultiByte(const char* text, std::string& out);

std::wstring convertNarrowToWideString(const char* text);
std::wstring convertNarrowToWideString(const std::string& text);
std::string convertWideToNarrowString(const std::wstring& text);

// A length of 0 means "up to the terminating NUL".
std::wstring convertUtf8ToWideString(const char* text, size_t length);
std::wstring convertUtf8ToWideString(const std::string& text);
std::string convertWideToUtf8String(const wchar_t* text, size_t length);
std::string convertWideToUtf8String(const std::wstring& text);

// Any malformed escape discards the whole result.
std::string decode_percents(const std::string& text);

// Backslashes become "/", except a leading UNC "\\" prefix.
template <typename CharT>
std::basic_string<CharT>& unifyPath(std::basic_string<CharT>& path, bool addSlash = false)
{
    const CharT backslash = static_cast<CharT>('\\');
    const CharT slash = static_cast<CharT>('/');
    size_t start = 0;
    if (path.size() >= 2 && path[0] == backslash && path[1] == backslash)
        start = 2;
    for (size_t i = start; i < path.size(); ++i)
        if (path[i] == backslash)
            path[i] = slash;
    if (addSlash && !path.empty() && path.back() != slash)
        path.push_back(slash);
    return path;
}

template <typename CharT>
const std::basic_string<CharT> unifyPath(const std::basic_string<CharT>& path, bool addSlash = false)
{
    std::basic_string<CharT> copy(path);
    unifyPath(copy, addSlash);
    return copy;
}

std::wstring& platformPath(std::wstring& path, bool addSlash = false);

// Only one trailing slash is ignored, so "/x/y//" names an empty component.
template <typename CharT>
const std::basic_string<CharT> fileName(const std::basic_string<CharT>& path)
{
    const CharT slash = static_cast<CharT>('/');
    std::basic_string<CharT> copy(path);
    if (copy.size() > 1) {
        unifyPath(copy, false);
        if (copy.back() == slash)
            copy.pop_back();
    }
    const size_t pos = copy.rfind(slash);
    if (pos == std::basic_string<CharT>::npos)
        return copy;
    return copy.substr(pos + 1);
}

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}", lower case.
std::string uuidString();
std::wstring uuidWString();

} // namespace Utilities
} // namespace velmora
