#include "core/PortNumber.h"

#include <cerrno>
#include <cstdlib>

bool ParsePortNumber(const std::string& text, int& port)
{
    // strtol skips the same leading blanks and takes the same sign as "%d".
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (end == text.c_str() || errno == ERANGE || value < 1 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}
