#include "core/Logger.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

Logger* Logger::GetInstance()
{
    static Logger loggerInstance;
    return &loggerInstance;
}

Logger::~Logger()
{
    if (logFd_ >= 0)
        ::close(logFd_);
}

const char* Logger::Prefix(int level)
{
    switch (level) {
    case eError: return "ERROR:  ";
    case eWarn: return "WARN:   ";
    case eInfo: return "INFO:   ";
    case eDebug:
    case eTrace: return "DEBUG:  ";
    default: return "-----:  ";
    }
}

static int SyslogPriority(int level)
{
    switch (level) {
    case Logger::eError: return LOG_ERR;
    case Logger::eWarn: return LOG_WARNING;
    case Logger::eInfo: return LOG_INFO;
    case Logger::eDebug:
    case Logger::eTrace: return LOG_DEBUG;
    default: return LOG_NOTICE;
    }
}

void Logger::Log(eLogLevel level, std::string text)
{
    if (static_cast<int>(level) > threshold_.load())
        return;

    char stamp[80];
    std::time_t now = std::time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    if (std::strftime(stamp, sizeof stamp, "%F %T  ", &local) == 0)
        stamp[0] = '\0';

    const std::string line = std::string(Prefix(level)) + text;

    std::lock_guard<std::mutex> lock(mutex_);
    if (logFd_ >= 0) {
        const std::string fileLine = stamp + line + '\n';
        const char* p = fileLine.data();
        size_t left = fileLine.size();
        while (left > 0) {
            ssize_t n = ::write(logFd_, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;  // failed writes are not reported
            p += n;
            left -= static_cast<size_t>(n);
        }
    }
    if (syslogOpen_)
        syslog(SyslogPriority(level) | LOG_LOCAL5, "%s", line.c_str());
}

bool Logger::OpenLog(std::string path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (logFd_ >= 0)
        return false;
    logFd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    return logFd_ >= 0;
}

bool Logger::OpenSyslog(const char* ident)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (syslogOpen_)
        return false;
    openlog(ident, LOG_PID, LOG_LOCAL5);
    syslogOpen_ = true;
    return true;
}

bool Logger::CloseLog()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (syslogOpen_) {
        closelog();
        syslogOpen_ = false;
    }
    if (logFd_ >= 0) {
        if (::close(logFd_) != 0 && errno != EINTR)
            return false;
        logFd_ = -1;
    }
    return true;
}

void Logger::SetLogLevel(eLogLevel level)
{
    threshold_.store(static_cast<int>(level));
}
