// Start-up, timers and shutdown of the whole daemon: plug-in registration, action sets,
// discovery announcements, stopping while busy, and the exit statuses of failed starts.
#include <future>

#include "DaemonFixture.h"
#include "common/Multicast.h"

using namespace corvane_test;

namespace {

class Lifecycle : public DaemonFixture {};

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

// SIGTERM while a slow command runs: the command finishes, the daemon exits 0 and cleans up.
TEST_F(Lifecycle, StopWhileCommandRuns)
{
    UsePlugins("plugins");
    MakeUsers();
    Start();
    auto slow = std::async(std::launch::async, [this] {
        return Call("command", {{"plugin", "thermo"}, {"command", "slow"}, {"parameters", ""}});
    });
    ASSERT_TRUE(WaitFor([&] { return Log().find("exec: ") != std::string::npos; }));
    EXPECT_EQ(Stop(), 0);
    HttpAnswer a = slow.get();
    EXPECT_EQ(ElementText(a.body, "result"), "slow done\n");
    std::string log = Log();
    EXPECT_EQ(log.substr(log.size() - 11), "...exiting\n");
    EXPECT_FALSE(std::ifstream(dir / "pid").good());
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
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
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
