// Machine facts read afresh on every call from sysinfo, "/proc/cpuinfo" and shell pipelines.
// No owner and no state: static functions only, callable from any thread; nothing is cached.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace velmora {

class Hardware {
public:
    // The pipelines whose output macAddresses and ipAddresses read.
    static const char* const kHardwareAddressPipeline;
    static const char* const kIpAddressPipeline;

    // false when sysinfo fails; the outputs are then untouched.
    static bool sizeOfMemory(unsigned long long& ram, unsigned long long& ramAndSwap);
    // RAM in kibibytes, 0 when sysinfo fails.
    static long long sizeOfMemory();

    static long approxMHz();
    static unsigned short numberOfCPUs();
    static std::string architecture();
    static std::string nameOfCPU();
    static std::vector<unsigned long long> macAddresses();
    static std::vector<std::string> ipAddresses();

    // The same rules applied to an open cpuinfo-format stream, read from its current
    // position; the stream is not closed.
    static long approxMHz(std::FILE* cpuinfo);
    static unsigned short numberOfCPUs(std::FILE* cpuinfo);
    static std::string nameOfCPU(std::FILE* cpuinfo);

    // Whole output of a shell command; false when it cannot be started.
    static bool readCommandOutput(const char* command, std::string& output);
    // Runs of newlines give no empty pieces; an empty text or a leading newline gives
    // one empty first piece.
    static std::vector<std::string> splitLines(const std::string& text);
    // Each line read as a hexadecimal number, 0 for a line that holds none.
    static std::vector<unsigned long long> parseHardwareAddresses(const std::string& output);
};

} // namespace velmora
