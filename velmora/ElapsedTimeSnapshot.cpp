#include "velmora/ElapsedTimeSnapshot.h"

#include "velmora/ElapsedTimeCounter.h"

#include <cstdio>

namespace velmora {

namespace {

unsigned long long divided(unsigned long long value, double divisor)
{
    return static_cast<unsigned long long>(static_cast<double>(value) / divisor);
}

std::string counted(unsigned long long value, const char* singular)
{
    std::string text = std::to_string(value) + " " + singular;
    if (value != 1)
        text += "s";
    return text;
}

} // namespace

ElapsedTimeSnapshot::ElapsedTimeSnapshot() : mMicroseconds(0) {}

ElapsedTimeSnapshot::ElapsedTimeSnapshot(unsigned long long microseconds) : mMicroseconds(microseconds) {}

ElapsedTimeSnapshot::ElapsedTimeSnapshot(const ElapsedTimeCounter& counter)
    : mMicroseconds(counter.elapsedTime().microseconds())
{
}

ElapsedTimeSnapshot& ElapsedTimeSnapshot::operator+(const ElapsedTimeSnapshot& other)
{
    mMicroseconds += other.mMicroseconds;
    return *this;
}

ElapsedTimeSnapshot& ElapsedTimeSnapshot::operator-(const ElapsedTimeSnapshot& other)
{
    mMicroseconds -= other.mMicroseconds;
    return *this;
}

unsigned long long ElapsedTimeSnapshot::microseconds() const { return mMicroseconds; }
unsigned long long ElapsedTimeSnapshot::milliseconds() const { return divided(mMicroseconds, 1000.0); }
unsigned long long ElapsedTimeSnapshot::seconds() const { return divided(mMicroseconds, 1000000.0); }
unsigned long long ElapsedTimeSnapshot::minutes() const { return divided(mMicroseconds, 60000000.0); }
unsigned long long ElapsedTimeSnapshot::hours() const { return divided(mMicroseconds, 3600000000.0); }
double ElapsedTimeSnapshot::rawMilliseconds() const { return static_cast<double>(mMicroseconds) / 1000.0; }
double ElapsedTimeSnapshot::rawSeconds() const { return static_cast<double>(mMicroseconds) / 1000000.0; }

std::string ElapsedTimeSnapshot::microsecondsString() const
{
    return counted(microseconds(), "microsecond");
}

std::string ElapsedTimeSnapshot::millisecondsString() const
{
    return counted(milliseconds(), "millisecond");
}

std::string ElapsedTimeSnapshot::secondsString() const
{
    return counted(seconds(), "second");
}

std::string ElapsedTimeSnapshot::timeString() const
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%llu:%02llu:%02llu", hours(), minutes() % 60, seconds() % 60);
    return buffer;
}

std::string ElapsedTimeSnapshot::detailedTimeString() const
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, ".%03llu", milliseconds() % 1000);
    return timeString() + buffer;
}

std::string ElapsedTimeSnapshot::autoString() const
{
    const unsigned long long ms = milliseconds();
    if (ms == 0)
        return microsecondsString();
    if (ms <= 999)
        return millisecondsString();
    if (seconds() <= 59)
        return secondsString();
    return timeString();
}

} // namespace velmora
