#pragma once

#include "engine/Clock.h"

#include "db/Connection.h"

#include <chrono>
#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace engine {

// Operator texts of the watch, compared verbatim by tests. %1 is the
// database's shown name, %2 the minutes without progress.
inline constexpr const char* kNoProgressRowText = " - no progress for %2 minutes";
inline constexpr const char* kNoProgressLogText = "No progress of the backup of Database %1 for %2 minutes";
inline constexpr const char* kStallCancelledText = "Backup cancelled: no progress for %2 minutes";
inline constexpr const char* kStallsUndetectableText = "Stalls of the backup of Database %1 cannot be detected: ";
inline constexpr const char* kCancelUnansweredText =
    "The SQL Server did not answer the cancel of the backup of Database %1 within %2 seconds; its connection was "
    "abandoned.";

// How long a cancel may go unanswered before the run walks away from the
// connection.
inline constexpr std::chrono::seconds kCancelGrace{30};

// The server's backup command, watched while it runs. The command runs on a
// thread of its own; the calling (run's) thread waits for it and keeps the
// time:
// - A second connection (ProgressPoller) asks the server for the backup's
//   percentage; each new one is reported.
// - When the percentage has not moved for `stallAfter` (or the second
//   connection could not reach the server for that long), the backup is
//   reported stalled, and every further minute again; when it moves again,
//   the next stall is reported anew. With `cancelStalled` the backup is then
//   cancelled.
// - A cancel (of a stall, or a stop of the run) that the server does not
//   answer within `cancelGrace` abandons the command: the call returns, and
//   the connection is left to its thread, which frees it whenever the
//   driver gives up on it.
// - Where the server refuses to show the percentage, that is reported once.
//
// The events are called on the run's thread, except `progress`, which comes
// from the poller's thread; all of them under one mutex, so they never
// overlap. The connection must not be used by anybody else meanwhile;
// Cancel() on it from another thread stays allowed.
class BackupWatch {
public:
    struct Settings {
        Clock::Duration stallAfter{};  // 0: no watch
        bool cancelStalled = false;
        Clock::Duration cancelGrace = kCancelGrace;
        // How often the percentage is asked for (0: never; then no watch).
        std::chrono::milliseconds progressInterval{0};
        int sessionId = 0; // the server's id of the backup's session; 0: unknown
        std::string sessionIdProblem; // why it is unknown
    };

    struct Events {
        std::function<void(int percent)> progress;
        // The backup is stalled; `first` for the first report of this stall.
        std::function<void(int percent, const std::string& minutes, bool first)> stalled;
        std::function<void(const std::string& minutes)> cancelled;
        std::function<void()> abandoned;
        std::function<void(const std::string& reason)> undetectable;
    };

    struct Outcome {
        db::HRESULT hr = db::S_OK;
        std::string errorText;
        bool cancelledForStall = false;
        bool abandoned = false; // the call returned without the command's answer
    };

    // Runs `command` on `connection` and returns once it has answered or was
    // abandoned. `stop` (the program is ending) cancels the command, with the
    // same grace. The connector and connection string serve the second
    // connection. Never throws for the command's failures.
    static Outcome Run(std::shared_ptr<db::Connection> connection, const std::string& command,
                       db::Connector* connector, const std::string& connectionString, Clock& clock,
                       const Settings& settings, const Events& events, std::stop_token stop);

    // `minutes` as the texts show it: "0.5", "30", "1.25".
    static std::string MinutesText(double minutes);
};

// `pattern` with %1 and %2 filled in.
std::string FillWatchText(const char* pattern, const std::string& name, const std::string& value);

} // namespace engine
