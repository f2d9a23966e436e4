#pragma once
// Small helpers shared by the test executables: temporary directories, files, namespaces.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/TempDir.h"

namespace corvane_test {

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string Repeat(const std::string& piece, size_t times)
{
    std::string s;
    for (size_t i = 0; i < times; ++i)
        s += piece;
    return s;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

// How often `what` stands in `text`, not overlapping.
inline int CountOf(const std::string& text, const std::string& what)
{
    if (what.empty())
        return 0;
    int n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        ++n;
    return n;
}

// Whether anything, a dangling link included, stands at the path.
inline bool Exists(const std::string& path)
{
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

// Descriptors of this process that refer to the given file.
inline std::vector<int> DescriptorsOf(const std::string& path)
{
    struct stat wanted {};
    std::vector<int> fds;
    if (stat(path.c_str(), &wanted) != 0)
        return fds;
    DIR* dir = opendir("/proc/self/fd");
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        const int fd = std::stoi(entry->d_name);
        struct stat st {};
        if (fd != dirfd(dir) && fstat(fd, &st) == 0 && st.st_dev == wanted.st_dev
            && st.st_ino == wanted.st_ino)
            fds.push_back(fd);
    }
    closedir(dir);
    return fds;
}

// The message of the exception of type E that `f` throws, or "" when it throws none; any
// other exception goes on to fail the test.
template <typename E, typename F>
std::string thrownMessage(F f)
{
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "";
}

// True inside a network namespace that holds nothing but the loopback interface.
inline bool InPrivateNetwork()
{
    std::ifstream dev("/proc/net/dev");
    std::string line;
    int interfaces = 0;
    bool onlyLoopback = true;
    while (std::getline(dev, line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        std::string name = line.substr(0, colon);
        name.erase(0, name.find_first_not_of(' '));
        ++interfaces;
        if (name != "lo")
            onlyLoopback = false;
    }
    return interfaces > 0 && onlyLoopback;
}

// Anything that multicasts must never run on a host network: fail loudly instead.
#define CORVANE_REQUIRE_PRIVATE_NETWORK()                                                        \
    do {                                                                                         \
        if (!corvane_test::InPrivateNetwork())                                                   \
            FAIL() << "refusing to run: not inside a private network namespace with only "     \
                      "loopback (run the suite with scripts/test.sh)";                           \
    } while (0)

}  // namespace corvane_test
