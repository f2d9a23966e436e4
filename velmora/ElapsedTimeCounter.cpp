#include "velmora/ElapsedTimeCounter.h"

#include "velmora/ElapsedTimeCounterImpl.h"

namespace velmora {

ElapsedTimeCounter::ElapsedTimeCounter() : mImpl(new ElapsedTimeCounterImpl) {}

ElapsedTimeCounter::~ElapsedTimeCounter()
{
    delete mImpl;
}

ElapsedTimeSnapshot ElapsedTimeCounter::elapsedTime() const
{
    return ElapsedTimeSnapshot(mImpl->currentlyElapsedMicroseconds());
}

ElapsedTimeSnapshot ElapsedTimeCounter::elapsedTimeRestart()
{
    const ElapsedTimeSnapshot snapshot(mImpl->currentlyElapsedMicroseconds());
    mImpl->restartTimer();
    return snapshot;
}

void ElapsedTimeCounter::restartTimer()
{
    mImpl->restartTimer();
}

} // namespace velmora
