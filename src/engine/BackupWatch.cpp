#include "engine/BackupWatch.h"

#include "engine/ProgressPoller.h"

#include "db/ResultTable.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

namespace engine {

namespace {

constexpr Clock::Duration kStallRefresh = std::chrono::minutes(1);

// One command on a thread of its own. The thread shares this state, so a
// call the run walks away from ends on its own and frees the connection.
struct CommandCall {
    std::shared_ptr<db::Connection> connection;
    std::string command;
    std::mutex mutex; // guards every member below
    bool done = false;
    db::HRESULT hr = db::S_OK;
    std::string errorText;
    std::vector<std::stop_source> waiters; // told when the command has answered

    void execute()
    {
        db::ResultTable table;
        std::string error;
        const db::HRESULT result = connection->ExecuteCommand(command, table, error);
        table.Clear();
        std::lock_guard lock(mutex);
        hr = result;
        errorText = std::move(error);
        done = true;
        for (std::stop_source& waiter : waiters)
            waiter.request_stop();
        waiters.clear();
    }

    // A token that is stopped once the command has answered.
    std::stop_token doneToken()
    {
        std::stop_source source;
        std::lock_guard lock(mutex);
        if (done)
            source.request_stop();
        else
            waiters.push_back(source);
        return source.get_token();
    }

    bool isDone()
    {
        std::lock_guard lock(mutex);
        return done;
    }
};

} // namespace

std::string FillWatchText(const char* pattern, const std::string& name, const std::string& value)
{
    std::string out;
    for (const char* c = pattern; *c; ++c) {
        if (c[0] == '%' && (c[1] == '1' || c[1] == '2')) {
            out += c[1] == '1' ? name : value;
            ++c;
        } else {
            out += *c;
        }
    }
    return out;
}

std::string BackupWatch::MinutesText(double minutes)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", std::round(minutes * 100) / 100);
    std::string out = text;
    while (out.back() == '0')
        out.pop_back();
    if (out.back() == '.')
        out.pop_back();
    return out;
}

BackupWatch::Outcome BackupWatch::Run(std::shared_ptr<db::Connection> connection, const std::string& command,
                                      db::Connector* connector, const std::string& connectionString, Clock& clock,
                                      const Settings& settings, const Events& events, std::stop_token stop)
{
    auto call = std::make_shared<CommandCall>();
    call->connection = std::move(connection);
    call->command = command;
    std::thread thread;
    try {
        thread = std::thread([call] { call->execute(); });
    } catch (const std::system_error&) {
        // Without a thread of its own the command is waited for as it always was.
        call->execute();
    }

    std::mutex eventMutex; // keeps the events from overlapping; guards the two below
    int percent = 0;
    Clock::TimePoint lastChange = clock.now();
    bool refused = false;
    const auto tell = [&eventMutex](const auto& event, auto&&... args) {
        std::lock_guard lock(eventMutex);
        if (event)
            event(args...);
    };

    const bool watching = settings.stallAfter > Clock::Duration::zero() && settings.progressInterval.count() > 0;
    std::optional<ProgressPoller> poller;
    if (settings.progressInterval.count() > 0 && connector && settings.sessionId > 0) {
        poller.emplace(
            *connector, connectionString, settings.sessionId,
            [&](int value) {
                std::lock_guard lock(eventMutex);
                percent = value;
                lastChange = clock.now();
                if (events.progress)
                    events.progress(value);
            },
            clock, settings.progressInterval, settings.progressInterval,
            [&](const std::string& reason) {
                std::lock_guard lock(eventMutex);
                refused = true;
                if (watching && events.undetectable)
                    events.undetectable(reason);
            });
    } else if (watching) {
        tell(events.undetectable, settings.sessionIdProblem.empty() ? std::string("the server did not tell the "
                                                                                  "backup's session")
                                                                    : settings.sessionIdProblem);
    }

    Outcome outcome;
    const double stallMinutes = std::chrono::duration<double, std::ratio<60>>(settings.stallAfter).count();
    bool stalled = false;
    bool cancelSent = false;
    Clock::TimePoint cancelDeadline = Clock::TimePoint::max();
    Clock::TimePoint nextStallReport = Clock::TimePoint::max();
    while (!call->isDone()) {
        const Clock::TimePoint now = clock.now();
        if (!cancelSent && stop.stop_requested()) {
            call->connection->Cancel();
            cancelSent = true;
            cancelDeadline = SaturatingAdd(now, settings.cancelGrace);
        }
        if (cancelSent && now >= cancelDeadline) {
            outcome.abandoned = true;
            tell(events.abandoned);
            break;
        }
        Clock::TimePoint stallAt = Clock::TimePoint::max();
        {
            std::lock_guard lock(eventMutex);
            if (watching && !refused)
                stallAt = SaturatingAdd(lastChange, settings.stallAfter);
            if (now < stallAt) {
                stalled = false;
                nextStallReport = stallAt;
            } else if (now >= nextStallReport) {
                // First at the limit itself, then in whole minutes without progress.
                const bool first = !stalled;
                const double minutes = first ? stallMinutes
                                             : std::floor(std::chrono::duration<double, std::ratio<60>>(now - lastChange).count());
                stalled = true;
                nextStallReport = SaturatingAdd(now, kStallRefresh);
                if (events.stalled)
                    events.stalled(percent, MinutesText(minutes), first);
                if (settings.cancelStalled && !cancelSent) {
                    call->connection->Cancel();
                    cancelSent = true;
                    cancelDeadline = SaturatingAdd(now, settings.cancelGrace);
                    outcome.cancelledForStall = true;
                    if (events.cancelled)
                        events.cancelled(MinutesText(stallMinutes));
                }
            }
        }
        Clock::TimePoint deadline = std::min(cancelDeadline, stalled ? nextStallReport : stallAt);
        // A stop of the run wakes the wait too, to cancel at once.
        std::stop_source wake;
        std::stop_token doneToken = call->doneToken();
        std::stop_callback onDone(doneToken, [&wake] { wake.request_stop(); });
        std::optional<std::stop_callback<std::function<void()>>> onStop;
        if (!cancelSent)
            onStop.emplace(stop, std::function<void()>([&wake] { wake.request_stop(); }));
        clock.waitUntil(deadline, wake.get_token());
    }

    poller.reset();
    if (outcome.abandoned) {
        if (thread.joinable())
            thread.detach();
        outcome.hr = db::E_CONNECTION_ABORTED;
        return outcome;
    }
    if (thread.joinable())
        thread.join();
    std::lock_guard lock(call->mutex);
    outcome.hr = call->hr;
    outcome.errorText = call->errorText;
    return outcome;
}

} // namespace engine
