// Wall-clock stopwatch state behind ElapsedTimeCounter, which owns it exclusively.
// Not synchronised: one thread at a time per counter.
#pragma once

#include <sys/time.h>

namespace velmora {

class ElapsedTimeCounterImpl {
public:
    ElapsedTimeCounterImpl();
    ~ElapsedTimeCounterImpl();

    void restartTimer();
    // 0 when the clock cannot be read; a clock set back before the start gives a huge count.
    unsigned long long currentlyElapsedMicroseconds() const;

private:
    timeval mStart;
};

} // namespace velmora
