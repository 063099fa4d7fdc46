#pragma once

#include "config/RunOptions.h"
#include "offsite/Credentials.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

namespace engine {

// One backup file to copy offsite.
struct OffsiteCopy {
    std::string server;       // the database's server address as configured
    std::string database;     // the database name as shown (trimmed): its folder offsite
    std::string databaseName; // as stored: the start of every copy's name
    std::string localFile;    // the rotated file
    std::string fileName;     // its name offsite: the backup name and extension
};

// What an offsite copy came to.
struct OffsiteOutcome {
    bool uploaded = false;
    bool stopped = false;                  // a stop ended the upload
    std::string error;                     // why not uploaded
    std::string key;                       // the object's key
    std::uint64_t bytes = 0;
    std::chrono::milliseconds elapsed{0};  // of the upload and its check
    std::vector<std::string> leftoversAborted; // unfinished uploads of earlier runs, aborted
    std::string leftoverError;             // the unfinished uploads could not be listed or aborted: why
    std::vector<std::string> deleted;      // copies deleted by the retention, oldest first
    std::string retentionError;            // the retention could not finish: why
};

// Where the engine copies finished backups away from the host: an
// S3-compatible bucket (OFFSITE_* of section OPTIONS).
//
// Threads: copy() blocks for the whole transfer and may be called from any
// thread; it never throws. A stop ends it soon and leaves no part of the
// file behind on the storage.
class OffsiteStore {
public:
    // Called while the file travels, with 0 to 100; must not block.
    using ProgressFn = std::function<void(int percent)>;

    virtual ~OffsiteStore() = default;

    // Aborts what earlier runs of this database left unfinished, uploads the
    // file, checks its size on the storage and, once it is verified, deletes
    // the oldest of the database's copies beyond options.keep.
    virtual OffsiteOutcome copy(const config::OffsiteOptions& options, const OffsiteCopy& file,
                                const ProgressFn& progress, std::stop_token stop) = 0;
};

// The real store, over the offsite layer. `environment` holds the
// credentials found in the program's environment, which take precedence
// over the settings'.
class S3OffsiteStore final : public OffsiteStore {
public:
    explicit S3OffsiteStore(std::optional<offsite::Credentials> environment = offsite::EnvironmentCredentials());

    OffsiteOutcome copy(const config::OffsiteOptions& options, const OffsiteCopy& file, const ProgressFn& progress,
                        std::stop_token stop) override;

private:
    std::optional<offsite::Credentials> m_environment;
};

// Why the options cannot name a place for copies (a malformed OFFSITE_URL,
// OFFSITE_ENDPOINT or OFFSITE_REGION), or an empty text. Nothing is sent.
std::string OffsiteSettingsProblem(const config::OffsiteOptions& options);

// The desktop's connection test: lists the bucket under the prefix with the
// given settings. Empty on success, else the reason. Blocks up to the
// time-outs of one request; `stop` ends it.
std::string CheckOffsiteConnection(const config::OffsiteOptions& options,
                                   const std::optional<offsite::Credentials>& environment, std::stop_token stop);

} // namespace engine
