#pragma once

#include <ctime>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace engine {

// What the restore tests must remember across runs and restarts, per
// database: when it was last tested, and the scratch databases a test has
// created and not yet dropped (so that one left by a killed run is dropped
// at the next run, and no other database ever is).
//
// A database is known by its key (RestoreTestKey): the server address and
// the database name as shown. Threads: any; calls block only for the file
// system. Writes report failure with the reason in `error`.
class RestoreTestRecord {
public:
    virtual ~RestoreTestRecord() = default;

    // When the database's last test reached a verdict; nothing when never.
    virtual std::optional<std::time_t> lastTest(const std::string& key) = 0;
    virtual bool setLastTest(const std::string& key, std::time_t when, std::string& error) = 0;

    // The scratch databases of the database that may still exist on its server.
    virtual std::vector<std::string> scratchDatabases(const std::string& key) = 0;
    // Recorded before the restore is sent: a run that cannot record it must
    // not create the database.
    virtual bool addScratchDatabase(const std::string& key, const std::string& name, std::string& error) = 0;
    // Once the database is known to be gone.
    virtual bool removeScratchDatabase(const std::string& key, const std::string& name, std::string& error) = 0;
};

// "<server>\n<database>": the database `name` (trimmed, as shown) on `server`.
std::string RestoreTestKey(const std::string& server, const std::string& name);

// The record as a small text file beside the log ("RestoreTests.state"),
// one entry a line:
//   last<TAB><server><TAB><database><TAB><seconds since 1970, UTC>
//   scratch<TAB><server><TAB><database><TAB><scratch database>
// with "\", tab, CR and LF in the names written as \\, \t, \r and \n. Each
// change writes a new file beside it, flushes it and renames it into place,
// so a kill at any moment leaves the old record or the new one. Lines it
// cannot read are kept as they are. A missing file is an empty record.
class RestoreTestStateFile final : public RestoreTestRecord {
public:
    static constexpr const char* kFileName = "RestoreTests.state";

    explicit RestoreTestStateFile(std::string path);

    // The file for a log at `logPath`: kFileName in the log's folder.
    static std::string PathBesideLog(const std::string& logPath);

    const std::string& path() const { return m_path; }

    std::optional<std::time_t> lastTest(const std::string& key) override;
    bool setLastTest(const std::string& key, std::time_t when, std::string& error) override;
    std::vector<std::string> scratchDatabases(const std::string& key) override;
    bool addScratchDatabase(const std::string& key, const std::string& name, std::string& error) override;
    bool removeScratchDatabase(const std::string& key, const std::string& name, std::string& error) override;

private:
    struct Entry {
        std::string kind; // "last", "scratch"; empty for a line kept as read
        std::string key;
        std::string value;
        std::string line; // the line as read, for one that could not be parsed
    };

    std::vector<Entry> load();
    bool save(const std::vector<Entry>& entries, std::string& error);

    std::string m_path;
    std::mutex m_mutex; // one change at a time within the process
};

} // namespace engine
