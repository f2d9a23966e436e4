#pragma once
// Small helpers shared by the test executables: temporary directories, files, namespaces.
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

namespace corvane_test {

// A fresh directory under /tmp, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir()
    {
        char tmpl[] = "/tmp/corvane-test-XXXXXX";
        const char* made = mkdtemp(tmpl);
        if (made == nullptr)
            ADD_FAILURE() << "cannot make a temporary directory under /tmp";
        path_ = made ? made : "";
    }
    ~TempDir()
    {
        if (!path_.empty())
            std::system(("rm -rf '" + path_ + "'").c_str());
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
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
