// What the one launcher gives a command (its descriptors and signal dispositions) and how a
// command is ended or given up on: signals repeated while commands start, and a shell that
// left its process group.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/TestSupport.h"
#include "plugins/CommandProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string OutputOf(CommandProcess& process)
{
    std::string out;
    char buffer[4096];
    for (ssize_t n; (n = process.Read(buffer, sizeof buffer)) > 0;)
        out.append(buffer, static_cast<std::size_t>(n));
    return out;
}

// The process group of `pid`, from /proc, or 0.
pid_t GroupOf(pid_t pid)
{
    const std::string stat = corvane_test::ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    int group = 0;
    if (close == std::string::npos || sscanf(stat.c_str() + close + 1, " %*c %*d %d", &group) != 1)
        return 0;
    return group;
}

}  // namespace

// A command holds descriptors 0, 1 and 2 only, even where the daemon holds one that is not
// close-on-exec, and has SIGPIPE at its default where the daemon ignores it.
TEST(CommandProcess, ChildGetsTheStandardDescriptorsAndDefaultSigpipeOnly)
{
    const int inherited = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(inherited, 3);
    ::signal(SIGPIPE, SIG_IGN);
    // The glob's own directory descriptor is closed again by the time the loop looks at it.
    CommandProcess process("for f in /proc/$$/fd/*; do [ -e \"$f\" ] && printf '%s ' \"${f##*/}\"; done; echo; "
                           "sed -n 's/^SigIgn:[[:space:]]*//p' /proc/$$/status",
                           CommandProcess::eRead);
    ASSERT_TRUE(process.running());
    const std::string out = OutputOf(process);
    EXPECT_EQ(process.Wait(), 0);
    ::signal(SIGPIPE, SIG_DFL);
    ::close(inherited);

    const auto lineEnd = out.find('\n');
    ASSERT_NE(lineEnd, std::string::npos) << out;
    EXPECT_EQ(out.substr(0, lineEnd), "0 1 2 ");
    const unsigned long long ignored = std::strtoull(out.c_str() + lineEnd + 1, nullptr, 16);
    EXPECT_EQ(ignored & (1ull << (SIGPIPE - 1)), 0u) << out;
}

// Commands keep starting on several threads while another repeats the signal: each is ended
// by a later round even when it started too late for the one in flight.
TEST(CommandProcess, SignalsRepeatedWhileCommandsStartEndThemAll)
{
    const int kThreads = 4;
    const int kEach = 25;
    std::atomic<int> running{kThreads};
    std::atomic<int> ended{0};
    std::vector<std::thread> starters;
    for (int t = 0; t < kThreads; ++t) {
        starters.emplace_back([&] {
            for (int i = 0; i < kEach; ++i) {
                CommandProcess process("exec sleep 30", CommandProcess::eNoPipe);
                if (!process.running())
                    break;
                const int status = process.Wait();
                if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
                    ++ended;
            }
            --running;
        });
    }
    const auto giveUp = Clock::now() + std::chrono::seconds(20);
    while (running.load() > 0 && Clock::now() < giveUp) {
        CommandProcess::SignalAll(SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    const bool allEnded = running.load() == 0;
    // Whatever is still running now ends with the test.
    while (running.load() > 0) {
        CommandProcess::SignalAll(SIGKILL);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    for (std::thread& t : starters)
        t.join();
    EXPECT_TRUE(allEnded);
    EXPECT_EQ(ended.load(), kThreads * kEach);
}

// A shell that leaves its process group is out of reach of the group's signals; once the
// commands are abandoned nothing waits for it any more. The same command in its group is
// waited for as before.
TEST(CommandProcess, AbandonedShellThatLeftItsGroupIsNotWaitedFor)
{
    corvane_test::TempDir dir;
    const std::string record = dir / "pid";
    CommandProcess process("exec perl -e 'setpgrp(0, getpgrp(getppid())) or die; open(my $f, \">\", \"" + record +
                               "\"); print $f \"$$\\n\"; close $f; sleep 30'",
                           CommandProcess::eNoPipe);
    ASSERT_TRUE(process.running());
    pid_t shell = 0;
    for (auto until = Clock::now() + std::chrono::seconds(10); shell == 0 && Clock::now() < until;) {
        shell = std::atoi(corvane_test::ReadFile(record).c_str());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_GT(shell, 0);
    EXPECT_EQ(GroupOf(shell), ::getpgrp());
    EXPECT_FALSE(process.AwaitEnd(Clock::now() + std::chrono::milliseconds(100)));

    CommandProcess::SignalAll(SIGKILL);
    EXPECT_FALSE(process.AwaitEnd(Clock::now() + std::chrono::milliseconds(200))) << "the group's signal reached it";
    CommandProcess::AbandonAll();
    auto waited = std::async(std::launch::async, [&] { return process.Wait(); });
    const bool returned = waited.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    ::kill(shell, SIGKILL);
    ::waitpid(shell, nullptr, 0);
    EXPECT_TRUE(returned) << "Wait waited for a shell it had given up";
}

// A shell that ends is seen at once, without collecting it; the wait status stays for Wait.
TEST(CommandProcess, AwaitEndSeesTheEndWithoutCollecting)
{
    CommandProcess process("exit 7", CommandProcess::eNoPipe);
    ASSERT_TRUE(process.running());
    EXPECT_TRUE(process.AwaitEnd(Clock::now() + std::chrono::seconds(10)));
    EXPECT_TRUE(process.running());
    const int status = process.Wait();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << status;
}
