#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <thread>

#include "FakePlugin.h"
#include "common/LogCapture.h"
#include "plugins/Plugin.h"

using corvane_test::LogCapture;

namespace {

const std::string EXEC = CORVANE_TEST_DATA "/exec";
const std::string SCRIPT = EXEC + "/fake_plugin.sh";
const long LATER = 4000000000L;  // every set is due by then

// Calls ExecuteActionsSets until `done` holds; gives up after about ten seconds.
template <typename Done>
bool CollectUntil(Plugin& plugin, Done done)
{
    for (int i = 0; i < 1000; ++i) {
        plugin.ExecuteActionsSets(0);  // nothing is due at time 0: only collects
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

int Lines(const std::string& text)
{
    int n = 0;
    for (char c : text)
        n += c == '\n';
    return n;
}

}  // namespace

// Due actions start "word type.instance"; a failing one is logged with its raw wait status;
// one hidden from "*" is skipped while the others run; none stays a zombie.
TEST(PluginActions, RunsDueActionsAndCollectsThem)
{
    FakePluginDir dir;
    LogCapture log;
    Plugin plugin(EXEC + "/runner.xml");
    plugin.ExecuteActionsSets(LATER);

    EXPECT_TRUE(log.Contains("DEBUG:  we would run now: action status, with parameter size on instance disk.sda\n"));
    EXPECT_TRUE(log.Contains("we would run now: action fail, with parameter  on instance .\n"));
    EXPECT_TRUE(log.Contains("ERROR:  plugin runner: action secret has no command word, skipped\n"));

    const std::string failure = "ERROR:  plugin runner: problem exec'ing: " + SCRIPT + " returned: 768\n";
    ASSERT_TRUE(CollectUntil(plugin, [&] { return log.Contains(failure); })) << log.Text();
    ASSERT_TRUE(CollectUntil(plugin, [&] { return Lines(dir.Read("calls")) == 2 && !HasZombieChild(); }));
    const std::string calls = dir.Read("calls");
    EXPECT_NE(calls.find("[status][disk.sda]\n"), std::string::npos) << calls;
    EXPECT_NE(calls.find("[fail][.]\n"), std::string::npos) << calls;
    EXPECT_EQ(log.Count("problem exec'ing"), 1);

    // Each set had count 1: nothing more starts.
    plugin.ExecuteActionsSets(LATER);
    EXPECT_EQ(log.Count("we would run now: "), 2);
}

// The command word and the target of an action are description text: the shell expands and
// redirects them as written.
TEST(PluginActions, ActionLineIsShellText)
{
    FakePluginDir dir;
    ::setenv("FAKE_LEAD", "lead", 1);
    ::setenv("FAKE_WORD", "expanded", 1);
    LogCapture log;
    Plugin plugin(EXEC + "/shellside.xml");
    plugin.ExecuteActionsSets(LATER);
    EXPECT_TRUE(log.Contains("we would run now: action plain $FAKE_WORD 2>/dev/null, with parameter  on "
                             "instance disk.$FAKE_WORD\n"));
    ASSERT_TRUE(CollectUntil(plugin, [&] { return Lines(dir.Read("calls")) == 1 && !HasZombieChild(); }));
    EXPECT_EQ(dir.Read("calls"), "[lead][plain][expanded][disk.expanded]\n");
    EXPECT_FALSE(log.Contains("problem exec'ing"));
    ::unsetenv("FAKE_LEAD");
    ::unsetenv("FAKE_WORD");
}

// Collecting action children leaves other children of the process to their own waiters.
TEST(PluginActions, CollectsOnlyItsOwnChildren)
{
    FakePluginDir dir;
    const pid_t other = ::fork();
    ASSERT_NE(other, -1);
    if (other == 0)
        ::_exit(7);
    ASSERT_TRUE([&] {
        for (int i = 0; i < 1000 && !HasZombieChild(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return HasZombieChild();
    }());

    Plugin plugin(EXEC + "/runner.xml");
    plugin.ExecuteActionsSets(LATER);
    ASSERT_TRUE(CollectUntil(plugin, [&] { return Lines(dir.Read("calls")) == 2; }));
    for (int i = 0; i < 20; ++i)
        plugin.ExecuteActionsSets(0);

    int status = 0;
    ASSERT_EQ(::waitpid(other, &status, 0), other);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

// An action runs in a process group of its own, and one that still runs when its plug-in goes
// is ended with it, not waited for (it would run for a minute).
TEST(PluginActions, ChildInItsOwnGroupEndsWithThePlugin)
{
    FakePluginDir dir;
    pid_t child = 0;
    std::chrono::steady_clock::time_point released;
    {
        Plugin plugin(EXEC + "/lingering.xml");
        plugin.ExecuteActionsSets(LATER);
        ASSERT_TRUE(CollectUntil(plugin, [&] { return std::sscanf(dir.Read("pids").c_str(), "%d", &child) == 1; }));
        EXPECT_NE(::getpgid(child), ::getpgrp());
        EXPECT_EQ(plugin.CollectActionChildren(), 1u);
        released = std::chrono::steady_clock::now();
    }
    while (::kill(child, 0) == 0 && std::chrono::steady_clock::now() - released < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LT(std::chrono::steady_clock::now() - released, std::chrono::seconds(10)) << "the action child outlived its plug-in";
    if (::kill(child, 0) == 0)
        ::kill(child, SIGKILL);
}

// With the real clock, sets are not due before their first period has passed.
TEST(PluginActions, NothingDueRightAfterConstruction)
{
    FakePluginDir dir;
    LogCapture log;
    Plugin plugin(CORVANE_TEST_DATA "/fancontrol.xml");
    plugin.ExecuteActionsSets();
    EXPECT_FALSE(log.Contains("we would run now: "));
}
