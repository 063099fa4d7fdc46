#pragma once

#include "history/RunRecord.h"

#include <chrono>
#include <cstdint>

namespace engine {

struct BackupJob;
struct RunResult;

// What the history hands a run at its start and takes back at its end.
struct RunTicket {
    std::int64_t id = 0;        // the run's row; 0 when its start was not recorded
    bool problemLogged = false; // a failure of the history was logged for this run
};

// Where runs are recorded: a started row at the start of a run, so that a
// run that never ends shows as interrupted, and the whole row at its end.
//
// Threads: called on the run's thread; may block briefly (a history locked
// by another process, at most a few seconds) but never fails the run: a
// history that cannot be written logs one line per run and the run goes on.
class RunHistory {
public:
    virtual ~RunHistory() = default;
    virtual RunTicket runStarted(const history::RunRecord& run) = 0;
    // `run` carries the run's end, outcome and results.
    virtual void runFinished(const RunTicket& ticket, history::RunRecord run) = 0;
};

// A UTC time as the history keeps it.
history::Millis HistoryTime(std::chrono::system_clock::time_point at);
// The row of a run that has begun: its database (name and server trimmed, as
// the history knows databases) and its start.
history::RunRecord StartedRunRecord(const BackupJob& job, std::chrono::system_clock::time_point start);
// The whole row of a run that has ended.
history::RunRecord FinishedRunRecord(const BackupJob& job, const RunResult& result);

} // namespace engine
