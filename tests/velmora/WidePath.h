#pragma once
// Test helper: the wide form of a UTF-8 path, converted as the library converts its own.
#include <string>

#include "velmora/Utilities.h"

namespace velmora_test {

inline std::wstring wide(const std::string& utf8)
{
    return velmora::Utilities::convertUtf8ToWideString(utf8);
}

}  // namespace velmora_test
