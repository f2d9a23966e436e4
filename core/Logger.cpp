#include "core/Logger.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <fcntl.h>
#include <syslog.h>
#include <unistd.h>

#include "core/Utf8.h"
#include "core/WriteAll.h"

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

namespace {

const char kHex[] = "0123456789abcdef";

void AppendHexEscape(std::string& out, unsigned char byte)
{
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xF];
}

// The message as it may stand in one log line: every control character (C0, DEL, C1) and
// every Unicode line or paragraph separator is escaped, as is each byte that is not part of
// well-formed UTF-8, and the backslash itself, so that no text can end a line or pass for
// one of its escapes. Longer results are cut at a character boundary and say so.
std::string LogText(const std::string& text)
{
    std::string out;
    out.reserve(std::min(text.size(), Logger::kMaxMessageBytes) + 16);
    std::string piece;
    size_t at = 0;
    while (at < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        piece.clear();
        size_t used = 1;
        uint32_t cp = 0;
        if (c == '\\') {
            piece = "\\\\";
        } else if (c == '\n') {
            piece = "\\n";
        } else if (c == '\r') {
            piece = "\\r";
        } else if (c == '\t') {
            piece = "\\t";
        } else if (c < 0x80) {
            if (Utf8::IsControl(c))
                AppendHexEscape(piece, c);
            else
                piece.assign(1, static_cast<char>(c));
        } else if ((used = Utf8::Sequence(text, at, cp)) == 0) {
            used = 1;
            AppendHexEscape(piece, c);
        } else if (Utf8::IsControl(cp)) {
            piece = "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                piece += kHex[(cp >> shift) & 0xF];
        } else {
            piece.assign(text, at, used);
        }
        if (out.size() + piece.size() > Logger::kMaxMessageBytes) {
            out += "... [cut: message of " + std::to_string(text.size()) + " bytes]";
            return out;
        }
        out += piece;
        at += used;
    }
    return out;
}

}  // namespace

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

    const std::string line = Prefix(level) + LogText(text);

    std::lock_guard<std::mutex> lock(mutex_);
    if (logFd_ >= 0) {
        const std::string fileLine = stamp + line + '\n';
        // Failed writes are not reported: there is nowhere to report them.
        WriteAll(logFd_, fileLine.data(), fileLine.size());
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
        // The descriptor is released whatever close answers (on Linux even with EINTR); only
        // the answer is passed on.
        const bool closed = ::close(logFd_) == 0 || errno == EINTR;
        logFd_ = -1;
        return closed;
    }
    return true;
}

void Logger::SetLogLevel(eLogLevel level)
{
    threshold_.store(static_cast<int>(level));
}
