// One measured duration in microseconds, with unit conversions and text forms.
// A plain value: owned by whoever holds it; no shared state, no locking.
#pragma once

#include <string>

namespace velmora {

class ElapsedTimeCounter;

class ElapsedTimeSnapshot {
public:
    ElapsedTimeSnapshot();
    ElapsedTimeSnapshot(unsigned long long microseconds);
    ElapsedTimeSnapshot(const ElapsedTimeSnapshot& other) = default;
    ElapsedTimeSnapshot(const ElapsedTimeCounter& counter);
    ElapsedTimeSnapshot& operator=(const ElapsedTimeSnapshot& other) = default;

    // Both change this snapshot (like += and -=) and return it; subtraction wraps below 0.
    ElapsedTimeSnapshot& operator+(const ElapsedTimeSnapshot& other);
    ElapsedTimeSnapshot& operator-(const ElapsedTimeSnapshot& other);

    unsigned long long microseconds() const;
    unsigned long long milliseconds() const;
    unsigned long long seconds() const;
    unsigned long long minutes() const;
    unsigned long long hours() const;
    double rawMilliseconds() const;
    double rawSeconds() const;

    std::string microsecondsString() const;
    std::string millisecondsString() const;
    std::string secondsString() const;
    std::string timeString() const;         // H:MM:SS
    std::string detailedTimeString() const; // H:MM:SS.mmm
    std::string autoString() const;         // the smallest fitting unit

private:
    unsigned long long mMicroseconds;
};

} // namespace velmora
