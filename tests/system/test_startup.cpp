// The real corvaned binary: command line, configuration switches, pid file, log lines, exit.
#include <regex>

#include "common/Process.h"

using namespace corvane_test;

namespace {

const std::string kUsage =
    "\nUsage:\n corvaned [options]\n\nOptions:\n"
    " -c <cfg>      use file CFG as configuration file\n"
    " -D            run as daemon\n"
    " -h            print this help\n"
    " -l <log>      output logging messages to file LOG\n"
    " -p <pid>      store the pid of the daemon in file PID\n\n";

class Startup : public ::testing::Test {
protected:
    void SetUp() override { CORVANE_REQUIRE_PRIVATE_NETWORK(); }

    std::string Conf(const std::string& backendLines)
    {
        std::string path = dir / "corvaned.conf";
        WriteFile(path, "[backend]\nport=18083\nplugin_dir=" + (dir / "plugins") + "\n" + backendLines +
                            "[global]\nsqllite_db=" + (dir / "users.sqlite") + "\n");
        return path;
    }
    static std::string ReadPid(const std::string& path) { return ReadFile(path); }
    // The file is there before the number is in it: wait for a whole pid and its newline.
    static bool HoldsPid(const std::string& path)
    {
        return std::regex_match(ReadFile(path), std::regex("[1-9][0-9]*\n"));
    }

    TempDir dir;
};

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    const char* diagnostic;  // what getopt writes before the usage text
};

class StartupUsage : public Startup, public ::testing::WithParamInterface<UsageCase> {};

// -h, an unknown option and a missing argument print the usage text and end with status 1.
TEST_P(StartupUsage, PrintsUsageAndFails)
{
    std::vector<std::string> argv = {DaemonPath()};
    argv.insert(argv.end(), GetParam().args.begin(), GetParam().args.end());
    Process p(argv, dir / "err");
    EXPECT_EQ(p.Wait(), 1);
    std::string diagnostic = GetParam().diagnostic;
    if (!diagnostic.empty())
        diagnostic = DaemonPath() + ": " + diagnostic;
    EXPECT_EQ(ReadFile(dir / "err"), diagnostic + kUsage);
}

INSTANTIATE_TEST_SUITE_P(
    Options, StartupUsage,
    ::testing::Values(UsageCase{"Help", {"-h"}, ""},
                      UsageCase{"Unknown", {"-x"}, "invalid option -- 'x'\n"},
                      UsageCase{"MissingArgument", {"-c"}, "option requires an argument -- 'c'\n"}),
    [](const auto& info) { return info.param.name; });

// Without a configuration file both warnings appear and the built-in defaults hold.
TEST_F(Startup, MissingConfigUsesDefaults)
{
    std::string missing = dir / "none.conf";
    Process p({DaemonPath(), "-c", missing, "-l", dir / "log"}, dir / "err", dir.path());
    ASSERT_TRUE(WaitFor([] { return HoldsPid("/var/run/corvaned.pid"); })) << ReadFile(dir / "err");
    EXPECT_EQ(ReadPid("/var/run/corvaned.pid"), std::to_string(p.pid()) + "\n");
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_EQ(ReadFile(dir / "err"), "WARN:  could not parse ini " + missing + "\nWARN:  could not open config file " +
                                         missing + " - using defaults\n");
    EXPECT_FALSE(std::ifstream("/var/run/corvaned.pid").good());
}

// The log file gets the start-up line first and "...exiting" last; the pid file holds the pid
// and a newline and is removed after SIGTERM.
TEST_F(Startup, LogLinesAndPidFile)
{
    std::string conf = Conf("logfile=" + (dir / "corvaned.log") + "\npidfile=" + (dir / "pid") + "\n");
    Process p({DaemonPath(), "-c", conf}, dir / "err");
    ASSERT_TRUE(WaitFor([&] { return HoldsPid(dir / "pid"); }));
    EXPECT_EQ(ReadPid(dir / "pid"), std::to_string(p.pid()) + "\n");
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(std::chrono::seconds(5)), 0);
    EXPECT_FALSE(std::ifstream(dir / "pid").good());
    std::string log = ReadFile(dir / "corvaned.log");
    std::regex first("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d  INFO:   corvaned v2\\.5\\.1\\.3 compiled on "
                     "[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d [+-]\\d{4} starting up\\.\\.\\.\n");
    EXPECT_TRUE(std::regex_search(log, first)) << log;
    EXPECT_NE(log.find("INFO:   ...exiting\n"), std::string::npos) << log;
    EXPECT_EQ(log.substr(log.size() - std::string("...exiting\n").size()), "...exiting\n");
    EXPECT_EQ(ReadFile(dir / "err"), "");
}

// -l and -p take precedence over the keys, which are then not consulted at all.
TEST_F(Startup, OptionsOverKeys)
{
    std::string conf = Conf("logfile=" + (dir / "key.log") + "\npidfile=" + (dir / "key.pid") + "\n");
    Process p({DaemonPath(), "-c", conf, "-l", dir / "opt.log", "-p", dir / "opt.pid"}, dir / "err");
    ASSERT_TRUE(WaitFor([&] { return std::ifstream(dir / "opt.pid").good(); }));
    p.Signal(SIGINT);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_NE(ReadFile(dir / "opt.log").find("starting up"), std::string::npos);
    EXPECT_FALSE(std::ifstream(dir / "key.log").good());
    EXPECT_FALSE(std::ifstream(dir / "key.pid").good());
}

// A log file that cannot be opened is reported and the daemon runs on.
TEST_F(Startup, UnopenableLogFileWarns)
{
    std::string conf = Conf("pidfile=" + (dir / "pid") + "\n");
    Process p({DaemonPath(), "-c", conf, "-l", "/nonexistent/x.log"}, dir / "err");
    ASSERT_TRUE(WaitFor([&] { return std::ifstream(dir / "pid").good(); }));
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_EQ(ReadFile(dir / "err"), "WARN:  could not open logfile /nonexistent/x.log - logging disabled\n");
}

// Only the exact value "true" switches daemon mode on: "True" and "yes" stay in the foreground.
TEST_F(Startup, DaemonKeyNeedsExactTrue)
{
    for (const char* value : {"True", "yes"}) {
        std::string conf = Conf(std::string("daemon=") + value + "\npidfile=" + (dir / "pid") + "\n");
        Process p({DaemonPath(), "-c", conf}, dir / "err");
        ASSERT_TRUE(WaitFor([&] { return HoldsPid(dir / "pid"); })) << value;
        EXPECT_EQ(ReadPid(dir / "pid"), std::to_string(p.pid()) + "\n") << value;
        EXPECT_TRUE(ProcessAlive(p.pid()));
        p.Signal(SIGTERM);
        EXPECT_EQ(p.Wait(), 0);
    }
}

// -D detaches even when the key says "false": the starting process exits 0 and the pid file
// holds the detached child, which stops on SIGTERM and removes it.
TEST_F(Startup, DaemonOptionDetaches)
{
    std::string conf = Conf("daemon=false\nlogfile=" + (dir / "log") + "\npidfile=" + (dir / "pid") + "\n");
    Process p({DaemonPath(), "-c", conf, "-D"}, dir / "err");
    EXPECT_EQ(p.Wait(), 0);
    ASSERT_TRUE(WaitFor([&] { return HoldsPid(dir / "pid"); }));
    pid_t child = std::stoi(ReadPid(dir / "pid"));
    EXPECT_NE(child, p.pid());
    ASSERT_TRUE(ProcessAlive(child));
    kill(child, SIGTERM);
    EXPECT_TRUE(WaitFor([&] { return !std::ifstream(dir / "pid").good(); }));
    EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(child); }));
    EXPECT_NE(ReadFile(dir / "log").find("...exiting"), std::string::npos);
}

}  // namespace
