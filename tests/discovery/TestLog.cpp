#include "TestLog.h"

#include <unistd.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

TestLog& TestLog::Get()
{
    static TestLog instance;
    return instance;
}

TestLog::TestLog()
{
    path_ = std::string(CORVANE_BINARY_DIR) + "/discovery-test-" + std::to_string(::getpid()) + ".log";
    ::unlink(path_.c_str());
    if (!Logger::GetInstance()->OpenLog(path_))
        throw std::runtime_error("cannot open test log " + path_);
    Logger::GetInstance()->SetLogLevel(Logger::eTrace);
}

// Forked children end with _exit, so only the test process itself removes the file.
TestLog::~TestLog()
{
    Logger::GetInstance()->CloseLog();
    ::unlink(path_.c_str());
}

size_t TestLog::Mark() const
{
    return Since(0).size();
}

std::string TestLog::Since(size_t mark) const
{
    std::ifstream in(path_, std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return mark < all.size() ? all.substr(mark) : std::string();
}

std::string TestLog::Line(Logger::eLogLevel level, const std::string& text)
{
    return std::string(Logger::Prefix(level)) + text + "\n";
}

int TestLog::Count(const std::string& log, const std::string& line)
{
    int count = 0;
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + line.size()))
        ++count;
    return count;
}
