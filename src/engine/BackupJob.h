#pragma once

#include <cstdint>
#include <string>

namespace engine {

class BackupOwner;

// One database's settings as a backup run works from them: a copy of one row
// of the database list, taken when the command ran, with the password in
// plain text and the interval in minutes. Runs only read it; a job of the
// auto service is shared by its loop and every run the loop starts.
struct BackupJob {
    std::string databaseUrl;
    std::string databaseName; // as stored, untrimmed
    std::string userName;
    std::string password;     // plain; empty when none or undecodable
    std::int32_t intervalMinutes = 0;
    std::string backupPath;
    BackupOwner* owner = nullptr; // the window or headless front end whose grid, log and lock the run uses
    bool zip = false;
    bool email = false;
    bool keepOld = false;
};

} // namespace engine
