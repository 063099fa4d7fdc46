#pragma once

#include <functional>
#include <memory>
#include <stop_token>
#include <string>

namespace logging { class Log; }

namespace engine {

class SettingsStore;

// Compresses a finished backup file into a single-entry zip archive.
//
// Threads: called on a backup worker inside the backup lock; blocks until the
// archive is complete or has failed. Implementations must be usable from
// several threads, one call at a time per archive.
class Archiver {
public:
    // Share of the source compressed so far, 0..100; called on the
    // compressing thread, must not block.
    using ProgressFn = std::function<void(int percent)>;

    virtual ~Archiver() = default;
    // True only when `archive` is complete and verified; on false the source
    // is untouched and the archive may be partial or absent. A stop request
    // ends the work early with false.
    virtual bool compress(const std::string& source, const std::string& archive, logging::Log& log,
                          const ProgressFn& progress, std::stop_token stop = {}) = 0;
};

// The real archiver: the program's own multi-core zip writer. The level comes
// from the settings at every call, so a change of the setting applies to the
// next run.
class ZipArchiver final : public Archiver {
public:
    // `settings` holds the zip preference (ZIP_COMPRESSION).
    explicit ZipArchiver(std::shared_ptr<SettingsStore> settings);
    bool compress(const std::string& source, const std::string& archive, logging::Log& log,
                  const ProgressFn& progress, std::stop_token stop = {}) override;

private:
    std::shared_ptr<SettingsStore> m_settings;
};

} // namespace engine
