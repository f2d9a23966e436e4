#pragma once
// Helpers shared by the fuzz targets: a per-process scratch file that holds the current input,
// and a hard stop that libFuzzer reports as a crash with the input that caused it.
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace fuzz {

// Where the targets keep their fixtures: $TMPDIR (run.sh points it into the build tree), else /tmp.
inline std::string TempDir()
{
    const char* dir = std::getenv("TMPDIR");
    return dir != nullptr && *dir != '\0' ? dir : "/tmp";
}

// The whole input in a file whose name stays the same for the life of the process.
class ScratchFile {
public:
    explicit ScratchFile(const std::string& suffix)
        : path_(TempDir() + "/corvane_fuzz_" + std::to_string(::getpid()) + suffix)
    {
    }
    ~ScratchFile() { ::unlink(path_.c_str()); }
    const std::string& Write(const uint8_t* data, size_t size)
    {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return path_;
    }

private:
    std::string path_;
};

[[noreturn]] inline void Fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz property violated: %s\n", what.c_str());
    std::abort();
}

// libFuzzer's timeout alarm is installed without SA_RESTART, so every few seconds a read from
// a plug-in pipe fails with EINTR and its output is cut short. The daemon's own handlers
// restart, so targets that run plug-ins give the alarm the same flag. Call it from the first
// input: libFuzzer installs its handlers after LLVMFuzzerInitialize.
inline bool RestartAfterAlarm()
{
    struct sigaction action;
    if (::sigaction(SIGALRM, nullptr, &action) != 0)
        return false;
    action.sa_flags |= SA_RESTART;
    return ::sigaction(SIGALRM, &action, nullptr) == 0;
}

// Printable form of arbitrary bytes for the failure message.
inline std::string Escaped(const std::string& text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        }
    }
    return out;
}

}  // namespace fuzz
