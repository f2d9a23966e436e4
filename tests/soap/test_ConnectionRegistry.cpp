// The registry of the worker pool's connections: the places workers waiting for a busy plug-in
// give up for waiting connections, and the sockets a stop shuts down.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "soap/ConnectionRegistry.h"

namespace {

// Steps on one registry, in order: 'q' a connection is queued, 't' a worker takes one,
// '+' a waiting worker asks to yield and is let, '-' it asks and is refused.
struct YieldCase {
    const char* name;
    const char* steps;
};

class Yielding : public ::testing::TestWithParam<YieldCase> {};

// A worker is let go only for a connection that waits and that no other yielded worker was
// let go for; a taken connection gives its place back, so the same holds in every episode
// of a daemon's life, not only in the first.
TEST_P(Yielding, OnePlacePerWaitingConnection)
{
    ConnectionRegistry registry;
    int waiting = 0;
    const std::string steps = GetParam().steps;
    for (size_t i = 0; i < steps.size(); ++i) {
        SCOPED_TRACE("step " + std::to_string(i) + " of " + steps);
        switch (steps[i]) {
        case 'q':
            registry.Queued();
            ++waiting;
            break;
        case 't':
            registry.Taken();
            --waiting;
            break;
        case '+':
        case '-':
            EXPECT_EQ(registry.YieldWorker(), steps[i] == '+');
            break;
        default:
            continue;
        }
        EXPECT_EQ(registry.Waiting(), waiting);
    }
}

const YieldCase kYieldCases[] = {
    {"NothingWaits", "- -"},
    {"OnePerWaitingConnection", "qq ++- tt -"},
    {"TakenGivesThePlaceBack", "q + t q + t q + t"},
    {"EpisodesInARow", "qqq +++- ttt qqq +++- ttt qqq +++- ttt qqq +++- ttt -"},
    {"TakenWithoutAYieldOwesNothing", "q t q + - t"},
    {"PartlyTakenKeepsTheRest", "qqq ++ t + - tt qq ++ -"},
};

INSTANTIATE_TEST_SUITE_P(Table, Yielding, ::testing::ValuesIn(kYieldCases),
                         [](const auto& param) { return std::string(param.param.name); });

// Which of three connections are still being served when the stop shuts them down.
struct ShutDownCase {
    const char* name;
    std::vector<int> closed;  // of connections 0, 1 and 2, those that ended before the stop
};

class ShuttingDown : public ::testing::TestWithParam<ShutDownCase> {};

// Whether the far end of a socket pair has seen its peer shut down (an end of file at once).
bool SeesShutdown(int fd)
{
    pollfd p = {fd, POLLIN, 0};
    char c;
    return poll(&p, 1, 0) == 1 && recv(fd, &c, 1, MSG_DONTWAIT) == 0;
}

// ShutDownAll reaches exactly the connections opened and not closed, and counts them; a
// closed connection is forgotten, so its socket (by then perhaps another connection's) is
// left alone.
TEST_P(ShuttingDown, ReachesExactlyTheOpenOnes)
{
    const ShutDownCase& c = GetParam();
    ConnectionRegistry registry;
    int pairs[3][2];
    const char keys[3] = {};
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pairs[i]), 0);
        registry.Opened(&keys[i], pairs[i][0]);
    }
    for (int i : c.closed)
        registry.Closed(&keys[i]);

    EXPECT_EQ(registry.ShutDownAll(), 3 - static_cast<int>(c.closed.size()));
    for (int i = 0; i < 3; ++i) {
        const bool open = std::find(c.closed.begin(), c.closed.end(), i) == c.closed.end();
        EXPECT_EQ(SeesShutdown(pairs[i][1]), open) << "connection " << i;
        close(pairs[i][0]);
        close(pairs[i][1]);
    }
}

const ShutDownCase kShutDownCases[] = {
    {"AllOpen", {}},
    {"OneClosed", {1}},
    {"TwoClosed", {0, 2}},
    {"AllClosed", {0, 1, 2}},
};

INSTANTIATE_TEST_SUITE_P(Table, ShuttingDown, ::testing::ValuesIn(kShutDownCases),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
