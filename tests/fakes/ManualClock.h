#pragma once

#include "engine/Clock.h"

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <vector>

namespace fakes {

// A clock that moves only when the test advances it. waitUntil blocks the
// calling thread until advance() reaches the deadline or the stop is
// requested; the test can wait until a given number of threads are waiting.
class ManualClock final : public engine::Clock {
public:
    ManualClock();

    TimePoint now() const override;
    std::tm localTime() const override;
    // The set local time, read as UTC.
    std::chrono::system_clock::time_point systemTime() const override;
    bool waitUntil(TimePoint deadline, std::stop_token stop) override;

    // Moves the steady time on (and the local time with it) and wakes waiters.
    void advance(Duration d);
    void setLocalTime(int year, int month, int day, int hour, int minute, int second);
    // Blocks until at least `count` threads wait in waitUntil; false after
    // `timeout` of real time.
    bool waitForWaiters(int count, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    int waiters() const;
    // Every deadline passed to waitUntil, in call order.
    std::vector<TimePoint> deadlines() const;

private:
    mutable std::mutex m_mutex; // guards every member below
    std::condition_variable_any m_changed;
    TimePoint m_now;
    std::time_t m_local;
    int m_waiters = 0;
    std::vector<TimePoint> m_deadlines;
};

} // namespace fakes
