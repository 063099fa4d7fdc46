#pragma once

#include "config/DatabaseEntry.h"
#include "config/DatabaseList.h"
#include "config/MailSettings.h"
#include "config/OptionCatalog.h"
#include "config/RunOptions.h"

#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace logging { class Log; }

namespace engine {

// The settings file as one parsed picture. Never changes once made, so it
// may be shared between threads and kept as long as wanted.
struct Settings {
    // False when the file exists but could not be read: `problem` says why,
    // and every value is its default (an empty list). A missing file is
    // readable and empty.
    bool readable = true;
    std::string problem;
    config::DatabaseList databaseList;            // section DBBackInfo, the texts as stored
    std::vector<config::DatabaseEntry> databases; // the same rows, typed
    config::MailSettings mail;                    // section EMAILSERVERINFO (and MAIL_ON_FAILURE)
    config::RunOptions options;                   // section OPTIONS, typed
    std::vector<config::OptionValue> optionValues; // section OPTIONS as the operator sees it, catalogue order
};

// The one reader of the settings file (BackupConfig.ini). Everybody takes
// typed snapshots from it: the scheduler its run options, the zip step its
// level, every connection its encryption settings, the window and the mail
// dialog what they show, the headless program its list. The file is read
// again only when it has changed (its identity, size and time are checked
// at each call: one stat) or when reload() asks for it; the saves go
// through here and read the file back at once.
//
// Threads: any; calls that read or write block on disk I/O. A snapshot
// handed out stays valid after a reload.
class SettingsStore {
public:
    explicit SettingsStore(std::string path);

    const std::string& path() const { return m_path; }

    // The file as it is now, read again only when it changed.
    std::shared_ptr<const Settings> current();
    // The file read again whatever its state (SIGHUP, a save).
    std::shared_ptr<const Settings> reload();

    // Write the database list (and log "Saved Database Configurations") or
    // the mail settings in one atomic save each, then read the file back.
    // False, with the reason, when the file could not be read or written; it
    // is then left as it was.
    bool saveDatabaseList(const config::DatabaseList& list, logging::Log& log, std::string* error = nullptr);
    bool saveMailSettings(const config::MailSettings& settings, const std::string& portText,
                          std::string* error = nullptr);
    // Writes keys of section OPTIONS (key, value as typed; see
    // config::SaveOptionValues), then reads the file back.
    bool saveOptionValues(const std::vector<std::pair<std::string, std::string>>& changes,
                          std::string* error = nullptr);

private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = -1;
        long long modifiedNs = -1;
        bool operator==(const Identity&) const = default;
    };

    Identity identity() const;
    std::shared_ptr<const Settings> read(const Identity& identity);

    const std::string m_path;
    std::mutex m_mutex; // guards the members below; held while the file is read
    bool m_known = false;
    Identity m_identity;
    std::shared_ptr<const Settings> m_settings;
};

} // namespace engine
