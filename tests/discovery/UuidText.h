// Shape check for identifiers as the service generates them: "urn:uuid:" and a lower-case
// 8-4-4-4-12 UUID text. Stateless.
#pragma once

#include <string>

inline bool IsGeneratedUuidUrn(const std::string& text)
{
    const std::string prefix = "urn:uuid:";
    if (text.size() != 45 || text.compare(0, prefix.size(), prefix) != 0)
        return false;
    for (size_t i = 0; i < 36; ++i) {
        const char ch = text[prefix.size() + i];
        const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
        if (hyphen ? ch != '-' : !((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'f')))
            return false;
    }
    return true;
}
