#include "engine/Clock.h"

#include <algorithm>

namespace engine {

Clock::TimePoint SaturatingAdd(Clock::TimePoint t, Clock::Duration d)
{
    if (d <= Clock::Duration::zero())
        return t;
    if (d >= Clock::TimePoint::max() - t)
        return Clock::TimePoint::max();
    return t + d;
}

Clock::TimePoint SystemClock::now() const
{
    return std::chrono::steady_clock::now();
}

std::tm SystemClock::localTime() const
{
    const std::time_t t = std::time(nullptr);
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

bool SystemClock::waitUntil(TimePoint deadline, std::stop_token stop)
{
    // Waits in slices of at most a day, so a far deadline never reaches the
    // platform's timed wait as an overflowing value.
    constexpr auto kSlice = std::chrono::hours(24);
    std::unique_lock lock(m_mutex);
    for (;;) {
        if (stop.stop_requested())
            return false;
        const TimePoint current = now();
        if (current >= deadline)
            return true;
        const TimePoint sliceEnd = deadline - current > kSlice ? current + kSlice : deadline;
        m_wakeup.wait_until(lock, stop, sliceEnd, [] { return false; });
    }
}

} // namespace engine
