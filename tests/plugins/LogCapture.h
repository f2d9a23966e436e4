#pragma once
// Test helper: sends the process log to a temporary file at the most verbose level and reads
// back what was logged since the helper was made. One log file per test process.
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include "core/Logger.h"

class LogCapture {
public:
    LogCapture() : start_(Size()) {}

    std::string Text() const
    {
        std::ifstream in(Path());
        in.seekg(static_cast<std::streamoff>(start_));
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    bool Contains(const std::string& text) const { return Text().find(text) != std::string::npos; }
    int Count(const std::string& text) const
    {
        const std::string all = Text();
        int n = 0;
        for (std::string::size_type p = all.find(text); p != std::string::npos;
             p = all.find(text, p + text.size()))
            ++n;
        return n;
    }

    static const std::string& Path()
    {
        struct File {
            std::string path = "/tmp/corvane_plugins_test_" + std::to_string(::getpid()) + ".log";
            File()
            {
                ::unlink(path.c_str());
                Logger::GetInstance()->OpenLog(path);
                Logger::GetInstance()->SetLogLevel(Logger::eTrace);
            }
            ~File() { ::unlink(path.c_str()); }
        };
        static const File file;
        return file.path;
    }

private:
    static std::streamoff Size()
    {
        std::ifstream in(Path(), std::ios::ate);
        return in ? static_cast<std::streamoff>(in.tellg()) : 0;
    }

    std::streamoff start_;
};
