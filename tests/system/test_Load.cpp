// The daemon under load and under misbehaving plug-ins: many clients mixing good and bad
// requests, a stop in the middle of that, and plug-ins that flood, close their output early or
// die. Afterwards the daemon still answers, holds no more descriptors than when idle and has
// collected every child.
#include <atomic>
#include <future>

#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

const int kClients = 16;
const int kRequestsPerClient = 150;

// Processes other than this one whose command line names `text`.
std::string ProcessesMentioning(const std::string& text)
{
    std::string found;
    DIR* proc = opendir("/proc");
    while (struct dirent* e = readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9' || std::stoi(e->d_name) == getpid())
            continue;
        std::string cmdline = ReadFile(std::string("/proc/") + e->d_name + "/cmdline");
        if (cmdline.find(text) != std::string::npos)
            found += std::string(e->d_name) + ": " + cmdline + "\n";
    }
    closedir(proc);
    return found;
}

class Load : public DaemonFixture {
protected:
    void SetUp() override
    {
        DaemonFixture::SetUp();
        UsePlugins("plugins");
        ASSERT_EQ(std::system(("cp -a '" + std::string(CORVANE_TEST_DATA) + "/faults/.' '" + (dir / "plugins") + "'").c_str()), 0);
        MakeUsers();
        Start();
    }

    // One request of the mix and whether its answer is the right one.
    struct Mixed {
        std::string request;
        std::function<bool(const HttpAnswer&)> right;
    };

    std::vector<Mixed> Mix() const
    {
        auto result = [](const std::string& expected) {
            return [expected](const HttpAnswer& a) { return a.status == 200 && ElementText(a.body, "result") == expected; };
        };
        auto status = [](int expected) { return [expected](const HttpAnswer& a) { return a.status == expected; }; };
        return {
            {Post(Envelope("auth-user")), result("*")},
            {Post(Envelope("auth-user"), "tech:pw1"), result("*:AUTHED:service")},
            {Post(Envelope("get-plugin-config", {{"plugin", "thermo"}})),
             [](const HttpAnswer& a) { return a.status == 200 && a.body.find("&lt;plugin name=\"thermo\"") != std::string::npos; }},
            {Post(Envelope("command", {{"plugin", "thermo"}, {"command", "get"}, {"parameters", ""}})),
             result("mode=auto\nlabel=Grüße\n")},
            {Post(Envelope("auth-user"), "tech:wrong"), status(401)},
            {Post(Envelope("no-such-operation")), status(500)},
            {"GET /downloads/missing HTTP/1.1\r\nHost: x\r\n\r\n", status(404)},
            {"POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n<a></", [](const HttpAnswer& a) { return a.raw.empty() || a.status >= 400; }},
            {Post(Envelope("command", {{"plugin", "nosuch"}, {"command", "get"}, {"parameters", ""}})),
             [](const HttpAnswer& a) { return a.raw.empty(); }},
        };
    }

    // The daemon still answers, and is back to its idle descriptors with no zombie.
    void ExpectHealthy(int idleDescriptors)
    {
        EXPECT_EQ(ElementText(Call("auth-user").body, "result"), "*");
        EXPECT_TRUE(WaitFor([&] { return OpenDescriptors(daemon->pid()) == idleDescriptors; }))
            << OpenDescriptors(daemon->pid()) << " open, " << idleDescriptors << " when idle";
        EXPECT_TRUE(WaitFor([&] { return Zombies(daemon->pid()) == 0; }));
    }

    int IdleDescriptors()
    {
        // One answered request first, so that whatever is opened once on first use counts as idle.
        Call("command", {{"plugin", "thermo"}, {"command", "get"}, {"parameters", ""}}, "tech:pw1");
        int idle = -1;
        WaitFor([&] {
            int now = OpenDescriptors(daemon->pid());
            bool settled = now == idle;
            idle = now;
            return settled;
        });
        return idle;
    }
};

// Sixteen clients, a few thousand requests with malformed ones among them: every request gets
// its right answer and nothing leaks.
TEST_F(Load, ManyClientsMixedRequests)
{
    const int idle = IdleDescriptors();
    const std::vector<Mixed> mix = Mix();
    std::atomic<int> wrong{0};
    std::vector<std::future<std::string>> clients;
    for (int c = 0; c < kClients; ++c)
        clients.push_back(std::async(std::launch::async, [&, c] {
            std::string firstWrong;
            for (int i = 0; i < kRequestsPerClient; ++i) {
                const Mixed& m = mix[static_cast<size_t>(c + i) % mix.size()];
                HttpAnswer a = Exchange(port, m.request);
                if (!m.right(a) && wrong++ == 0)
                    firstWrong = m.request.substr(0, 120) + "\n->\n" + a.raw.substr(0, 400);
            }
            return firstWrong;
        }));
    std::string firstWrong;
    for (auto& c : clients)
        firstWrong += c.get();
    EXPECT_EQ(wrong.load(), 0) << firstWrong;
    ASSERT_TRUE(ProcessAlive(daemon->pid()));
    ExpectHealthy(idle);
    EXPECT_EQ(Stop(), 0);
}

// SIGTERM while clients keep sending: a clean exit, the last log line, no pid file, no child.
TEST_F(Load, StopUnderLoad)
{
    const std::vector<Mixed> mix = Mix();
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0};
    std::vector<std::future<void>> clients;
    for (int c = 0; c < kClients; ++c)
        clients.push_back(std::async(std::launch::async, [&, c] {
            for (int i = 0; !stop.load(); ++i)
                if (Exchange(port, mix[static_cast<size_t>(c + i) % mix.size()].request).connected)
                    ++answered;
        }));
    ASSERT_TRUE(WaitFor([&] { return answered.load() > 200; }));
    const pid_t pid = daemon->pid();
    EXPECT_EQ(Stop(), 0);
    stop = true;
    for (auto& c : clients)
        c.get();
    const std::string log = Log();
    ASSERT_GE(log.size(), 11u);
    EXPECT_EQ(log.substr(log.size() - 11), "...exiting\n");
    EXPECT_FALSE(std::ifstream(dir / "pid").good());
    // Orphans of the daemon would have been handed to another parent: look for any process
    // still running a fixture plug-in of this test.
    EXPECT_EQ(ChildrenOf(pid, false), 0);
    EXPECT_EQ(ProcessesMentioning(dir / "plugins"), "");
}

// Plug-ins that flood, close their output early or die: the caller gets what was written, and
// the daemon stays healthy, also with many such commands at once.
TEST_F(Load, MisbehavingPlugins)
{
    const int idle = IdleDescriptors();
    auto run = [this](const std::string& command) {
        return Call("command", {{"plugin", "faulty"}, {"command", command}, {"parameters", ""}});
    };
    HttpAnswer flood = run("flood");
    EXPECT_EQ(flood.status, 200);
    const std::string all = ElementText(flood.body, "result");
    EXPECT_EQ(all.size(), 200000u * 11);
    EXPECT_EQ(all.substr(0, 11), "line000001\n");
    EXPECT_EQ(all.substr(all.size() - 11), "line200000\n");

    struct Case {
        const char* command;
        const char* kept;
    } cases[] = {{"early", "first\n"}, {"killed", "before\n"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        HttpAnswer a = run(c.command);
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(ElementText(a.body, "result"), c.kept);
    }

    std::vector<std::future<std::string>> together;
    for (int i = 0; i < 12; ++i)
        together.push_back(std::async(std::launch::async, [&, i] {
            return ElementText(run(i % 2 ? "killed" : "early").body, "result");
        }));
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(together[static_cast<size_t>(i)].get(), i % 2 ? "before\n" : "first\n");
    ExpectHealthy(idle);
    EXPECT_EQ(Stop(), 0);
}

}  // namespace
