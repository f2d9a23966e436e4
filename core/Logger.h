#pragma once
// Process-wide log sink: a log file with time stamps and/or syslog.
// Sinks and threshold change only at start-up and exit; Log() is called from every thread,
// and one mutex keeps each line whole across the file write and the syslog call.
// Messages often carry text from callers, so both sinks get them escaped into one line and
// cut to a bounded length.
#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>

class Logger {
public:
    enum eLogLevel : int { eError = 1, eWarn = 2, eInfo = 3, eDebug = 4, eTrace = 5 };

    // Longest message text in a line once escaped; a longer one is cut and marked.
    static constexpr size_t kMaxMessageBytes = 4096;

    static Logger* GetInstance();

    void Log(eLogLevel level, std::string text);
    void Log(int level, std::string text) { Log(static_cast<eLogLevel>(level), std::move(text)); }
    bool OpenLog(std::string path);
    // The identity must stay valid while syslog is open: openlog keeps the pointer.
    bool OpenSyslog(const char* ident);
    // Closes syslog and the log file; false when closing the file reported an error, after
    // which it is closed all the same and may be opened again.
    bool CloseLog();
    void SetLogLevel(eLogLevel level);
    void SetLogLevel(int level) { SetLogLevel(static_cast<eLogLevel>(level)); }

    // Prefix of a level as it stands in front of every message.
    static const char* Prefix(int level);

    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

private:
    Logger() = default;
    ~Logger();

    // A raw descriptor rather than a stream: opened close-on-exec so that plug-in children
    // never inherit it, and each line goes out in one append write.
    int logFd_ = -1;
    std::atomic<int> threshold_{eInfo};
    bool syslogOpen_ = false;
    std::mutex mutex_;
};
