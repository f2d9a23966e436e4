#pragma once
// Starts the real corvaned on a loopback port with a temporary configuration, a copy of a
// fixture plug-in directory and a real SQLite user database built from SQL.
#include <sys/stat.h>

#include "common/Http.h"
#include "common/Process.h"

namespace corvane_test {

class DaemonFixture : public ::testing::Test {
protected:
    // Checked here rather than in SetUp: a fatal failure in the constructor keeps every SetUp
    // of the fixtures built on this one from running, so none starts the daemon on a host network.
    DaemonFixture() { RequirePrivateNetwork(); }
    void RequirePrivateNetwork() { CORVANE_REQUIRE_PRIVATE_NETWORK(); }

    // Copies the fixture folder data/<plugins> into the test's directory.
    void UsePlugins(const std::string& fixture)
    {
        std::string cmd = "cp -a '" + std::string(CORVANE_TEST_DATA) + "/" + fixture + "' '" + (dir / "plugins") + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    void MakeUsers(const std::string& sqlFile = std::string(CORVANE_TEST_DATA) + "/users.sql")
    {
        std::string cmd = "sqlite3 '" + (dir / "users.sqlite") + "' < '" + sqlFile + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }

    std::string Config(const std::string& extraBackend = "", bool withPort = true)
    {
        std::string text = "[backend]\n";
        if (withPort)
            text += "port=" + std::to_string(port) + "\n";
        text += "plugin_dir=" + (dir / "plugins") + "\nlogfile=" + (dir / "corvaned.log") +
                "\nloglevel=5\npidfile=" + (dir / "pid") + "\n" + extraBackend +
                "[global]\nsqllite_db=" + (dir / "users.sqlite") + "\n";
        WriteFile(dir / "corvaned.conf", text);
        return dir / "corvaned.conf";
    }

    // Starts the daemon and waits until it accepts connections. A `wrapper` command, if
    // given, is started instead and must end by executing the daemon's command line, which
    // is appended to it.
    void Start(const std::string& config = "", const std::vector<std::string>& wrapper = {})
    {
        setenv("CORVANE_RECORD", (dir / "record").c_str(), 1);
        std::vector<std::string> argv = wrapper;
        for (const std::string& arg : {DaemonPath(), std::string("-c"), config.empty() ? Config() : config})
            argv.push_back(arg);
        daemon.reset(new Process(argv, dir / "stderr"));
        bool up = WaitFor([this] {
            int fd = ConnectLoopback(port);
            if (fd >= 0)
                close(fd);
            return fd >= 0 || !ProcessAlive(daemon->pid());
        });
        ASSERT_TRUE(up) << Log();
    }

    int Stop()
    {
        daemon->Signal(SIGTERM);
        return daemon->Wait(std::chrono::seconds(10));
    }

    std::string Log() { return ReadFile(dir / "corvaned.log"); }

    HttpAnswer Call(const std::string& operation, const std::vector<std::pair<std::string, std::string>>& fields = {},
                    const std::string& auth = "")
    {
        return Exchange(port, Post(Envelope(operation, fields), auth));
    }

    TempDir dir;
    int port = FreePort();
    std::unique_ptr<Process> daemon;
};

// The daemon on a fixture plug-in folder (the usual "plugins" one unless a test says otherwise)
// and the test users, started before each test and stopped cleanly after it.
class ServingDaemon : public DaemonFixture {
protected:
    virtual std::string PluginFolder() const { return "plugins"; }

    void SetUp() override
    {
        DaemonFixture::SetUp();
        UsePlugins(PluginFolder());
        MakeUsers();
        Start();
    }
    void TearDown() override
    {
        if (daemon) {
            EXPECT_EQ(Stop(), 0);
        }
    }
};

}  // namespace corvane_test
