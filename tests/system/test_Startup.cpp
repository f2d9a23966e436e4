// The real corvaned binary: command line, configuration switches, pid file, log lines, exit.
#include <regex>

#include <dirent.h>

#include "DaemonFixture.h"

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
    [](const auto& param) { return param.param.name; });

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

// A port value that is not a number from 1 to 65535 is named in an error line and ends the
// daemon with status 1, as a missing one does.
TEST_F(Startup, InvalidPortIsRefused)
{
    for (const char* value : {"abc", "0", "70000", "-5", "", "x8083"}) {
        const std::string conf = dir / "corvaned.conf";
        WriteFile(conf, std::string("[backend]\nport=") + value + "\nplugin_dir=" + (dir / "plugins") +
                            "\nlogfile=" + (dir / "corvaned.log") + "\npidfile=" + (dir / "pid") +
                            "\n[global]\nsqllite_db=" + (dir / "users.sqlite") + "\n");
        unlink((dir / "corvaned.log").c_str());
        Process p({DaemonPath(), "-c", conf}, dir / "err");
        EXPECT_EQ(p.Wait(), 1) << value;
        const std::string log = ReadFile(dir / "corvaned.log");
        EXPECT_NE(log.find(std::string("ERROR:  invalid port '") + value + "': not a number from 1 to 65535\n"),
                  std::string::npos)
            << value << "\n" << log;
        EXPECT_EQ(log.substr(log.size() - 11), "...exiting\n") << value;
        EXPECT_FALSE(std::ifstream(dir / "pid").good());
    }
}

// A reader of the pid file finds the previous content or the whole new one, never an empty
// or partial file, and no temporary file stays beside it.
TEST_F(Startup, PidFileAppearsWhole)
{
    const std::string pidPath = dir / "pid";
    WriteFile(pidPath, "4000000\n");
    std::string conf = Conf("logfile=" + (dir / "corvaned.log") + "\npidfile=" + pidPath + "\n");
    Process p({DaemonPath(), "-c", conf}, dir / "err");
    const std::string wanted = std::to_string(p.pid()) + "\n";
    std::vector<std::string> seen;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::string text;
    while (text != wanted && std::chrono::steady_clock::now() < until) {
        text = ReadFile(pidPath);
        if (text != "4000000\n" && text != wanted)
            seen.push_back(text);
    }
    EXPECT_EQ(text, wanted);
    EXPECT_TRUE(seen.empty()) << "read '" << (seen.empty() ? "" : seen.front()) << "'";
    DIR* d = opendir(dir.path().c_str());
    while (dirent* e = readdir(d))
        EXPECT_NE(std::string(e->d_name).rfind("pid.", 0), 0u) << e->d_name;
    closedir(d);
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_FALSE(std::ifstream(pidPath).good());
}

// A pid file that cannot be written costs a warning; the daemon runs on.
TEST_F(Startup, UnwritablePidFileWarns)
{
    std::string conf = Conf("logfile=" + (dir / "corvaned.log") + "\npidfile=/nonexistent/dir/pid\n");
    Process p({DaemonPath(), "-c", conf}, dir / "err");
    ASSERT_TRUE(WaitFor([&] { return ReadFile(dir / "corvaned.log").find("registered") != std::string::npos; }));
    EXPECT_TRUE(ProcessAlive(p.pid()));
    p.Signal(SIGTERM);
    EXPECT_EQ(p.Wait(), 0);
    EXPECT_NE(ReadFile(dir / "corvaned.log").find("WARN:   could not write to pidfile /nonexistent/dir/pid\n"),
              std::string::npos);
}

// The discovery identity decides the start: kept as it is when it holds the identifier with a
// line end, created without a warning when there is none yet, and when it cannot be read or a
// new one cannot be stored, an error line, the usual exit steps and status 255. The daemon gets
// the test's own folder as /var/lib/corvane.
TEST_F(Startup, DiscoveryIdentityDecidesTheStart)
{
    const std::string identity = "urn:uuid:3f2c1a7e-9b4d-4c2e-8a1f-0123456789ab";
    const struct {
        const char* name;
        std::string setup;  // run as root before the daemon starts; $V is the folder
        int status;         // 0: the daemon runs and is stopped
        std::string error;
    } cases[] = {
        {"identifier with a line end", "echo " + identity + " > \"$V/corvaned_uuid\"", 0, ""},
        {"no identity yet", "", 0, ""},
        {"identity is a directory", "mkdir \"$V/corvaned_uuid\"", 255,
         "wsdd uuid could not be read: /var/lib/corvane/corvaned_uuid is not a regular file"},
        {"read-only folder", "mount -o remount,bind,ro /var/lib/corvane", 255,
         "wsdd uuid could not be assigned: /var/lib/corvane/corvaned_uuid: Read-only file system"},
    };
    dir.mkdir("plugins");
    const std::string folder = dir / "identity";
    const std::string script = "set -e\n"
                               "V=\"$1\"; SETUP=\"$2\"; shift 2\n"
                               "mount --bind \"$V\" /var/lib/corvane\n"
                               "eval \"$SETUP\"\n"
                               "exec \"$@\"\n";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(std::system(("rm -rf '" + folder + "' && mkdir '" + folder + "'").c_str()), 0);
        unlink((dir / "corvaned.log").c_str());
        const std::string conf = Conf("logfile=" + (dir / "corvaned.log") + "\npidfile=" + (dir / "pid") + "\n");
        Process p({"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, "sh", folder,
                   c.setup, DaemonPath(), "-c", conf},
                  dir / "err");
        if (c.status == 0) {
            ASSERT_TRUE(WaitFor([&] { return ReadFile(dir / "corvaned.log").find("registered") != std::string::npos; }))
                << ReadFile(dir / "err");
            p.Signal(SIGTERM);
        }
        EXPECT_EQ(p.Wait(), c.status) << ReadFile(dir / "err");
        const std::string log = ReadFile(dir / "corvaned.log");
        EXPECT_EQ(log.find("wsdd uuid from file is not valid."), std::string::npos) << log;
        if (c.error.empty()) {
            EXPECT_EQ(log.find("ERROR:  "), std::string::npos) << log;
        } else {
            EXPECT_NE(log.find("ERROR:  " + c.error + "\n"), std::string::npos) << log;
        }
        ASSERT_GE(log.size(), 11u);
        EXPECT_EQ(log.substr(log.size() - 11), "...exiting\n");
        EXPECT_FALSE(Exists(dir / "pid"));
        const std::string stored = ReadFile(folder + "/corvaned_uuid");
        if (std::string(c.name) == "identifier with a line end") {
            EXPECT_EQ(stored, identity + "\n");
        } else if (std::string(c.name) == "no identity yet") {
            EXPECT_EQ(stored.size(), 45u) << stored;
        }
    }
}

class PidFileOwner : public DaemonFixture {
protected:
    // The test's configuration with another port and log file, on the same pid file.
    std::string SecondConfig(int secondPort)
    {
        std::string text = ReadFile(Config());
        text.replace(text.find("port=" + std::to_string(port) + "\n"), std::to_string(port).size() + 6,
                     "port=" + std::to_string(secondPort) + "\n");
        text.replace(text.find("logfile=" + (dir / "corvaned.log")), 8 + (dir / "corvaned.log").size(),
                     "logfile=" + (dir / "second.log"));
        WriteFile(dir / "second.conf", text);
        return dir / "second.conf";
    }
    // Which file the path names now.
    static ino_t Inode(const std::string& path)
    {
        struct stat st;
        return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }
};

// The pid file belongs to the daemon that runs: a second start on it warns that it is held,
// neither writes nor removes it, whether it then fails on the same port or runs beside on
// another; the file stays the first one's until that one's own exit removes it.
TEST_F(PidFileOwner, SecondStartLeavesItAlone)
{
    UsePlugins("plugins");
    MakeUsers();
    Start();
    const std::string pidPath = dir / "pid";
    const std::string first = std::to_string(daemon->pid()) + "\n";
    ASSERT_TRUE(WaitFor([&] { return ReadFile(pidPath) == first; })) << ReadFile(pidPath);
    const ino_t inode = Inode(pidPath);
    const struct {
        const char* name;
        int port;
        int status;  // -1: runs until stopped
    } cases[] = {{"same port", port, 28}, {"another port", FreePort(), -1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        unlink((dir / "second.log").c_str());
        Process second({DaemonPath(), "-c", SecondConfig(c.port)}, dir / "second.err");
        if (c.status == -1) {
            ASSERT_TRUE(WaitFor([&] {
                const int fd = ConnectLoopback(c.port);
                if (fd >= 0)
                    close(fd);
                return fd >= 0 || !ProcessAlive(second.pid());
            }));
            EXPECT_TRUE(ProcessAlive(second.pid())) << ReadFile(dir / "second.log");
            EXPECT_EQ(ReadFile(pidPath), first);
            second.Signal(SIGTERM);
            EXPECT_EQ(second.Wait(), 0);
        } else {
            EXPECT_EQ(second.Wait(), c.status);
        }
        const std::string log = ReadFile(dir / "second.log");
        EXPECT_EQ(CountOf(log, "WARN:   could not write to pidfile " + pidPath + ": held by process " +
                                   std::to_string(daemon->pid()) + "\n"),
                  1)
            << log;
        EXPECT_NE(log.rfind("...exiting\n"), std::string::npos) << log;
        EXPECT_EQ(ReadFile(pidPath), first);
        EXPECT_EQ(Inode(pidPath), inode);
    }
    EXPECT_TRUE(ProcessAlive(daemon->pid()));
    EXPECT_EQ(Stop(), 0);
    EXPECT_FALSE(Exists(pidPath));
}

// A daemon that was killed leaves its pid file unlocked behind: the next start replaces it.
TEST_F(PidFileOwner, KilledDaemonsFileIsReplaced)
{
    UsePlugins("plugins");
    MakeUsers();
    const std::string pidPath = dir / "pid";
    Start();
    const std::string killed = std::to_string(daemon->pid()) + "\n";
    ASSERT_TRUE(WaitFor([&] { return ReadFile(pidPath) == killed; })) << ReadFile(pidPath);
    daemon->Signal(SIGKILL);
    EXPECT_EQ(daemon->Wait(), 128 + SIGKILL);
    EXPECT_EQ(ReadFile(pidPath), killed);
    Start();
    const std::string next = std::to_string(daemon->pid()) + "\n";
    EXPECT_TRUE(WaitFor([&] { return ReadFile(pidPath) == next; })) << ReadFile(pidPath);
    EXPECT_EQ(Log().find("could not write to pidfile"), std::string::npos) << Log();
    EXPECT_EQ(Stop(), 0);
    EXPECT_FALSE(Exists(pidPath));
}

class DaemonMode : public DaemonFixture {};

std::string DescriptorTarget(pid_t pid, int fd)
{
    char target[4096];
    const std::string link = "/proc/" + std::to_string(pid) + "/fd/" + std::to_string(fd);
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "<closed>";
}

// After -D the daemon's descriptors 0, 1 and 2 are /dev/null, so a plug-in that writes to
// standard error under "set -e" works as it does in the foreground; the pid file is 0644
// although the daemon runs with umask 0.
TEST_F(DaemonMode, PluginsInheritOpenStandardDescriptors)
{
    UsePlugins("stderr");
    MakeUsers();
    Process starter({DaemonPath(), "-c", Config(), "-D"}, dir / "stderr");
    EXPECT_EQ(starter.Wait(), 0);
    ASSERT_TRUE(WaitFor([&] {
        const std::string text = ReadFile(dir / "pid");
        return !text.empty() && text.back() == '\n';
    }));
    const pid_t child = std::stoi(ReadFile(dir / "pid"));
    ASSERT_TRUE(WaitFor([&] {
        const int fd = ConnectLoopback(port);
        if (fd >= 0)
            close(fd);
        return fd >= 0;
    })) << Log();
    for (int fd : {0, 1, 2})
        EXPECT_EQ(DescriptorTarget(child, fd), "/dev/null") << "fd " << fd;
    struct stat st;
    ASSERT_EQ(stat((dir / "pid").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    for (int i = 0; i < 3; ++i) {
        HttpAnswer a = Call("command", {{"plugin", "noisy"}, {"command", "get"}, {"parameters", ""}});
        EXPECT_EQ(ElementText(a.body, "result"), "mode=quiet\n") << a.raw;
    }
    kill(child, SIGTERM);
    EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(child); }));
    EXPECT_FALSE(std::ifstream(dir / "pid").good());
    EXPECT_EQ(ReadFile(dir / "stderr"), "");
}

// In the foreground a plug-in's standard error is the daemon's own.
TEST_F(DaemonMode, ForegroundPluginWritesToDaemonStderr)
{
    UsePlugins("stderr");
    MakeUsers();
    Start();
    HttpAnswer a = Call("command", {{"plugin", "noisy"}, {"command", "get"}, {"parameters", ""}});
    EXPECT_EQ(ElementText(a.body, "result"), "mode=quiet\n") << a.raw;
    EXPECT_EQ(Stop(), 0);
    EXPECT_NE(ReadFile(dir / "stderr").find("noisy: reading the mode\n"), std::string::npos);
}

}  // namespace
