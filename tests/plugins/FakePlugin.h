#pragma once
// Test helper: a scratch folder for the fake plug-in executable (data/exec/fake_plugin.sh),
// named to it through FAKE_DIR; sets what it prints and its exit code, reads back its records.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

class FakePluginDir {
public:
    FakePluginDir()
    {
        char name[] = "/tmp/corvane_fake_XXXXXX";
        path_ = ::mkdtemp(name);
        ::setenv("FAKE_DIR", path_.c_str(), 1);
    }
    ~FakePluginDir() { std::filesystem::remove_all(path_); }

    const std::string& Path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }
    void Write(const std::string& name, const std::string& text) const
    {
        std::ofstream(File(name), std::ios::binary) << text;
    }
    std::string Read(const std::string& name) const
    {
        std::ifstream in(File(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Exists(const std::string& name) const { return std::filesystem::exists(File(name)); }
    void Clear() const
    {
        for (const auto& entry : std::filesystem::directory_iterator(path_))
            std::filesystem::remove_all(entry.path());
    }

private:
    std::string path_;
};

// Whether the test process has a child that has ended but was not collected.
inline bool HasZombieChild()
{
    const std::string self = std::to_string(::getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::ifstream in(entry.path() / "stat");
        std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto close = stat.rfind(')');
        if (close == std::string::npos || close + 4 >= stat.size())
            continue;
        // After "pid (name) " come the state and the parent's pid.
        const char state = stat[close + 2];
        const std::string rest = stat.substr(close + 4);
        if (state == 'Z' && rest.substr(0, rest.find(' ')) == self)
            return true;
    }
    return false;
}
