// Start-up, timers and shutdown of the whole daemon: plug-in registration, action sets,
// discovery announcements, stopping while busy, and the exit statuses of failed starts.
#include <future>

#include <sys/ptrace.h>
#include <sys/syscall.h>
#include <sys/user.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "DaemonFixture.h"
#include "common/Multicast.h"

using namespace corvane_test;

namespace {

class Lifecycle : public DaemonFixture {
protected:
    // Stops the daemon with `signal` while thermo's "slow" command runs. The command finishes
    // only when the test lets it, once the stop is under way (the port takes no more
    // connections): it ends well inside the stop's grace however busy the machine is. Its
    // caller gets the answer, and the daemon exits 0 after it, "...exiting" last, no pid file.
    void StopWhileSlowCommandRuns(int signal)
    {
        auto slow = std::async(std::launch::async, [this] {
            return Call("command", {{"plugin", "thermo"}, {"command", "slow"}, {"parameters", ""}});
        });
        ASSERT_TRUE(WaitFor([&] { return Log().find("exec: ") != std::string::npos; }));
        daemon->Signal(signal);
        const bool closed = WaitFor([&] {
            const int fd = ConnectLoopback(port);
            if (fd >= 0)
                close(fd);
            return fd < 0;
        });
        EXPECT_TRUE(closed) << "the port was still open after " << strsignal(signal);
        WriteFile(dir / "record.go", "");
        EXPECT_EQ(daemon->Wait(std::chrono::seconds(10)), 0) << strsignal(signal);
        EXPECT_EQ(ElementText(slow.get().body, "result"), "slow done\n");
        const std::string log = Log();
        ASSERT_GE(log.size(), 11u);
        EXPECT_EQ(log.substr(log.size() - 11), "...exiting\n") << log;
        EXPECT_FALSE(Exists(dir / "pid"));
    }
};

// Stops thread `tid` with ptrace; when it is waiting in select (or pselect), makes that call
// return EINTR instead of being restarted, as a debugger does after calling a function in the
// process. 1 when it was interrupted, 0 when the thread was busy elsewhere, -1 on failure.
int InterruptSelect(pid_t tid)
{
    // What a tracer sees in the result of a wait cut short by a stop (the kernel's
    // ERESTARTNOHAND): the kernel restarts the call unless the tracer changes it.
    const long kRestartUnlessHandled = -514;
    if (ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0)
        return -1;
    int result = -1;
    int status = 0;
    if (ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) == 0 && waitpid(tid, &status, __WALL) == tid) {
        user_regs_struct regs = {};
        if (ptrace(PTRACE_GETREGS, tid, nullptr, &regs) == 0) {
            const bool waiting = (regs.orig_rax == SYS_select || regs.orig_rax == SYS_pselect6) &&
                                 static_cast<long>(regs.rax) == kRestartUnlessHandled;
            result = 0;
            if (waiting) {
                regs.rax = static_cast<unsigned long long>(-EINTR);
                result = ptrace(PTRACE_SETREGS, tid, nullptr, &regs) == 0 ? 1 : -1;
            }
        }
    }
    ptrace(PTRACE_DETACH, tid, nullptr, nullptr);
    if (result == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return result;
}

// A broken description is logged with its path and skipped; other names are not read.
TEST_F(Lifecycle, RegistersLoadablePlugins)
{
    UsePlugins("plugins");
    MakeUsers();
    Start();
    EXPECT_EQ(Stop(), 0);
    std::string log = Log();
    EXPECT_NE(log.find("INFO:   registered 2 plugins\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR:  exception while trying to create plugin from " + (dir / "plugins/broken.xml") + ": "),
              std::string::npos);
    EXPECT_EQ(log.find("notes.txt"), std::string::npos);
    EXPECT_FALSE(std::ifstream(dir / "pid").good());
}

// An action set of count 2 runs its command twice, reports the raw wait status and leaves
// no zombie behind.
TEST_F(Lifecycle, ActionSetRunsCountTimes)
{
    UsePlugins("actions");
    MakeUsers();
    Start();
    ASSERT_TRUE(WaitFor([&] { return ReadFile(dir / "record") == "--tick clock.main\n--tick clock.main\n"; },
                        std::chrono::seconds(15)))
        << ReadFile(dir / "record");
    EXPECT_TRUE(WaitFor([&] { return Zombies(daemon->pid()) == 0; }, std::chrono::seconds(5)));
    std::string log = Log();
    EXPECT_NE(log.find("plugin ticker: problem exec'ing: " + (dir / "plugins/ticker.sh") + " returned: 768"),
              std::string::npos)
        << log;
    EXPECT_EQ(Stop(), 0);
    EXPECT_EQ(ReadFile(dir / "record"), "--tick clock.main\n--tick clock.main\n");
}

// SIGTERM while a command runs: the command finishes, the daemon exits 0 and cleans up.
TEST_F(Lifecycle, StopWhileCommandRuns)
{
    UsePlugins("plugins");
    MakeUsers();
    Start();
    StopWhileSlowCommandRuns(SIGTERM);
}

// Every signal an operator or a tool sends to stop or poke a daemon ends it the clean way:
// the command being run finishes, one Bye, "...exiting" last, no pid file, status 0.
class StopSignals : public Lifecycle, public ::testing::WithParamInterface<int> {};

TEST_P(StopSignals, EndTheDaemonCleanly)
{
    MulticastWatcher watch;
    UsePlugins("plugins");
    MakeUsers();
    Start();
    StopWhileSlowCommandRuns(GetParam());
    const std::string xaddrs = ":" + std::to_string(port) + "<";
    EXPECT_TRUE(WaitFor([&] { return watch.Matching({"Bye", xaddrs}).size() == 1; }));
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignals,
                         ::testing::Values(SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2, SIGQUIT, SIGALRM),
                         [](const auto& param) { return std::string(sigabbrev_np(param.param)); });

// One bit per signal of the mask `field` ("SigIgn", "SigCgt", "ShdPnd") in /proc/<pid>/status.
bool InSignalMask(pid_t pid, const std::string& field, int sig)
{
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("\n" + field + ":\t");
    if (at == std::string::npos)
        throw std::runtime_error("no " + field + " for process " + std::to_string(pid));
    return (std::stoull(status.substr(at + field.size() + 3), nullptr, 16) >> (sig - 1)) & 1;
}

struct IgnoredAtStart {
    const char* name;
    std::vector<std::string> wrapper;  // starts the daemon with these signals ignored
    std::vector<int> ignored;
};

void PrintTo(const IgnoredAtStart& c, std::ostream* os) { *os << c.name; }

class IgnoredStopSignals : public DaemonFixture, public ::testing::WithParamInterface<IgnoredAtStart> {};

// A stop signal the daemon was started with ignored stays ignored, as nohup leaves HUP and a
// shell without job control INT and QUIT for a background job: sent, it leaves the daemon
// serving. The other stop signals have its handler, and TERM stops it cleanly.
TEST_P(IgnoredStopSignals, StayIgnored)
{
    const std::vector<int>& ignored = GetParam().ignored;
    UsePlugins("plugins");
    MakeUsers();
    Start("", GetParam().wrapper);
    const pid_t pid = daemon->pid();
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1, SIGUSR2, SIGQUIT, SIGALRM}) {
        const bool wanted = std::find(ignored.begin(), ignored.end(), sig) != ignored.end();
        EXPECT_EQ(InSignalMask(pid, "SigIgn", sig), wanted) << sigabbrev_np(sig);
        EXPECT_EQ(InSignalMask(pid, "SigCgt", sig), !wanted) << sigabbrev_np(sig);
    }
    for (int sig : ignored) {
        daemon->Signal(sig);
        // Taken by a thread, or dropped at once as an ignored signal is.
        ASSERT_TRUE(WaitFor([&] { return !InSignalMask(pid, "ShdPnd", sig); })) << sigabbrev_np(sig);
        // The loop's turn after a stop request is its last: a second call in a row needs another.
        for (int call = 0; call < 2; ++call)
            EXPECT_EQ(ElementText(Call("auth-user").body, "result"), "*") << sigabbrev_np(sig) << Log();
    }
    EXPECT_EQ(Log().find("...exiting"), std::string::npos);
    EXPECT_EQ(Stop(), 0);
    EXPECT_FALSE(Exists(dir / "pid"));
}

INSTANTIATE_TEST_SUITE_P(
    Starters, IgnoredStopSignals,
    ::testing::Values(IgnoredAtStart{"Nohup", {"/usr/bin/nohup"}, {SIGHUP}},
                      IgnoredAtStart{"BackgroundJob", {"/bin/sh", "-c", "trap '' INT QUIT; exec \"$@\"", "sh"},
                                     {SIGINT, SIGQUIT}}),
    [](const auto& param) { return std::string(param.param.name); });

// A wait of the main loop cut short the way a debugger's call into the process does it
// (the interrupted select returns EINTR) does not end the daemon: it goes on serving.
TEST_F(Lifecycle, InterruptedWaitGoesOn)
{
    UsePlugins("plugins");
    MakeUsers();
    Start();
    const pid_t main = daemon->pid();
    int interrupted = 0;
    for (int attempt = 0; attempt < 20 && interrupted == 0; ++attempt)
        interrupted = InterruptSelect(main);
    ASSERT_EQ(interrupted, 1) << "the main thread was never caught waiting in select";
    EXPECT_EQ(ElementText(Call("auth-user").body, "result"), "*") << Log();
    EXPECT_TRUE(ProcessAlive(main));
    EXPECT_EQ(Log().find("...exiting"), std::string::npos);
    EXPECT_EQ(Stop(), 0);
}

// Hello at start, another when an "apply" command announces it, exactly one Bye at the end.
TEST_F(Lifecycle, DiscoveryAnnouncements)
{
    MulticastWatcher watch;
    UsePlugins("plugins");
    MakeUsers();
    Start();
    const std::string xaddrs = ":" + std::to_string(port) + "<";
    ASSERT_TRUE(WaitFor([&] { return watch.Matching({"Hello", xaddrs}).size() == 1; }));
    HttpAnswer a = Call("command", {{"plugin", "thermo"}, {"command", "apply"}, {"parameters", ""}}, "tech:pw1");
    EXPECT_EQ(ElementText(a.body, "result"), "applied\n");
    EXPECT_TRUE(WaitFor([&] { return watch.Matching({"Hello", xaddrs}).size() == 2; }));
    EXPECT_EQ(Stop(), 0);
    EXPECT_TRUE(WaitFor([&] { return watch.Matching({"Bye", xaddrs}).size() == 1; }));
    // The daemon has exited: once what it sent is all collected, there is still one Bye.
    EXPECT_TRUE(WaitFor([&] { return watch.Drained(); }));
    EXPECT_EQ(watch.Matching({"Bye", xaddrs}).size(), 1u);
}

// Failed starts end with the documented statuses and still remove the pid file.
TEST_F(Lifecycle, FailedStartStatuses)
{
    UsePlugins("plugins");
    MakeUsers();
    {
        // The port is taken by another program.
        int taken = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        listen(taken, 1);
        Process p({DaemonPath(), "-c", Config()}, dir / "stderr");
        EXPECT_EQ(p.Wait(), 28);
        close(taken);
        EXPECT_FALSE(std::ifstream(dir / "pid").good());
    }
    {
        // A parsed configuration without a port.
        Process p({DaemonPath(), "-c", Config("", false)}, dir / "stderr");
        EXPECT_EQ(p.Wait(), 1);
        EXPECT_NE(Log().rfind("...exiting\n"), std::string::npos);
    }
}

// A user database that cannot be opened costs a Hello and a Bye, then status 255.
TEST_F(Lifecycle, UnopenableUserDatabase)
{
    MulticastWatcher watch;
    UsePlugins("plugins");
    std::string conf = Config();
    std::string text = ReadFile(conf);
    text.replace(text.find("sqllite_db="), std::string::npos, "sqllite_db=/nonexistent/dir/users.sqlite\n");
    WriteFile(conf, text);
    Process p({DaemonPath(), "-c", conf}, dir / "stderr");
    EXPECT_EQ(p.Wait(), 255);
    const std::string xaddrs = ":" + std::to_string(port) + "<";
    EXPECT_TRUE(WaitFor([&] { return watch.Matching({"Bye", xaddrs}).size() == 1; }));
    EXPECT_EQ(watch.Matching({"Hello", xaddrs}).size(), 1u);
    std::string log = Log();
    size_t error = log.find("ERROR:  ");
    ASSERT_NE(error, std::string::npos) << log;
    EXPECT_LT(error, log.find("...exiting"));
    EXPECT_FALSE(std::ifstream(dir / "pid").good());
}

}  // namespace
