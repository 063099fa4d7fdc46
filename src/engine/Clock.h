#pragma once

#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <stop_token>

namespace engine {

// Time as the engine sees it: a steady clock for schedules, the local wall
// time for backup names and the "Backup Time" cell, the system time for the
// start and end of a run, and waits that a stop request ends at once.
//
// Threads: every call may come from any thread. waitUntil blocks the caller
// until the deadline passes or a stop is requested; the others never block.
class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;
    using Duration = std::chrono::steady_clock::duration;

    virtual ~Clock() = default;

    virtual TimePoint now() const = 0;
    // The local date and time (broken down, tm_year counted from 1900).
    virtual std::tm localTime() const = 0;
    // The wall-clock time, for records kept in UTC.
    virtual std::chrono::system_clock::time_point systemTime() const { return std::chrono::system_clock::now(); }
    // Returns true once now() >= deadline, false as soon as `stop` is
    // requested (also when it already was). TimePoint::max() waits for the
    // stop alone.
    virtual bool waitUntil(TimePoint deadline, std::stop_token stop) = 0;
};

// now() + d without overflowing: saturates at TimePoint::max().
Clock::TimePoint SaturatingAdd(Clock::TimePoint t, Clock::Duration d);

// The real clock: std::chrono::steady_clock and localtime_r.
class SystemClock final : public Clock {
public:
    TimePoint now() const override;
    std::tm localTime() const override;
    bool waitUntil(TimePoint deadline, std::stop_token stop) override;

private:
    std::mutex m_mutex; // only pairs with m_wakeup; guards no data
    std::condition_variable_any m_wakeup;
};

} // namespace engine
