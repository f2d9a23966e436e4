#include "plugins/ActionSet.h"

#include <atomic>
#include <cstdint>
#include <ctime>
#include <string>

#include "core/Logger.h"

ActionSet::ActionSet(int loop, int count) : ActionSet(loop, count, static_cast<long>(std::time(nullptr)))
{
}

ActionSet::ActionSet(int loop, int count, long now) : loop_(loop), count_(count)
{
    // Process-wide: spreads first due times across all plug-ins.
    static std::atomic<std::int64_t> some_time{0};
    nextDue_ = static_cast<long>(now + loop_ + some_time.fetch_add(1));
    Logger::GetInstance()->Log(Logger::eTrace, "new ActionSet with loop=" + std::to_string(loop_) +
                                                   " and count=" + std::to_string(count_));
}

void ActionSet::AddAction(const Action& action)
{
    actions_.push_back(action);
    Logger::GetInstance()->Log(Logger::eTrace, "new action in ActionSet");
}

std::list<Action> ActionSet::GetDueActions(long now)
{
    if (count_ != 0 && executed_ == count_)
        return {};
    if (nextDue_ <= now) {
        nextDue_ += loop_;
        ++executed_;
        return actions_;
    }
    return {};
}
