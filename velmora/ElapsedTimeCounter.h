// Microsecond stopwatch; owns its ElapsedTimeCounterImpl.
// Not synchronised: one thread at a time per counter.
#pragma once

#include "velmora/ElapsedTimeSnapshot.h"

namespace velmora {

class ElapsedTimeCounterImpl;

class ElapsedTimeCounter {
public:
    ElapsedTimeCounter();
    ~ElapsedTimeCounter();
    ElapsedTimeCounter(const ElapsedTimeCounter&) = delete;
    ElapsedTimeCounter& operator=(const ElapsedTimeCounter&) = delete;

    ElapsedTimeSnapshot elapsedTime() const;
    // The time since the previous start; the counter then starts again.
    ElapsedTimeSnapshot elapsedTimeRestart();
    void restartTimer();

private:
    ElapsedTimeCounterImpl* mImpl;
};

} // namespace velmora
