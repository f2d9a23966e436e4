#pragma once
// A timed group of actions with its schedule (period, run limit, next due time).
// Owned by its Plugin; built at start-up and advanced only from the main thread, so unguarded.
#include <list>

#include "plugins/Action.h"

class ActionSet {
public:
    // First due time: now + loop + an offset that grows by one second with every set the
    // process builds, so sets of different plug-ins do not all fall due in the same second.
    ActionSet(int loop, int count);
    // Same, with the current time given by the caller instead of read from the clock.
    ActionSet(int loop, int count, long now);
    virtual ~ActionSet() = default;

    void AddAction(const Action& action);

    // All actions when the set is due at `now` (advancing the schedule by one period), else
    // none. A set held up for several periods is due once per call until it has caught up.
    std::list<Action> GetDueActions(long now);

private:
    std::list<Action> actions_;
    int loop_;
    int count_;
    int executed_ = 0;
    long nextDue_;
};
