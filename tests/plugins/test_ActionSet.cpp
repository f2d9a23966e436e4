#include <gtest/gtest.h>

#include "plugins/ActionSet.h"

namespace {

const long T0 = 1000000;

Action MakeAction(const std::string& name)
{
    return Action(name, 5, "rpm", "front", "fan");
}

// First due time of a fresh set, found by probing (probing does not advance it).
long FirstDue(ActionSet& set, long from)
{
    for (long t = from; t < from + 100000; ++t)
        if (!set.GetDueActions(t).empty())
            return t;
    return -1;
}

// Due times of the next `calls` calls made at `now`.
int DueCalls(ActionSet& set, long now, int calls)
{
    int due = 0;
    for (int i = 0; i < calls; ++i)
        if (!set.GetDueActions(now).empty())
            ++due;
    return due;
}

}  // namespace

// Each new set starts one second later than the one built before it, whatever its plug-in.
TEST(ActionSchedule, FirstDueTimesSpreadBySetsBuilt)
{
    ActionSet a(60, 0, T0), b(60, 0, T0);
    a.AddAction(MakeAction("get"));
    b.AddAction(MakeAction("get"));
    const long firstA = FirstDue(a, T0);
    const long firstB = FirstDue(b, T0);
    ASSERT_GE(firstA, T0 + 60);
    EXPECT_EQ(firstB, firstA + 1);
    // Then every period, counted from the previous due time.
    EXPECT_TRUE(a.GetDueActions(firstA + 59).empty());
    EXPECT_FALSE(a.GetDueActions(firstA + 60).empty());
    EXPECT_TRUE(b.GetDueActions(firstB + 59).empty());
    EXPECT_FALSE(b.GetDueActions(firstB + 60).empty());
}

// A due set hands out copies of all its actions in the order they were added.
TEST(ActionSchedule, DueSetReturnsAllActionsInOrder)
{
    ActionSet set(0, 0, T0);
    set.AddAction(Action("get", 5, "rpm", "front", "fan"));
    set.AddAction(Action("status", 0, "", "", ""));
    const std::list<Action> due = set.GetDueActions(T0 + 100000);
    ASSERT_EQ(due.size(), 2u);
    EXPECT_EQ(due.front().GetActionName(), "get");
    EXPECT_EQ(due.front().GetPauseTime(), 5);
    EXPECT_EQ(due.front().GetParameterName(), "rpm");
    EXPECT_EQ(due.front().GetInstanceName(), "front");
    EXPECT_EQ(due.front().GetInstanceType(), "fan");
    EXPECT_EQ(due.back().GetActionName(), "status");
}

// Run limits: count 2 ends after two runs, count 0 and negative counts never end;
// loop 0 makes the set due at every call.
TEST(ActionSchedule, CountLimitsRuns)
{
    struct Case {
        int loop, count, calls, expectedDue;
    } cases[] = {
        {0, 2, 10, 2},
        {0, 0, 50, 50},
        {0, -1, 50, 50},
        {0, 1, 3, 1},
    };
    for (const Case& c : cases) {
        ActionSet set(c.loop, c.count, T0);
        set.AddAction(MakeAction("get"));
        EXPECT_EQ(DueCalls(set, T0 + 100000, c.calls), c.expectedDue)
            << "loop " << c.loop << " count " << c.count;
    }
}

// A set with count 2 runs at its first two due times only.
TEST(ActionSchedule, CountTwoDueAtFirstTwoPeriodsOnly)
{
    ActionSet set(10, 2, T0);
    set.AddAction(MakeAction("get"));
    const long first = FirstDue(set, T0);  // first run
    EXPECT_TRUE(set.GetDueActions(first + 9).empty());
    EXPECT_FALSE(set.GetDueActions(first + 10).empty());
    EXPECT_TRUE(set.GetDueActions(first + 20).empty());
    EXPECT_TRUE(set.GetDueActions(first + 1000).empty());
}

// After a hold-up of three periods the set catches up one period per call, then keeps its period.
TEST(ActionSchedule, CatchesUpAfterHoldUp)
{
    ActionSet set(10, 0, T0);
    set.AddAction(MakeAction("get"));
    const long first = FirstDue(set, T0);
    const long late = first + 30;  // due times first+10, +20, +30 were missed
    EXPECT_EQ(DueCalls(set, late, 3), 3);
    EXPECT_TRUE(set.GetDueActions(late).empty());
    EXPECT_TRUE(set.GetDueActions(late + 9).empty());
    EXPECT_FALSE(set.GetDueActions(late + 10).empty());
}

// A set without actions is still counted when due.
TEST(ActionSchedule, EmptySetCountsItsRuns)
{
    ActionSet set(0, 1, T0);
    EXPECT_TRUE(set.GetDueActions(T0 + 100000).empty());
    set.AddAction(MakeAction("get"));
    EXPECT_TRUE(set.GetDueActions(T0 + 100000).empty());
}
