// Log thresholds, prefixes, the file line format and whole lines under concurrency.
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

INSTANTIATE_TEST_SUITE_P(Table, LoggerLevels, ::testing::ValuesIn(kLevels));

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
