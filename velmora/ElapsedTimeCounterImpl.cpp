#include "velmora/ElapsedTimeCounterImpl.h"

#include <cstdint>

namespace velmora {

ElapsedTimeCounterImpl::ElapsedTimeCounterImpl()
{
    mStart.tv_sec = 0;
    mStart.tv_usec = 0;
    gettimeofday(&mStart, nullptr);
}

ElapsedTimeCounterImpl::~ElapsedTimeCounterImpl() {}

void ElapsedTimeCounterImpl::restartTimer()
{
    gettimeofday(&mStart, nullptr);
}

unsigned long long ElapsedTimeCounterImpl::currentlyElapsedMicroseconds() const
{
    timeval now;
    if (gettimeofday(&now, nullptr) != 0)
        return 0;
    // Unsigned arithmetic gives the two's-complement result without signed overflow.
    const uint64_t secs = static_cast<uint64_t>(now.tv_sec) - static_cast<uint64_t>(mStart.tv_sec);
    const uint64_t usecs = static_cast<uint64_t>(now.tv_usec) - static_cast<uint64_t>(mStart.tv_usec);
    return secs * 1000000u + usecs;
}

} // namespace velmora
