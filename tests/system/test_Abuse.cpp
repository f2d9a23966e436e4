// Hostile clients: malformed, oversized and dribbled requests, and resets mid-answer. Each is
// answered or closed, and the daemon goes on serving.
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

// Garbage of several shapes gets an error answer or a closed connection.
TEST_F(Abuse, MalformedRequests)
{
    const std::string requests[] = {
        "GARBAGE\r\n\r\n",
        "POST / HTTP/1.1\r\nContent-Length: 5\r\n\r\n<a></",
        "POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\n\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a",
        Post("<Envelope><Body><wex:command xmlns:wex=\"urn:other\"/></Body></Envelope>"),
        Post(std::string(2000, '<')),
        Post("<?xml version=\"1.0\"?><!DOCTYPE x [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">"
             "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;\">]><x>&c;&c;&c;</x>"),
        "POST / HTTP/1.1\r\nContent-Length: -1\r\n\r\n",
        "GET /" + std::string(100000, 'a') + " HTTP/1.1\r\n\r\n",
    };
    for (const std::string& r : requests) {
        HttpAnswer a = Exchange(port, r);
        EXPECT_TRUE(a.raw.empty() || a.status >= 400) << r.substr(0, 80) << "\n" << a.raw;
    }
}

// A request above the size limit is refused without reading it all.
TEST_F(Abuse, OversizedRequestRefused)
{
    std::string body = Envelope("command", {{"plugin", "thermo"}, {"command", "get"},
                                            {"parameters", std::string(3 * 1024 * 1024, 'x')}});
    HttpAnswer a = Exchange(port, Post(body));
    EXPECT_TRUE(a.raw.empty() || a.status >= 400) << a.raw.substr(0, 200);
    EXPECT_EQ(a.raw.find("<result>"), std::string::npos);
}

// A request that dribbles in one byte at a time is cut off, freeing its worker.
TEST_F(Abuse, DribbledRequestIsCutOff)
{
    std::string req = Post(Envelope("auth-user") + std::string(100000, ' '));
    int fd = ConnectLoopback(port);
    ASSERT_GE(fd, 0);
    bool closed = false;
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(40);
    for (size_t i = 0; i < req.size() && std::chrono::steady_clock::now() < until; ++i) {
        if (!SendAll(fd, req.substr(i, 1))) {
            closed = true;
            break;
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            closed = true;
            break;
        }
    }
    close(fd);
    EXPECT_TRUE(closed);
}

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
