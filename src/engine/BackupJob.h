#pragma once

#include "config/RunOptions.h"

#include <cstdint>
#include <string>

namespace engine {

class BackupSession;

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
    // The backup path as the SQL Server names it; empty: as backupPath. Every
    // command that names a file on the server uses it.
    std::string serverBackupPath;
    BackupSession* owner = nullptr; // the session whose journal, log, lock and view the run uses
    bool zip = false;
    bool email = false;
    bool keepOld = false;
    // Not a column of the list: the settings file's VERIFY_BACKUP option when
    // the command ran. The backup is written with checksums and read back by
    // the server before it counts.
    bool verify = false;
    // Nor these: the settings file's RESTORE_TEST, RESTORE_TEST_DAYS and
    // RESTORE_TEST_DATA_PATH when the command ran. After the backup has
    // rotated, the server restores it under a scratch name, checks and drops
    // it, at most once in restoreTestDays days (0: every time).
    bool restoreTest = false;
    int restoreTestDays = 0;
    std::string restoreTestDataPath;
    // The settings file's STALL_MINUTES (0: no watch) and
    // CANCEL_STALLED_BACKUPS when the command ran.
    double stallMinutes = 30;
    bool cancelStalled = false;
    // Not a column of the list either: the OFFSITE_ options when the command
    // ran. When they name a bucket, the run's newest file is copied there.
    config::OffsiteOptions offsite;

    bool operator==(const BackupJob&) const = default;
};

} // namespace engine
