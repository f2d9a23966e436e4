#include "velmora/Hardware.h"

#include "velmora/CommandOutput.h"

#include <sys/sysinfo.h>

#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace velmora {

const char* const Hardware::kHardwareAddressPipeline =
    "env LC_ALL=C /sbin/ifconfig -a | sed -n -e 's/.*addr \\([^ ]*\\) */\\1/p' | sed -n -e 's/://gp'";
const char* const Hardware::kIpAddressPipeline =
    "env LC_ALL=C /sbin/ifconfig | sed -n '/addr:/s/ [^r]*..//gp'";

namespace {

const char* const kCpuInfoPath = "/proc/cpuinfo";

// One fgets piece split at its first colon; false for a piece without one.
// The key keeps trailing tabs and blanks; the value skips the blanks after the colon
// and ends at the first newline.
bool splitCpuInfoLine(const char* line, std::string& key, std::string& value)
{
    const char* colon = std::strchr(line, ':');
    if (colon == nullptr)
        return false;
    key.assign(line, colon);
    const char* start = colon + 1;
    while (*start == ' ')
        ++start;
    const char* newline = std::strchr(start, '\n');
    value = newline ? std::string(start, newline) : std::string(start);
    return true;
}

bool keyIs(const std::string& key, const char* name)
{
    return strncasecmp(key.c_str(), name, std::strlen(name)) == 0;
}

// Calls visit(key, value) for every line with a colon until it returns false.
template <typename Visit>
void forEachCpuInfoLine(std::FILE* file, Visit visit)
{
    char buffer[200];
    std::string key;
    std::string value;
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        if (splitCpuInfoLine(buffer, key, value) && !visit(key, value))
            return;
    }
}

// Opens the real file, runs read on it and closes it; fallback when it cannot be opened.
template <typename Result, typename Read>
Result withCpuInfo(Result fallback, Read read)
{
    std::FILE* file = std::fopen(kCpuInfoPath, "r");
    if (file == nullptr)
        return fallback;
    Result result = read(file);
    std::fclose(file);
    return result;
}

} // namespace

bool Hardware::sizeOfMemory(unsigned long long& ram, unsigned long long& ramAndSwap)
{
    struct sysinfo info;
    if (sysinfo(&info) != 0)
        return false;
    const unsigned long long unit = info.mem_unit;
    ram = unit * info.totalram;
    ramAndSwap = unit * (static_cast<unsigned long long>(info.totalram) + info.totalswap);
    return true;
}

long long Hardware::sizeOfMemory()
{
    unsigned long long ram = 0;
    unsigned long long ramAndSwap = 0;
    if (!sizeOfMemory(ram, ramAndSwap))
        return 0;
    return static_cast<long long>(static_cast<double>(ram) * 0.0009765625);
}

long Hardware::approxMHz(std::FILE* cpuinfo)
{
    long result = 0;
    forEachCpuInfoLine(cpuinfo, [&](const std::string& key, std::string& value) {
        if (!keyIs(key, "cpu MHz"))
            return true;
        const std::string::size_type dot = value.find('.');
        if (dot != std::string::npos)
            value.erase(dot);
        result = std::strtol(value.c_str(), nullptr, 10);
        return false;
    });
    return result;
}

unsigned short Hardware::numberOfCPUs(std::FILE* cpuinfo)
{
    unsigned long long result = 1;
    forEachCpuInfoLine(cpuinfo, [&](const std::string& key, const std::string& value) {
        unsigned int number = 0;
        if (keyIs(key, "processor") && std::sscanf(value.c_str(), "%ud", &number) >= 1) {
            // Counted wide so that a huge processor number cannot wrap below 1.
            const unsigned long long count = static_cast<unsigned long long>(number) + 1;
            if (count > result)
                result = count;
        }
        return true;
    });
    return static_cast<unsigned short>(result > 0xFFFF ? 0xFFFF : result);
}

std::string Hardware::nameOfCPU(std::FILE* cpuinfo)
{
    std::string result;
    forEachCpuInfoLine(cpuinfo, [&](const std::string& key, const std::string& value) {
        if (!keyIs(key, "model name"))
            return true;
        result = value;
        return false;
    });
    return result;
}

long Hardware::approxMHz()
{
    return withCpuInfo<long>(0, [](std::FILE* f) { return approxMHz(f); });
}

unsigned short Hardware::numberOfCPUs()
{
    return withCpuInfo<unsigned short>(1, [](std::FILE* f) { return numberOfCPUs(f); });
}

std::string Hardware::nameOfCPU()
{
    return withCpuInfo<std::string>(std::string(), [](std::FILE* f) { return nameOfCPU(f); });
}

bool Hardware::readCommandOutput(const char* command, std::string& output)
{
    return velmora::readCommandOutput(command, output);
}

std::vector<std::string> Hardware::splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string::size_type start = 0;
    std::string::size_type end = text.find('\n');
    while (start != std::string::npos || end != std::string::npos) {
        lines.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        start = text.find_first_not_of('\n', end);
        end = text.find('\n', start);
    }
    return lines;
}

std::vector<unsigned long long> Hardware::parseHardwareAddresses(const std::string& output)
{
    std::vector<unsigned long long> addresses;
    for (const std::string& line : splitLines(output))
        addresses.push_back(std::strtoull(line.c_str(), nullptr, 16));
    return addresses;
}

std::string Hardware::architecture()
{
    std::string output;
    if (!readCommandOutput("uname -m", output))
        return std::string();
    for (char& c : output)
        if (c == '\n')
            c = ' ';
    return output;
}

std::vector<unsigned long long> Hardware::macAddresses()
{
    std::string output;
    if (!readCommandOutput(kHardwareAddressPipeline, output))
        return {};
    return parseHardwareAddresses(output);
}

std::vector<std::string> Hardware::ipAddresses()
{
    std::string output;
    if (!readCommandOutput(kIpAddressPipeline, output))
        return {};
    return splitLines(output);
}

} // namespace velmora
