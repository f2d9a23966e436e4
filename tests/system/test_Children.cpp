// What plug-in children get from the daemon and what they cannot do to it: only descriptors 0,
// 1 and 2, whatever the daemon inherited; SIGPIPE at its default, while the daemon ignores it
// for itself, so that neither a plug-in that leaves its input unread nor a log FIFO whose
// reader went away can end it.
#include <fcntl.h>
#include <sys/stat.h>

#include <cstdlib>

#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

class Children : public DaemonFixture {
protected:
    void SetUp() override
    {
        DaemonFixture::SetUp();
        UsePlugins("children");
        MakeUsers();
    }

    std::string Run(const std::string& command, const std::string& parameters = "")
    {
        const HttpAnswer a = Call("command", {{"plugin", "kid"}, {"command", command}, {"parameters", parameters}});
        EXPECT_EQ(a.status, 200) << a.raw.substr(0, 300);
        return ElementText(a.body, "result");
    }

    // The signals process `pid` ignores, from /proc.
    static unsigned long long Ignored(const std::string& status)
    {
        const auto at = status.find("SigIgn:");
        return at == std::string::npos ? ~0ull : std::strtoull(status.c_str() + at + 7, nullptr, 16);
    }
};

// The signals the daemon ignores for itself and gives back to its children.
const unsigned long long kWriteSignals = (1ull << (SIGPIPE - 1)) | (1ull << (SIGXFSZ - 1));

// A descriptor the daemon inherited without close-on-exec (from whoever started it) does not
// reach a plug-in, nor does any of the daemon's own.
TEST_F(Children, PluginGetsOnlyTheStandardDescriptors)
{
    Start("", {"/bin/sh", "-c", "exec 7</dev/null; exec \"$@\"", "sh"});
    ASSERT_TRUE(Exists("/proc/" + std::to_string(daemon->pid()) + "/fd/7")) << "the daemon did not inherit it";
    EXPECT_EQ(Run("fds"), "0 1 2 \n");
    EXPECT_EQ(Stop(), 0);
}

// The daemon ignores SIGPIPE and SIGXFSZ; the plug-in it starts has both at their defaults.
TEST_F(Children, SigpipeIgnoredByTheDaemonOnly)
{
    Start();
    EXPECT_EQ(Ignored(ReadFile("/proc/" + std::to_string(daemon->pid()) + "/status")) & kWriteSignals, kWriteSignals);
    const std::string child = Run("ignored");
    ASSERT_EQ(child.rfind("ignored=", 0), 0u) << child;
    EXPECT_EQ(Ignored("SigIgn:" + child.substr(8)) & kWriteSignals, 0u) << child;
    EXPECT_EQ(Stop(), 0);
}

// A "setconfig" whose executable exits without reading its input: the daemon's write fails
// and it goes on serving.
TEST_F(Children, PluginThatLeavesItsInputUnreadCannotEndTheDaemon)
{
    Start();
    // More than a pipe holds, so that the write meets the closed pipe.
    EXPECT_EQ(Run("setconfig", "c\x17" + std::string(300 * 1024, 'x')), "");
    EXPECT_EQ(Run("fds"), "0 1 2 \n");
    EXPECT_EQ(Stop(), 0);
}

// The log is a FIFO whose reader goes away: the lines written after that are lost, the
// daemon serves on and stops cleanly.
TEST_F(Children, LogFifoWithoutReaderCannotEndTheDaemon)
{
    const std::string fifo = dir / "corvaned.log";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    // A reader first, or the daemon's open would wait for one.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    Start();
    ASSERT_EQ(::close(reader), 0);
    // Each call writes debug lines to the log.
    EXPECT_EQ(Run("fds"), "0 1 2 \n");
    EXPECT_EQ(Run("fds"), "0 1 2 \n");
    EXPECT_EQ(Stop(), 0);
}

// The log file reaches the file-size limit the daemon was started under: the lines beyond it
// are lost, the daemon serves on and stops cleanly.
TEST_F(Children, LogAtTheFileSizeLimitCannotEndTheDaemon)
{
    Start("", {"/usr/bin/prlimit", "--fsize=4096", "--"});
    // Each call writes debug lines to the log, far past the limit after a few.
    for (int i = 0; i < 150; ++i)
        ASSERT_EQ(Run("fds"), "0 1 2 \n") << i;
    EXPECT_EQ(Log().size(), 4096u);
    EXPECT_EQ(Stop(), 0);
}

}  // namespace
