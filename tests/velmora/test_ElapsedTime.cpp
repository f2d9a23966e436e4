#include "velmora/ElapsedTimeCounter.h"
#include "velmora/ElapsedTimeSnapshot.h"

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <string>
#include <thread>
#include <vector>

using velmora::ElapsedTimeCounter;
using velmora::ElapsedTimeSnapshot;

namespace {

struct AutoCase {
    unsigned long long us;
    std::string text;
};

constexpr unsigned long long kSecond = 1000000ULL;

} // namespace

// autoString picks the unit by size, truncates, and uses the singular only for exactly 1.
TEST(ElapsedTimeSnapshot, AutoStringChoosesUnitAndPlural)
{
    const std::vector<AutoCase> cases = {
        {0, "0 microseconds"},
        {1, "1 microsecond"},
        {999, "999 microseconds"},
        {1000, "1 millisecond"},
        {1999, "1 millisecond"},
        {2000, "2 milliseconds"},
        {999999, "999 milliseconds"},
        {kSecond, "1 second"},
        {59999999, "59 seconds"},
        {60 * kSecond, "0:01:00"},
        {3725 * kSecond, "1:02:05"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ElapsedTimeSnapshot(c.us).autoString(), c.text) << c.us;
}

// The unit strings stand on their own, whatever the size of the value.
TEST(ElapsedTimeSnapshot, UnitStrings)
{
    const ElapsedTimeSnapshot s(61 * kSecond + 5);
    EXPECT_EQ(s.microsecondsString(), "61000005 microseconds");
    EXPECT_EQ(s.millisecondsString(), "61000 milliseconds");
    EXPECT_EQ(s.secondsString(), "61 seconds");
    EXPECT_EQ(ElapsedTimeSnapshot(1000).secondsString(), "0 seconds");
}

// Hours are not reduced; minutes, seconds and milliseconds are zero-filled.
TEST(ElapsedTimeSnapshot, TimeForms)
{
    const ElapsedTimeSnapshot day((25 * 3600 + 61) * kSecond + 1000);
    EXPECT_EQ(day.timeString(), "25:01:01");
    EXPECT_EQ(day.detailedTimeString(), "25:01:01.001");
    const ElapsedTimeSnapshot s(3725 * kSecond + 42000);
    EXPECT_EQ(s.timeString(), "1:02:05");
    EXPECT_EQ(s.detailedTimeString(), "1:02:05.042");
    EXPECT_EQ(ElapsedTimeSnapshot().detailedTimeString(), "0:00:00.000");
}

// Conversions truncate; the raw forms keep the fraction.
TEST(ElapsedTimeSnapshot, UnitConversions)
{
    const ElapsedTimeSnapshot s(1500000);
    EXPECT_DOUBLE_EQ(s.rawSeconds(), 1.5);
    EXPECT_DOUBLE_EQ(s.rawMilliseconds(), 1500.0);
    EXPECT_EQ(s.seconds(), 1u);
    EXPECT_EQ(s.milliseconds(), 1500u);
    const ElapsedTimeSnapshot h(2 * 3600 * kSecond - 1);
    EXPECT_EQ(h.hours(), 1u);
    EXPECT_EQ(h.minutes(), 119u);
}

// + and - change the left operand, return it, and subtraction wraps below zero.
TEST(ElapsedTimeSnapshot, ArithmeticChangesLeftOperand)
{
    ElapsedTimeSnapshot a(5);
    const ElapsedTimeSnapshot b(3);
    ElapsedTimeSnapshot& sum = a + b;
    EXPECT_EQ(&sum, &a);
    EXPECT_EQ(a.microseconds(), 8u);
    EXPECT_EQ(b.microseconds(), 3u);

    ElapsedTimeSnapshot c(5);
    EXPECT_EQ((c - b).microseconds(), 2u);
    EXPECT_EQ(c.microseconds(), 2u);

    ElapsedTimeSnapshot d(3);
    d - ElapsedTimeSnapshot(5);
    EXPECT_EQ(d.microseconds(), std::numeric_limits<unsigned long long>::max() - 1);
}

// A restart returns the time since the previous start and the counter then counts anew.
TEST(ElapsedTimeCounter, RestartReturnsPreviousIntervalAndStartsAgain)
{
    ElapsedTimeCounter counter;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const ElapsedTimeSnapshot before(counter);
    EXPECT_GE(before.microseconds(), 20000u);

    ElapsedTimeCounter earlier;
    const ElapsedTimeSnapshot interval = counter.elapsedTimeRestart();
    EXPECT_GE(interval.microseconds(), before.microseconds());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    // Restarted after "earlier" began and read before it, so it cannot be ahead of it.
    const unsigned long long sinceRestart = counter.elapsedTime().microseconds();
    const unsigned long long sinceEarlier = earlier.elapsedTime().microseconds();
    EXPECT_GE(sinceRestart, 5000u);
    EXPECT_LE(sinceRestart, sinceEarlier);

    counter.restartTimer();
    ElapsedTimeCounter later;
    EXPECT_LE(later.elapsedTime().microseconds(), counter.elapsedTime().microseconds());
}
