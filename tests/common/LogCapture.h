#pragma once
// Test helper: the process log goes to a file in the build tree at the most verbose level, opened
// once per test process; a capture reads back what was logged since it was made, forked children
// included. Used from the test's own thread.
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "common/TestSupport.h"
#include "core/Logger.h"

namespace corvane_test {

class LogCapture {
public:
    LogCapture() : start_(Size()) {}

    std::string Text() const
    {
        const std::string all = ReadFile(Path());
        return start_ < all.size() ? all.substr(start_) : std::string();
    }
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
    int Count(const std::string& text) const { return CountOf(Text(), text); }

    // The line as the logger writes it, without its time stamp.
    static std::string Line(Logger::eLogLevel level, const std::string& text)
    {
        return std::string(Logger::Prefix(level)) + text + "\n";
    }

    // Opens the log on the first call; throws std::runtime_error when it cannot.
    static const std::string& Path()
    {
        struct File {
            const pid_t owner = ::getpid();
            const std::string path = std::string(CORVANE_BINARY_DIR) + "/test-log-" + std::to_string(owner) + ".log";
            File()
            {
                ::unlink(path.c_str());
                if (!Logger::GetInstance()->OpenLog(path))
                    throw std::runtime_error("cannot open the test log " + path);
                Logger::GetInstance()->SetLogLevel(Logger::eTrace);
            }
            // A child that leaves through exit() must not take the file from its parent.
            ~File()
            {
                if (::getpid() != owner)
                    return;
                Logger::GetInstance()->CloseLog();
                ::unlink(path.c_str());
            }
        };
        static const File file;
        return file.path;
    }

private:
    static std::string::size_type Size()
    {
        struct stat st;
        return ::stat(Path().c_str(), &st) == 0 ? static_cast<std::string::size_type>(st.st_size) : 0;
    }

    std::string::size_type start_;
};

}  // namespace corvane_test
