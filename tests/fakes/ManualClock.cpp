#include "fakes/ManualClock.h"

namespace fakes {

ManualClock::ManualClock()
    : m_now(std::chrono::hours(1000))
{
    setLocalTime(2014, 7, 14, 9, 5, 3);
}

engine::Clock::TimePoint ManualClock::now() const
{
    std::lock_guard lock(m_mutex);
    return m_now;
}

std::tm ManualClock::localTime() const
{
    std::lock_guard lock(m_mutex);
    std::tm local{};
    gmtime_r(&m_local, &local);
    return local;
}

std::chrono::system_clock::time_point ManualClock::systemTime() const
{
    std::lock_guard lock(m_mutex);
    return std::chrono::system_clock::from_time_t(m_local);
}

bool ManualClock::waitUntil(TimePoint deadline, std::stop_token stop)
{
    std::unique_lock lock(m_mutex);
    ++m_waiters;
    m_deadlines.push_back(deadline);
    m_changed.notify_all();
    const bool reached = m_changed.wait(lock, stop, [&] { return m_now >= deadline; });
    --m_waiters;
    return reached && !stop.stop_requested();
}

void ManualClock::advance(Duration d)
{
    {
        std::lock_guard lock(m_mutex);
        m_now += d;
        m_local += std::chrono::duration_cast<std::chrono::seconds>(d).count();
    }
    m_changed.notify_all();
}

void ManualClock::setLocalTime(int year, int month, int day, int hour, int minute, int second)
{
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    std::lock_guard lock(m_mutex);
    m_local = timegm(&t); // kept as UTC internally, so no time zone shifts the fields
}

bool ManualClock::waitForWaiters(int count, std::chrono::milliseconds timeout)
{
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_waiters >= count; });
}

int ManualClock::waiters() const
{
    std::lock_guard lock(m_mutex);
    return m_waiters;
}

} // namespace fakes

namespace fakes {

std::vector<engine::Clock::TimePoint> ManualClock::deadlines() const
{
    std::lock_guard lock(m_mutex);
    return m_deadlines;
}

} // namespace fakes
