#pragma once
// Test helper: a scratch folder for the fake plug-in executable (data/exec/fake_plugin.sh),
// named to it through FAKE_DIR; sets what it prints and its exit code, reads back its records.
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "common/TestSupport.h"

class FakePluginDir {
public:
    FakePluginDir() { ::setenv("FAKE_DIR", dir_.path().c_str(), 1); }

    const std::string& Path() const { return dir_.path(); }
    std::string File(const std::string& name) const { return dir_ / name; }
    void Write(const std::string& name, const std::string& text) const { corvane_test::WriteFile(File(name), text); }
    std::string Read(const std::string& name) const { return corvane_test::ReadFile(File(name)); }
    bool Exists(const std::string& name) const { return corvane_test::Exists(File(name)); }
    void Clear() const
    {
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path()))
            std::filesystem::remove_all(entry.path());
    }

private:
    corvane_test::TempDir dir_;
};

// Whether the test process has a child that has ended but was not collected.
inline bool HasZombieChild()
{
    const std::string self = std::to_string(::getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        // A process that ends while it is read fails the read (libstdc++ throws for it).
        std::string stat;
        try {
            std::ifstream in(entry.path() / "stat");
            stat.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        } catch (const std::ios_base::failure&) {
            continue;
        }
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
