#include "velmora/CommandOutput.h"

#include <cstdio>

namespace velmora {

bool readCommandOutput(const char* command, std::string& output)
{
    std::FILE* pipe = popen(command, "r");
    if (pipe == nullptr)
        return false;
    char buffer[63];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
        output += buffer;
    pclose(pipe);
    return true;
}

} // namespace velmora
