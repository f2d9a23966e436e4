#include "discovery/ProcFiles.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "core/Logger.h"

namespace discovery {

unsigned int ReadBootTime(const char* path)
{
    unsigned int bootTime = 0;
    std::ifstream in(path);
    std::string line;
    while (in.good()) {
        std::getline(in, line);
        if (line.find("btime") != std::string::npos) {
            if (std::sscanf(line.c_str(), "btime %u", &bootTime) != 1)
                bootTime = 0;
            break;
        }
    }
    in.close();
    if (bootTime == 0)
        Logger::GetInstance()->Log(Logger::eWarn, "getting boot time from /proc/stat failed!");
    Logger::GetInstance()->Log(Logger::eTrace, "boot time is: " + std::to_string(bootTime));
    return bootTime;
}

bool FindDefaultRouteInterface(const char* path, std::string& interfaceName)
{
    FILE* file = std::fopen(path, "re");
    if (file == nullptr)
        return false;
    bool found = false;
    char line[256];
    bool header = true;
    bool startOfLine = true;
    while (std::fgets(line, sizeof line, file) != nullptr) {
        // A line longer than the buffer arrives in pieces; only a piece that starts a line
        // may name a route, and the whole first line is the column header.
        const bool pieceStartsLine = startOfLine;
        startOfLine = std::strchr(line, '\n') != nullptr;
        if (!pieceStartsLine)
            continue;
        if (header) {
            header = false;
            continue;
        }
        char name[17];
        unsigned long destination = 1;
        if (std::sscanf(line, "%16s%lx", name, &destination) == 2 && destination == 0) {
            interfaceName = name;
            found = true;
            break;
        }
    }
    std::fclose(file);
    return found;
}

} // namespace discovery
