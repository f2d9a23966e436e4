// The UTF-8 decoder and the percent decoder on arbitrary bytes, with the round trips that
// must hold: every basic-plane character survives encode then decode, and every byte survives
// being written as %XX.
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "velmora/Utilities.h"

using namespace velmora::Utilities;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    const std::wstring decoded = convertUtf8ToWideString(bytes);
    if (decoded.size() > bytes.size())
        fuzz::Fail("decoder produced more characters than bytes");
    const std::string terminated = bytes + '\0';
    convertUtf8ToWideString(terminated.c_str(), 0);
    if (size > 0)
        convertUtf8ToWideString(bytes.data(), size);
    convertWideToUtf8String(decoded);

    std::wstring wide;
    for (size_t i = 0; i + 1 < size; i += 2)
        wide.push_back(static_cast<wchar_t>(data[i] | (data[i + 1] << 8)));
    if (convertUtf8ToWideString(convertWideToUtf8String(wide)) != wide)
        fuzz::Fail("basic-plane text changed in a UTF-8 round trip: " + fuzz::Escaped(bytes));

    const std::string plain = decode_percents(bytes);
    if (plain.size() > bytes.size())
        fuzz::Fail("decode_percents grew the text");
    if (bytes.find('%') == std::string::npos && plain != bytes)
        fuzz::Fail("decode_percents changed a text without escapes");
    std::string escaped;
    static const char hex[] = "0123456789abcdef";
    for (unsigned char c : bytes) {
        escaped += '%';
        escaped += hex[c >> 4];
        escaped += hex[c & 0xF];
    }
    if (decode_percents(escaped) != bytes)
        fuzz::Fail("escaped bytes did not decode back: " + fuzz::Escaped(bytes));
    return 0;
}
