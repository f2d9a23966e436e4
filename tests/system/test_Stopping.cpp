// Stopping ends within a bound whatever plug-ins left running: a command whose output is
// held by a grandchild that left its process group or by a child that ignores SIGTERM, a
// command that starts while the stop is under way, an action-set child that never ends and
// one whose shell left its process group.
#include <csignal>
#include <filesystem>
#include <thread>

#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

class Stopping : public DaemonFixture {
protected:
    void SetUp() override
    {
        DaemonFixture::SetUp();
        MakeUsers();
    }

    // The pid a fixture plug-in wrote to record.<name>, once it is there.
    pid_t RecordedPid(const std::string& name)
    {
        const std::string record = dir / ("record." + name);
        pid_t pid = 0;
        const bool written = WaitFor(
            [&] { return ReadFile(record).find('\n') != std::string::npos && sscanf(ReadFile(record).c_str(), "%d", &pid) == 1; },
            std::chrono::seconds(15));
        EXPECT_TRUE(written) << record;
        return written ? pid : 0;
    }

    // Seconds from SIGTERM to the daemon's exit, and its status (-1 when it did not exit).
    std::pair<double, int> TimedStop()
    {
        const auto start = std::chrono::steady_clock::now();
        daemon->Signal(SIGTERM);
        const int status = daemon->Wait(std::chrono::seconds(10));
        return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), status};
    }

    void ExpectCleanExit()
    {
        const std::string log = Log();
        ASSERT_GE(log.size(), 11u);
        EXPECT_EQ(log.substr(log.size() - 11), "...exiting\n");
        EXPECT_FALSE(Exists(dir / "pid"));
    }

    // The daemon stops with status 0 within TimedStop's bound, its last line written and its
    // pid file gone; how long it took is printed.
    void StopCleanly(const char* with)
    {
        const std::pair<double, int> stop = TimedStop();
        std::printf("stop with %s: %.1f s\n", with, stop.first);
        EXPECT_EQ(stop.second, 0) << Log();
        ExpectCleanExit();
    }
};

// Ends a process a plug-in left behind, whatever the test's outcome.
struct Leftover {
    pid_t pid = 0;
    ~Leftover()
    {
        if (pid > 0)
            ::kill(pid, SIGKILL);
    }
};

// The output of a command is held open by a grandchild in a session of its own, which no
// signal to the command's group reaches, or by a child that ignores SIGTERM: the daemon still
// exits 0 within the bound; the child it could reach is ended.
TEST_F(Stopping, CommandOutputHeldByWhatTheCommandLeft)
{
    UsePlugins("hung");
    struct Case {
        const char* command;
        bool reachable;
    } cases[] = {{"escape", false}, {"stubborn", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        Start();
        std::thread caller([&] { Call("command", {{"plugin", "hung"}, {"command", c.command}, {"parameters", ""}}); });
        Leftover child;
        child.pid = RecordedPid(c.command);
        ASSERT_GT(child.pid, 0);
        const std::pair<double, int> stop = TimedStop();
        std::printf("stop with the output held by the %s child: %.1f s, status %d\n", c.command, stop.first, stop.second);
        EXPECT_EQ(stop.second, 0) << Log();
        daemon.reset();
        caller.join();
        ExpectCleanExit();
        if (c.reachable) {
            EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(child.pid); }, std::chrono::seconds(5)));
        }
        ::unlink((dir / ("record." + std::string(c.command))).c_str());
    }
}

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
    const std::string firstRecord = ReadFile(record);
    // The second caller's request is read whole by a worker, which then waits for the plug-in
    // until the stop's signal frees it.
    const int second = ConnectLoopback(port);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(SendAll(second, Post(Envelope("command", {{"plugin", "hung"}, {"command", "hang"}, {"parameters", ""}}))));
    TcpRow row;
    ASSERT_TRUE(WaitFor([&] { return FindTcpRow(port, LocalPort(second), row) && row.unread == 0; }));

    StopCleanly("a command queued behind a hung one");
    daemon.reset();
    first.join();
    ::close(second);
    Leftover secondShell, secondChild;
    ASSERT_EQ(sscanf(ReadFile(record).c_str(), "%d %d", &secondShell.pid, &secondChild.pid), 2);
    EXPECT_NE(ReadFile(record), firstRecord) << "the queued command never started";
    EXPECT_EQ(CountOf(Log(), "--hang"), 2) << Log();
    for (pid_t pid : {firstShell.pid, firstChild.pid, secondShell.pid, secondChild.pid})
        EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(pid); }, std::chrono::seconds(5))) << pid;
}

// An action-set child runs in a process group of its own and is ended when the daemon stops,
// also one that ignores SIGTERM.
// One whose shell moved itself into the daemon's group is out of reach of the group's signals:
// stopping gives up on it at its final bound, says so, and still exits cleanly, never waiting
// for what it gave up.
TEST_F(Stopping, ActionChildEndsOrIsGivenUpWithTheDaemon)
{
    const struct {
        const char* fixture;
        const char* record;
        bool inItsOwnGroup;
        const char* line;  // the error line of a child given up, or nullptr
    } cases[] = {
        {"lingering", "linger", true, nullptr},
        {"deaf", "deaf", true, nullptr},
        {"leaving", "left", false,
         "ERROR:  stopping without 0 connections and 1 action commands that did not end after SIGKILL"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        std::filesystem::remove_all(dir / "plugins");
        UsePlugins(c.fixture);
        Start();
        Leftover child;
        child.pid = RecordedPid(c.record);
        ASSERT_GT(child.pid, 0);
        if (c.inItsOwnGroup) {
            EXPECT_NE(getpgid(child.pid), getpgid(daemon->pid()));
        } else {
            EXPECT_EQ(getpgid(child.pid), getpgid(daemon->pid()));
        }

        StopCleanly(c.line ? "an action shell outside its group" : "an action child running");
        daemon.reset();
        if (c.line) {
            EXPECT_NE(Log().find(c.line), std::string::npos) << Log();
        } else {
            EXPECT_TRUE(WaitFor([&] { return !ProcessAlive(child.pid); }, std::chrono::seconds(5)))
                << "the action child outlived the daemon";
        }
        ::unlink((dir / ("record." + std::string(c.record))).c_str());
    }
}

}  // namespace
