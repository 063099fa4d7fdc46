#pragma once

#include "engine/OffsiteStore.h"

#include <functional>
#include <stop_token>
#include <string>

namespace engine {

struct BackupJob;

// Operator texts of the offsite copy, compared verbatim by tests.
inline constexpr const char* kUploadingText = "Uploading";           // "Uploading 42%" in the status cell
inline constexpr const char* kOffsiteFailedText = "Offsite copy failed: ";
inline constexpr const char* kOffsiteRetentionFailedText = "Old offsite copies not deleted: ";
inline constexpr const char* kOffsiteStoppedReason = "stopped because the program is ending";

// The step of a run that copies its newest file offsite, after the rotation.
struct OffsitePhase {
    const BackupJob& job;
    OffsiteStore* store = nullptr;   // null: nothing is uploaded
    std::string displayName;         // the database as the log shows it
    std::string localFile;           // the rotated file
    std::string fileName;            // its name: backup name and extension
    std::function<void(const std::string&)> setStatus; // the run's status cell; any thread
    std::function<void(const std::string&)> fail;      // shows why the run failed and keeps the reason
    std::function<void(const std::string&)> writeLog;  // a line of the run's log

    // Runs when the job asks for offsite copies. The status cell shows
    // "Uploading NN%" while the file travels; then the log says what
    // happened. Returns false, after `fail` said why, when the copy or the
    // retention failed: the run then counts as failed. Nothing local is ever
    // deleted here.
    bool run(std::stop_token stop) const;
};

// "Offsite copy of Database X uploaded (N MB in S s)".
std::string OffsiteUploadedLine(const std::string& displayName, std::uint64_t bytes,
                                std::chrono::milliseconds elapsed);

} // namespace engine
