// The test process's log file: opened once at level 5 so that tests can read what the
// service logged since a mark. Single-threaded use by the tests; children append to it.
#pragma once

#include <string>

#include "core/Logger.h"

class TestLog {
public:
    static TestLog& Get();
    // Current end of the log; Since(mark) returns what was written after it.
    size_t Mark() const;
    std::string Since(size_t mark) const;
    // The line as the logger writes it, without its time stamp.
    static std::string Line(Logger::eLogLevel level, const std::string& text);
    static int Count(const std::string& log, const std::string& line);

private:
    TestLog();
    ~TestLog();
    std::string path_;
};
