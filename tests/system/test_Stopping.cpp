// Stopping ends within a bound whatever plug-ins left running: a command that never ends, with
// callers queued behind it or not, a command whose output is held by a grandchild that left
// its process group or by a child that ignores SIGTERM, a command that starts while the stop
// is under way, an action-set child that never ends, one that ignores SIGTERM and one whose
// shell left its process group.
#include <algorithm>
#include <csignal>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

// What a stop gives what is still running: connections being served and action children
// have this long, then connections are shut down and every command's process group gets
// SIGTERM, and SIGKILL this much later.
constexpr double kGrace = 3.0;
constexpr double kPatience = 2.0;
// And how long after the first SIGKILL it gives up on what still runs: the final bound.
constexpr double kGiveUp = 2.0;
// How far past its moment a stop may end on a busy machine, and how far before it no right
// stop ends.
constexpr double kLate = 1.0;
constexpr double kEarly = 0.2;

class Stopping : public DaemonFixture {
protected:
    void SetUp() override
    {
        DaemonFixture::SetUp();
        MakeUsers();
    }

    // The pids a fixture plug-in wrote to record.<name>, all of each line, once its first
    // line is there.
    std::vector<pid_t> RecordedPids(const std::string& name)
    {
        const std::string record = dir / ("record." + name);
        const bool written =
            WaitFor([&] { return ReadFile(record).find('\n') != std::string::npos; }, std::chrono::seconds(15));
        EXPECT_TRUE(written) << record;
        std::vector<pid_t> pids;
        std::istringstream text(ReadFile(record));
        for (pid_t pid = 0; text >> pid;)
            pids.push_back(pid);
        return pids;
    }

    // Seconds from SIGTERM to the daemon's exit, and its status (-1 when it did not exit).
    std::pair<double, int> TimedStop()
    {
        const auto start = std::chrono::steady_clock::now();
        daemon->Signal(SIGTERM);
        const int status = daemon->Wait(std::chrono::seconds(10));
        return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), status};
    }

    // A stop that ended 0 at `expected` seconds after SIGTERM, with "...exiting" last and the
    // pid file removed.
    void ExpectCleanExitAt(const std::pair<double, int>& stop, double expected)
    {
        EXPECT_EQ(stop.second, 0) << Log();
        EXPECT_GT(stop.first, expected - kEarly);
        EXPECT_LT(stop.first, expected + kLate);
        const std::string log = Log();
        ASSERT_GE(log.size(), 11u);
        EXPECT_EQ(log.substr(log.size() - 11), "...exiting\n");
        EXPECT_FALSE(Exists(dir / "pid"));
    }

    // The pid a fixture plug-in wrote to record.<name>, once it is there.
    pid_t RecordedPid(const std::string& name)
    {
        const std::vector<pid_t> pids = RecordedPids(name);
        return pids.empty() ? 0 : pids[0];
    }
};

// The daemon's ends of the established connections on `port`, and how many of them still
// hold request bytes that no worker has read.
struct ServedConnections {
    int open = 0;
    int unread = 0;
};

ServedConnections ServedOn(int port)
{
    ServedConnections served;
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        unsigned local = 0, remote = 0, state = 0;
        unsigned long unread = 0;
        const bool established = sscanf(line.c_str(), " %*d: %*x:%x %*x:%x %x %*x:%lx", &local, &remote, &state,
                                        &unread) == 4 &&
                                 static_cast<int>(local) == port && remote != 0 && state == 1;
        if (established) {
            ++served.open;
            served.unread += unread > 0;
        }
    }
    return served;
}

// Ends a process a plug-in left behind, whatever the test's outcome.
struct Leftover {
    pid_t pid = 0;
    ~Leftover()
    {
        if (pid > 0)
            ::kill(pid, SIGKILL);
    }
};

// Ends the processes a plug-in left behind, whatever the test's outcome.
struct Leftovers {
    std::vector<pid_t> pids;
    ~Leftovers()
    {
        for (pid_t pid : pids)
            ::kill(pid, SIGKILL);
    }
};

struct CommandCase {
    const char* name;
    const char* command;
    int queued;       // callers waiting for the plug-in behind the first
    double ends;      // seconds from SIGTERM to the daemon's exit
    bool reachable;   // whether what the command started is ended too
};

class StoppingCommands : public Stopping, public ::testing::WithParamInterface<CommandCase> {};

// A command that never ends is sent SIGTERM once connections have had their grace, and ends
// by it (its trap records that); callers queued behind it on the plug-in start their commands
// in turn and each is ended the same way. A command or a child that ignores SIGTERM is ended
// by SIGKILL, and output held open by a grandchild in a session of its own, which no signal to the
// command's group reaches, is given up at the same moment. The daemon exits 0 at the bound;
// no caller gets an answer, as their connections are shut down.
TEST_P(StoppingCommands, EndAtTheirBound)
{
    const CommandCase& c = GetParam();
    UsePlugins("hung");
    Start();
    auto call = [this, &c] {
        return std::async(std::launch::async, [this, &c] {
            return Call("command", {{"plugin", "hung"}, {"command", c.command}, {"parameters", ""}});
        });
    };
    std::vector<std::future<HttpAnswer>> callers;
    callers.push_back(call());
    Leftovers left;
    left.pids = RecordedPids(c.command);
    ASSERT_FALSE(left.pids.empty());
    if (c.queued > 0) {
        // Each queued caller's request is read by a worker, which then waits for the plug-in.
        // A connection still waiting for a worker when the stop begins is never served, and
        // the callers waiting for the plug-in would give their workers up to it (503).
        for (int i = 0; i < c.queued; ++i)
            callers.push_back(call());
        ASSERT_TRUE(WaitFor([&] {
            const ServedConnections served = ServedOn(port);
            return served.open == c.queued + 1 && served.unread == 0;
        })) << ServedOn(port).open << " connections open, " << ServedOn(port).unread << " not read";
    }

    const std::pair<double, int> stop = TimedStop();
    std::printf("stop with %s: %.2f s, status %d\n", c.name, stop.first, stop.second);
    ExpectCleanExitAt(stop, c.ends);
    daemon.reset();
    for (auto& caller : callers)
        EXPECT_EQ(caller.get().raw, "");

    const std::vector<pid_t> started = RecordedPids(c.command);
    left.pids = started;
    if (std::string(c.command) == "hang") {
        // Every caller had the plug-in in its turn.
        EXPECT_EQ(CountOf(Log(), "exec: " + (dir / "plugins/hung.sh") + " --hang"), c.queued + 1) << Log();
        EXPECT_NE(ReadFile(dir / "record.hang-terminated").find(std::to_string(started[0]) + "\n"),
                  std::string::npos)
            << "the first command was not sent SIGTERM";
    }
    if (c.reachable) {
        // Ended processes may linger a moment until their new parent collects them.
        EXPECT_TRUE(WaitFor(
            [&] { return std::none_of(started.begin(), started.end(), [](pid_t pid) { return ProcessAlive(pid); }); },
            std::chrono::seconds(5)));
    }
}

const CommandCase kCommandCases[] = {
    {"NeverEnds", "hang", 0, kGrace, true},
    {"CallersQueuedBehind", "hang", 3, kGrace, true},
    {"ChildIgnoresSigterm", "stubborn", 0, kGrace + kPatience, true},
    {"CommandIgnoresSigterm", "deaf", 0, kGrace + kPatience, true},
    {"OutputHeldOutsideItsGroup", "escape", 0, kGrace + kPatience, false},
};

INSTANTIATE_TEST_SUITE_P(Commands, StoppingCommands, ::testing::ValuesIn(kCommandCases),
                         [](const auto& param) { return std::string(param.param.name); });

// A command queued behind another on the same plug-in starts once the stop's signal has ended
// the first; it is ended too, by the next round of signals.
TEST_F(Stopping, CommandStartedDuringTheStopIsEnded)
{
    UsePlugins("hung");
    Start();
    const std::string record = dir / "record.hang";
    auto hang = [&] { Call("command", {{"plugin", "hung"}, {"command", "hang"}, {"parameters", ""}}); };
    std::thread first(hang);
    Leftover firstShell, firstChild;
    ASSERT_TRUE(WaitFor([&] { return sscanf(ReadFile(record).c_str(), "%d %d", &firstShell.pid, &firstChild.pid) == 2; },
                        std::chrono::seconds(15)));
    // The second caller's request is read whole by a worker, which then waits for the plug-in
    // until the stop's signal frees it.
    const int second = ConnectLoopback(port);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(SendAll(second, Post(Envelope("command", {{"plugin", "hung"}, {"command", "hang"}, {"parameters", ""}}))));
    TcpRow row;
    ASSERT_TRUE(WaitFor([&] { return FindTcpRow(port, LocalPort(second), row) && row.unread == 0; }));

    const std::pair<double, int> stop = TimedStop();
    std::printf("stop with a command queued behind a hung one: %.2f s\n", stop.first);
    ExpectCleanExitAt(stop, kGrace);
    daemon.reset();
    first.join();
    ::close(second);
    // The queued command started; its shell may have been ended before it recorded its pids,
    // as the signals are repeated every 50 ms. Whatever was recorded has ended.
    EXPECT_EQ(CountOf(Log(), "--hang"), 2) << Log();
    Leftovers left;
    left.pids = RecordedPids("hang");
    for (pid_t pid : left.pids)
        EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(pid); }, std::chrono::seconds(5))) << pid;
}

struct ActionCase {
    const char* name;
    const char* fixture;
    const char* record;
    bool inItsOwnGroup;
    double ends;       // seconds from SIGTERM to the daemon's exit
    const char* line;  // the error line of a child given up, or nullptr
};

class StoppingActions : public Stopping, public ::testing::WithParamInterface<ActionCase> {};

// An action-set child runs in a process group of its own and is ended with it when the daemon
// stops, once the grace has passed: by SIGTERM, or, when it ignores SIGTERM, by the SIGKILL its
// group gets as its shell is collected. One whose shell moved itself into the daemon's group is
// out of reach of the group's signals: stopping gives up on it at its final bound, says so,
// and still exits cleanly, never waiting for what it gave up.
TEST_P(StoppingActions, EndOrAreGivenUpAtTheirBound)
{
    const ActionCase& c = GetParam();
    UsePlugins(c.fixture);
    Start();
    Leftover child;
    child.pid = RecordedPid(c.record);
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(getpgid(child.pid) != getpgid(daemon->pid()), c.inItsOwnGroup);

    const std::pair<double, int> stop = TimedStop();
    std::printf("stop with %s: %.2f s, status %d\n", c.name, stop.first, stop.second);
    ExpectCleanExitAt(stop, c.ends);
    daemon.reset();
    if (c.line) {
        EXPECT_NE(Log().find(c.line), std::string::npos) << Log();
    } else {
        EXPECT_EQ(Log().find("stopping without"), std::string::npos) << Log();
        EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(child.pid); }, std::chrono::seconds(5)))
            << "the action child outlived the daemon";
    }
}

const ActionCase kActionCases[] = {
    {"EndsBySigterm", "lingering", "linger", true, kGrace, nullptr},
    {"IgnoresSigterm", "deaf", "deaf", true, kGrace, nullptr},
    {"LeftItsGroup", "leaving", "left", false, kGrace + kPatience + kGiveUp,
     "ERROR:  stopping without 0 connections and 1 action commands that did not end after SIGKILL"},
};

INSTANTIATE_TEST_SUITE_P(Actions, StoppingActions, ::testing::ValuesIn(kActionCases),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace

// A worker busy in CPU, which no signal reaches, does not hold the stop past its final bound:
// here a login whose user table is a view that counts to ten billion. The daemon gives up on
// it, says so, and exits with its last line written and its pid file gone.
TEST_F(Stopping, WorkerBusyInCpuEndsAtTheFinalBound)
{
    std::filesystem::remove(dir / "users.sqlite");
    WriteFile(dir / "slow.sql",
              "CREATE TABLE people (id INTEGER PRIMARY KEY, name TEXT, password TEXT);\n"
              "INSERT INTO people VALUES (1, 'tech', 'pw1');\n"
              "CREATE VIEW users AS SELECT * FROM people WHERE (WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL "
              "SELECT i + 1 FROM n WHERE i < 10000000000) SELECT max(i) FROM n) > 0;\n"
              "CREATE TABLE traits (id INTEGER PRIMARY KEY, name TEXT);\n"
              "CREATE TABLE roles_users (uid INTEGER, rid INTEGER);\n"
              "CREATE TABLE roles_traits (rid INTEGER, tid INTEGER);\n");
    MakeUsers(dir / "slow.sql");
    UsePlugins("plugins");
    Start();
    const int caller = ConnectLoopback(port);
    ASSERT_GE(caller, 0);
    const double idle = CpuSeconds(daemon->pid());
    ASSERT_TRUE(SendAll(caller, Post(Envelope("auth-user"), "tech:pw1")));
    // The login is under way once the daemon has spent a second of CPU on it.
    ASSERT_TRUE(WaitFor([&] { return CpuSeconds(daemon->pid()) > idle + 1.0; }, std::chrono::seconds(30)));

    const std::pair<double, int> stop = TimedStop();
    std::printf("stop with a worker busy in CPU: %.1f s\n", stop.first);
    ::close(caller);
    ExpectCleanExitAt(stop, kGrace + 2 * kPatience);
    EXPECT_NE(Log().find("ERROR:  stopping without 1 connections and 0 action commands that did not end after SIGKILL"),
              std::string::npos) << Log();
}
