// Hostile clients: resets in the middle of an answer and many clients at once; the daemon goes
// on serving. Malformed, oversized and dribbled requests are in the framing and network tables.
#include <future>

#include "DaemonFixture.h"

using namespace corvane_test;

namespace {

class Abuse : public ServingDaemon {
protected:
    void TearDown() override
    {
        // Still serving, then a clean stop.
        if (daemon) {
            EXPECT_EQ(ElementText(Call("auth-user").body, "result"), "*");
        }
        ServingDaemon::TearDown();
    }
};

// A client that resets the connection in the middle of a large answer does not hurt the daemon.
TEST_F(Abuse, ResetMidAnswer)
{
    ASSERT_TRUE(std::ifstream("/tmp/downloads/.").good()) << "no /tmp/downloads (tests/isolated.sh makes it)";
    std::string file = "/tmp/downloads/big-" + std::to_string(port);
    WriteFile(file, std::string(20 * 1024 * 1024, 'z'));
    for (int i = 0; i < 5; ++i) {
        int fd = ConnectLoopback(port);
        ASSERT_GE(fd, 0);
        SendAll(fd, "GET /downloads/big-" + std::to_string(port) + " HTTP/1.1\r\n\r\n");
        char buf[4096];
        recv(fd, buf, sizeof buf, 0);
        linger lg = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(fd);
    }
    unlink(file.c_str());
}

// Many connections at once are all answered.
TEST_F(Abuse, ParallelClients)
{
    std::vector<std::future<std::string>> answers;
    for (int i = 0; i < 32; ++i)
        answers.push_back(std::async(std::launch::async, [this] { return ElementText(Call("auth-user", {}, "tech:pw1").body, "result"); }));
    for (auto& a : answers)
        EXPECT_EQ(a.get(), "*:AUTHED:service");
}

}  // namespace
