#pragma once

#include "config/DatabaseSecurity.h"

#include <string>
#include <string_view>
#include <vector>

namespace config {

class ProfileFile;

// The program's own section of the settings file; every key in it is optional.
inline constexpr const char* kOptionsSection = "OPTIONS";

inline constexpr const char* kVerifyBackupKey = "VERIFY_BACKUP";
inline constexpr const char* kStartServiceOnLaunchKey = "START_SERVICE_ON_LAUNCH";
inline constexpr const char* kRestoreTestKey = "RESTORE_TEST";
inline constexpr const char* kRestoreTestDaysKey = "RESTORE_TEST_DAYS";
inline constexpr const char* kRestoreTestDataPathKey = "RESTORE_TEST_DATA_PATH";
inline constexpr int kMaxRestoreTestDays = 3650;
inline constexpr const char* kStallMinutesKey = "STALL_MINUTES";
inline constexpr const char* kCancelStalledBackupsKey = "CANCEL_STALLED_BACKUPS";
inline constexpr const char* kMetricsFileKey = "METRICS_FILE";
inline constexpr const char* kOffsiteUrlKey = "OFFSITE_URL";
inline constexpr const char* kOffsiteEndpointKey = "OFFSITE_ENDPOINT";
inline constexpr const char* kOffsiteRegionKey = "OFFSITE_REGION";
inline constexpr const char* kOffsiteAccessKeyKey = "OFFSITE_ACCESS_KEY";
inline constexpr const char* kOffsiteSecretKey = "OFFSITE_SECRET";
inline constexpr const char* kOffsiteKeepKey = "OFFSITE_KEEP";

// Where the newest backup of every completed run is copied: an S3-compatible
// bucket. Values are trimmed; the secret is decoded.
struct OffsiteOptions {
    // OFFSITE_URL: s3://bucket/prefix. Empty: no offsite copies.
    std::string url;
    // OFFSITE_ENDPOINT: http(s)://host[:port]; empty: the provider's regional endpoint.
    std::string endpoint;
    // OFFSITE_REGION: the region requests are signed for; empty: us-east-1.
    std::string region;
    // OFFSITE_ACCESS_KEY and OFFSITE_SECRET (stored with the password codec).
    std::string accessKey;
    std::string secret;
    // OFFSITE_KEEP: copies kept per database, newest first; 0 (or missing,
    // or not a number) keeps all.
    int keep = 0;

    bool enabled() const { return !url.empty(); }
    bool operator==(const OffsiteOptions&) const = default;
};

// Options of section OPTIONS that change what a backup run or the program does. A missing
// key, or a value other than the ones named, means the default. Values
// compare without regard to case.
struct RunOptions {
    // ZIP_COMPRESSION as stored: BALANCED, FAST or SMALLEST by convention,
    // empty when missing. The zip layer maps it to a level, and anything it
    // does not know to its default.
    std::string zipCompression;
    // DB_ENCRYPTION, DB_CA_FILE and DB_TRUST_SERVER_CERTIFICATE: how every
    // connection to a database server is protected.
    DatabaseSecurity connection;
    // VERIFY_BACKUP=TRUE: the backup is written with checksums and the server
    // reads it back (RESTORE VERIFYONLY) before it counts. Default FALSE.
    bool verifyBackup = false;
    // START_SERVICE_ON_LAUNCH=TRUE: the desktop program starts the auto
    // backup service as it starts. Default FALSE.
    bool startServiceOnLaunch = false;
    // RESTORE_TEST=TRUE: after a backup has completed and rotated, the server
    // restores it under a scratch name, checks it (DBCC CHECKDB) and drops
    // it. Default FALSE.
    bool restoreTest = false;
    // RESTORE_TEST_DAYS=N: each database is tested at most once in N days; 0
    // (the default), after every backup. A value the catalogue refuses
    // counts as 0 and is named in `problems`.
    int restoreTestDays = 0;
    // RESTORE_TEST_DATA_PATH: the folder, as the server names it, that
    // receives the scratch database's files; empty (the default): the
    // server's own default data and log folders. A value the catalogue
    // refuses counts as empty and is named in `problems`.
    std::string restoreTestDataPath;
    // Why a value of section OPTIONS was not understood and its default
    // applies instead, one text per value.
    std::vector<std::string> problems;
    // STALL_MINUTES: minutes without progress of the server's backup after
    // which the run reports it stalled; decimals allowed ("0.5"), 0 turns
    // the watch off. Default 30; a negative or unreadable value is the
    // default, and values beyond a year are a year.
    double stallMinutes = kDefaultStallMinutes;
    // CANCEL_STALLED_BACKUPS=TRUE: a stalled backup is then cancelled and the
    // run fails. Default FALSE.
    bool cancelStalledBackups = false;

    // METRICS_FILE=<path>: the Prometheus textfile written at start and after
    // every run; a relative path is relative to the settings file's folder.
    // Empty: none.
    std::string metricsFile;
    OffsiteOptions offsite;

    static constexpr double kDefaultStallMinutes = 30;
    static constexpr double kLongestStallMinutes = 366.0 * 24 * 60;
};

// The options `profile` holds; `settingsFolder` anchors a relative
// DB_CA_FILE (empty: the path is kept as written).
RunOptions ReadRunOptions(const ProfileFile& profile, const std::string& settingsFolder = {});

// STALL_MINUTES as RunOptions reads it.
double ParseStallMinutes(std::string_view value);

// True for "TRUE" in any case, blanks around it aside: the one rule for every
// on/off option of section OPTIONS.
bool IsTrueOption(std::string_view value);
// IsTrueOption of the key's value in section OPTIONS; false when missing.
bool IsOptionOn(const ProfileFile& profile, std::string_view key);
// The OFFSITE_ keys of section OPTIONS.
OffsiteOptions ReadOffsiteOptions(const ProfileFile& profile);

} // namespace config
