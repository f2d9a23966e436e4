// Log thresholds, prefixes, the file line format and whole lines under concurrency.
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <thread>
#include <vector>

#include "common/TestSupport.h"
#include "core/Logger.h"

namespace {

struct LevelCase {
    int threshold;
    int level;
    const char* prefix;  // nullptr: dropped
};

const LevelCase kLevels[] = {
    {3, 0, "-----:  "}, {3, 1, "ERROR:  "}, {3, 2, "WARN:   "}, {3, 3, "INFO:   "},
    {3, 4, nullptr},    {3, 5, nullptr},    {5, 4, "DEBUG:  "}, {5, 5, "DEBUG:  "},
    {9, 7, "-----:  "}, {0, 1, nullptr},    {0, 0, "-----:  "}, {0, -2, "-----:  "},
    {-1, 0, nullptr},
};

class LoggerLevels : public ::testing::TestWithParam<LevelCase> {};

// A message reaches the file only when its level is at most the threshold, with its prefix.
TEST_P(LoggerLevels, ThresholdAndPrefix)
{
    const LevelCase& c = GetParam();
    corvane_test::TempDir dir;
    Logger* log = Logger::GetInstance();
    ASSERT_TRUE(log->OpenLog(dir / "x.log"));
    log->SetLogLevel(c.threshold);
    log->Log(c.level, "message");
    ASSERT_TRUE(log->CloseLog());
    std::string text = corvane_test::ReadFile(dir / "x.log");
    if (!c.prefix) {
        EXPECT_EQ(text, "");
    } else {
        std::regex line("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  " + std::string(c.prefix) + "message\n");
        EXPECT_TRUE(std::regex_match(text, line)) << text;
    }
}

std::string Number(int n)
{
    return n < 0 ? "Minus" + std::to_string(-n) : std::to_string(n);
}

INSTANTIATE_TEST_SUITE_P(Table, LoggerLevels, ::testing::ValuesIn(kLevels),
                         [](const ::testing::TestParamInfo<LevelCase>& param) {
                             return "Threshold" + Number(param.param.threshold) + "Level" +
                                    Number(param.param.level);
                         });

// The file is appended to, never truncated, and a second OpenLog while open is refused.
TEST(Logger, AppendsAndRefusesSecondOpen)
{
    corvane_test::TempDir dir;
    corvane_test::WriteFile(dir / "x.log", "old line\n");
    Logger* log = Logger::GetInstance();
    ASSERT_TRUE(log->OpenLog(dir / "x.log"));
    EXPECT_FALSE(log->OpenLog(dir / "other.log"));
    log->Log(Logger::eInfo, "100% done %s %n");
    EXPECT_TRUE(log->CloseLog());
    EXPECT_TRUE(log->CloseLog());
    std::string text = corvane_test::ReadFile(dir / "x.log");
    EXPECT_EQ(text.rfind("old line\n", 0), 0u);
    EXPECT_NE(text.find("INFO:   100% done %s %n\n"), std::string::npos);
    EXPECT_FALSE(std::ifstream(dir / "other.log").good());
    // Reopening after CloseLog works.
    EXPECT_TRUE(log->OpenLog(dir / "other.log"));
    EXPECT_TRUE(log->CloseLog());
}

// An unopenable path leaves the file closed.
TEST(Logger, UnopenablePath)
{
    EXPECT_FALSE(Logger::GetInstance()->OpenLog("/nonexistent-dir/x.log"));
    Logger::GetInstance()->Log(Logger::eError, "dropped");
    EXPECT_TRUE(Logger::GetInstance()->CloseLog());
}

// Syslog can be opened once, closed and opened again.
TEST(Logger, SyslogOpenClose)
{
    Logger* log = Logger::GetInstance();
    EXPECT_TRUE(log->OpenSyslog("corvaned-test"));
    EXPECT_FALSE(log->OpenSyslog("corvaned-test"));
    EXPECT_TRUE(log->CloseLog());
    EXPECT_TRUE(log->OpenSyslog("corvaned-test"));
    EXPECT_TRUE(log->CloseLog());
}

// Many threads logging at once leave only whole lines.
TEST(Logger, ConcurrentLinesStayWhole)
{
    corvane_test::TempDir dir;
    Logger* log = Logger::GetInstance();
    ASSERT_TRUE(log->OpenLog(dir / "x.log"));
    const int threads = 8, lines = 500;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([t, log] {
            for (int i = 0; i < lines; ++i)
                log->Log(Logger::eWarn, "thread " + std::to_string(t) + " line " + std::to_string(i) +
                                            " " + std::string(200, 'a' + t));
        });
    for (auto& th : pool)
        th.join();
    log->CloseLog();
    std::ifstream in(dir / "x.log");
    std::regex whole("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  WARN:   thread (\\d) line \\d+ ([a-h])\\2{199}");
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
        EXPECT_EQ(m[2].str()[0], 'a' + std::stoi(m[1].str()));
        ++count;
    }
    EXPECT_EQ(count, threads * lines);
}

struct TextCase {
    const char* name;
    std::string text;
    std::string logged;  // the message as it must stand in the line
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.text); }

const TextCase kTexts[] = {
    {"FormatSigns", "plain text, 100% %s %n", "plain text, 100% %s %n"},
    {"Utf8", "Gr\xc3\xbc\xc3\x9f" "e \xe6\xb8\xa9\xe5\xba\xa6 \xe2\x82\xac \xf0\x9f\x94\xa5",
     "Gr\xc3\xbc\xc3\x9f" "e \xe6\xb8\xa9\xe5\xba\xa6 \xe2\x82\xac \xf0\x9f\x94\xa5"},
    {"ForgedLine", "x\n2026-01-01 00:00:00  INFO:   forged line", "x\\n2026-01-01 00:00:00  INFO:   forged line"},
    {"LineEnds", "cr\rlf\ncrlf\r\n", "cr\\rlf\\ncrlf\\r\\n"},
    {"C0Controls", "tab\tvt\vff\fesc\x1b[31mbel\a", "tab\\tvt\\x0bff\\x0cesc\\x1b[31mbel\\x07"},
    {"Nul", std::string("nul\0byte", 8), "nul\\x00byte"},
    {"Del", "del\x7f", "del\\x7f"},
    // NEL and the other C1 controls, the line and paragraph separators.
    {"C1AndSeparators", "nel\xc2\x85" "csi\xc2\x9b" "ls\xe2\x80\xa8" "ps\xe2\x80\xa9",
     "nel\\u0085csi\\u009bls\\u2028ps\\u2029"},
    {"NoBreakSpace", "nbsp\xc2\xa0ok", "nbsp\xc2\xa0ok"},
    // Bytes that are not well-formed UTF-8 are escaped one by one.
    {"LoneContinuation", "lone\x85", "lone\\x85"},
    {"ByteFF", "ff\xff", "ff\\xff"},
    {"Overlong", "overlong\xc0\x8a", "overlong\\xc0\\x8a"},
    {"Surrogate", "surrogate\xed\xa0\x80", "surrogate\\xed\\xa0\\x80"},
    {"CutAtEnd", "cut\xe2\x80", "cut\\xe2\\x80"},
    {"CutBeforeLetter", "\xe2\x80" "a", "\\xe2\\x80" "a"},
    // The escape character itself, so that an escape in the line always means a control.
    {"Backslash", "back\\slash \\n", "back\\\\slash \\\\n"},
};

class LoggerText : public ::testing::TestWithParam<TextCase> {};

// Caller text never splits or forges a line: the message arrives escaped in one line.
TEST_P(LoggerText, EscapedIntoOneLine)
{
    corvane_test::TempDir dir;
    Logger* log = Logger::GetInstance();
    ASSERT_TRUE(log->OpenLog(dir / "x.log"));
    log->SetLogLevel(3);
    log->Log(Logger::eError, GetParam().text);
    ASSERT_TRUE(log->CloseLog());
    const std::string text = corvane_test::ReadFile(dir / "x.log");
    ASSERT_GE(text.size(), 21u);
    EXPECT_EQ(text.substr(21), "ERROR:  " + GetParam().logged + "\n");
    EXPECT_EQ(text.find('\n'), text.size() - 1);
}

INSTANTIATE_TEST_SUITE_P(Table, LoggerText, ::testing::ValuesIn(kTexts),
                         [](const ::testing::TestParamInfo<TextCase>& param) { return param.param.name; });

// A message longer than the cap is cut at a character boundary and says so; one that fits
// exactly stays whole.
TEST(Logger, LongMessagesAreCutAndMarked)
{
    const size_t cap = Logger::kMaxMessageBytes;
    const struct {
        std::string text;
        std::string kept;  // the escaped text before the marker; the whole text when not cut
        bool cut;
    } cases[] = {
        {std::string(cap, 'a'), std::string(cap, 'a'), false},
        {std::string(cap + 1, 'a'), std::string(cap, 'a'), true},
        {std::string(1 << 20, 'n'), std::string(cap, 'n'), true},
        // Escapes and UTF-8 characters are never split by the cut.
        {std::string(cap, '\n'), corvane_test::Repeat("\\n", cap / 2), true},
        {"a" + corvane_test::Repeat("\xe2\x82\xac", cap), "a" + corvane_test::Repeat("\xe2\x82\xac", (cap - 1) / 3), true},
    };
    for (const auto& c : cases) {
        corvane_test::TempDir dir;
        Logger* log = Logger::GetInstance();
        ASSERT_TRUE(log->OpenLog(dir / "x.log"));
        log->SetLogLevel(3);
        log->Log(Logger::eWarn, c.text);
        ASSERT_TRUE(log->CloseLog());
        const std::string text = corvane_test::ReadFile(dir / "x.log");
        ASSERT_GE(text.size(), 21u);
        const std::string marker = "... [cut: message of " + std::to_string(c.text.size()) + " bytes]";
        EXPECT_EQ(text.substr(21), "WARN:   " + c.kept + (c.cut ? marker : "") + "\n") << c.text.size();
        EXPECT_EQ(text.find('\n'), text.size() - 1);
    }
}

// A close that fails still releases the file: CloseLog says so, and the log can be opened
// again, its lines going to the new file only.
TEST(Logger, FailedCloseLeavesTheLogClosed)
{
    corvane_test::TempDir dir;
    Logger* log = Logger::GetInstance();
    ASSERT_TRUE(log->OpenLog(dir / "x.log"));
    // The descriptor is closed behind the logger's back, so its own close fails with EBADF.
    int fd = -1;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(entry.path(), error) == dir / "x.log")
            fd = std::stoi(entry.path().filename());
    }
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::close(fd), 0);
    EXPECT_FALSE(log->CloseLog());
    ASSERT_TRUE(log->OpenLog(dir / "y.log"));
    log->Log(Logger::eError, "after");
    EXPECT_TRUE(log->CloseLog());
    EXPECT_NE(corvane_test::ReadFile(dir / "y.log").find("ERROR:  after\n"), std::string::npos);
}

// The log descriptor never leaks into child processes.
TEST(Logger, FileIsCloseOnExec)
{
    corvane_test::TempDir dir;
    Logger* log = Logger::GetInstance();
    ASSERT_TRUE(log->OpenLog(dir / "x.log"));
    std::string cmd = "ls -l /proc/self/fd/ | grep -c 'x.log' > '" + (dir / "count") + "'";
    (void)std::system(cmd.c_str());
    log->CloseLog();
    EXPECT_EQ(corvane_test::ReadFile(dir / "count"), "0\n");
}

}  // namespace
