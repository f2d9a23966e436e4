#include "velmora/Utilities.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <locale>

#include <uuid/uuid.h>

namespace velmora {
namespace Utilities {

namespace {

void encodeWideInUtf8(const wchar_t& wc, std::string& out)
{
    const int32_t c = static_cast<int32_t>(wc);
    if (c <= 0x7F) {
        out.push_back(static_cast<char>(c & 0x7F));
    } else if (c <= 0x7FF) {
        out.push_back(static_cast<char>(0xC0 | ((c >> 6) & 0x1F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c <= 0xFFFF) {
        out.push_back(static_cast<char>(0xE0 | ((c >> 12) & 0x0F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    // Characters beyond the basic plane are dropped.
}

std::wstring decodeUtf8(const unsigned char* p, size_t n)
{
    std::wstring out;
    out.reserve(n);
    size_t i = 0;
    while (i < n) {
        const unsigned char b = p[i++];
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            continue;
        }
        uint32_t value;
        int follow;
        if ((b & 0xE0) == 0xC0) {
            value = b & 0x1F;
            follow = 1;
        } else if ((b & 0xF0) == 0xE0) {
            value = b & 0x0F;
            follow = 2;
        } else {
            out.push_back(L'\0');
            continue;
        }
        for (; follow > 0; --follow) {
            if (i >= n || (p[i] & 0xC0) != 0x80) {
                // A broken sequence ends decoding altogether.
                out.push_back(L'?');
                return out;
            }
            value = (value << 6) | (p[i++] & 0x3F);
        }
        out.push_back(static_cast<wchar_t>(value));
    }
    return out;
}

std::wstring widen(const char* p, size_t n)
{
    const std::locale loc;
    const auto& facet = std::use_facet<std::ctype<wchar_t>>(loc);
    std::wstring out;
    out.reserve(n);
    for (size_t i = 0; i < n; ++i)
        out.push_back(facet.widen(p[i]));
    return out;
}

} // namespace

bool convertUtf8ToMultiByte(const char* text, std::string& out)
{
    out = text ? text : "";
    return true;
}

std::wstring convertNarrowToWideString(const char* text)
{
    if (!text)
        return std::wstring();
    return widen(text, std::strlen(text));
}

std::wstring convertNarrowToWideString(const std::string& text)
{
    return widen(text.data(), text.size());
}

std::string convertWideToNarrowString(const std::wstring& text)
{
    const std::locale loc;
    const auto& facet = std::use_facet<std::ctype<wchar_t>>(loc);
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text)
        out.push_back(facet.narrow(c, '\0'));
    return out;
}

std::wstring convertUtf8ToWideString(const char* text, size_t length)
{
    if (!text)
        return std::wstring();
    if (length == 0)
        length = std::strlen(text);
    return decodeUtf8(reinterpret_cast<const unsigned char*>(text), length);
}

std::wstring convertUtf8ToWideString(const std::string& text)
{
    return decodeUtf8(reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

std::string convertWideToUtf8String(const wchar_t* text, size_t length)
{
    if (!text)
        return std::string();
    if (length == 0)
        length = std::wcslen(text);
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i)
        encodeWideInUtf8(text[i], out);
    return out;
}

std::string convertWideToUtf8String(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (const wchar_t& c : text)
        encodeWideInUtf8(c, out);
    return out;
}

std::string decode_percents(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    size_t pos = 0;
    for (;;) {
        const size_t pct = text.find('%', pos);
        if (pct == std::string::npos) {
            out.append(text, pos, std::string::npos);
            return out;
        }
        out.append(text, pos, pct - pos);
        if (text.size() - pct - 1 < 2)
            return std::string();
        const char digits[3] = {text[pct + 1], text[pct + 2], '\0'};
        char* end = nullptr;
        const long value = std::strtol(digits, &end, 16);
        out.push_back(static_cast<char>(value & 0xFF));
        if (end != digits + 2)
            return std::string();
        pos = pct + 3;
    }
}

std::wstring& platformPath(std::wstring& path, bool addSlash)
{
    return unifyPath(path, addSlash);
}

std::string uuidString()
{
    uuid_t id;
    uuid_generate(id);
    char text[37];
    uuid_unparse(id, text);
    return std::string("{") + text + "}";
}

std::wstring uuidWString()
{
    return convertUtf8ToWideString(uuidString());
}

} // namespace Utilities
} // namespace velmora
