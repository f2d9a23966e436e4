#include "core/Utf8.h"

namespace Utf8 {

std::size_t Sequence(const std::string& text, std::size_t at, std::uint32_t& cp)
{
    const unsigned char lead = static_cast<unsigned char>(text[at]);
    std::size_t length;
    std::uint32_t min;
    if (lead < 0x80) {
        cp = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        cp = lead & 0x1F;
        min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        cp = lead & 0x0F;
        min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        cp = lead & 0x07;
        min = 0x10000;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (next & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return length;
}

bool IsControl(std::uint32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029;
}

bool IsXmlChar(std::uint32_t cp)
{
    if (cp < 0x20)
        return cp == '\t' || cp == '\n' || cp == '\r';
    return (cp <= 0xD7FF) || (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

bool IsXmlText(const std::string& text)
{
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t cp = 0;
        const std::size_t used = Sequence(text, at, cp);
        if (used == 0 || !IsXmlChar(cp))
            return false;
        at += used;
    }
    return true;
}

std::string ToXmlText(const std::string& text)
{
    if (IsXmlText(text))
        return text;
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(text.size() + 16);
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t cp = 0;
        std::size_t used = Sequence(text, at, cp);
        if (used == 0) {
            out += kReplacement;
            used = 1;
        } else if (!IsXmlChar(cp)) {
            out += kReplacement;
        } else {
            out.append(text, at, used);
        }
        at += used;
    }
    return out;
}

}  // namespace Utf8
