#pragma once

#include "engine/BackupJob.h"
#include "engine/BackupWorker.h"
#include "engine/RunConnection.h"

#include <memory>
#include <mutex>
#include <stop_token>
#include <string>

namespace db { class Connection; }

namespace engine {

// A restore test of the newest backup a database keeps, on its own (the
// desktop's command for the selected database, `corvella --restore-test`):
// like a backup run it takes the backup lock, shows one row in the status
// journal and writes the log, but it backs nothing up and moves no file.
// The row's status cell passes through "Restore test in progress NN%" to
// the verdict; File Size is the tested file's size, Backup Time when it was
// tested.
//
// Threads: run() blocks its thread for the whole test and never throws; a
// stop cancels the server's command, and the scratch database is still
// dropped. The job and the services must outlive the call.
class RestoreTestRun {
public:
    RestoreTestRun(const BackupJob& job, const BackupServices& services);
    ~RestoreTestRun();

    RunResult run(std::stop_token stop = {});

private:
    void setCell(int column, const std::string& text);
    void writeLog(const std::string& message);
    void fail(const std::string& why);
    void body(std::stop_token stop);

    const BackupJob& m_job;
    BackupServices m_services;
    BackupSession& m_owner;
    RunResult m_result;
    std::string m_displayName;
    int m_row = 0;
    RunConnection m_connection;
};

} // namespace engine
