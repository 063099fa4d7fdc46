#pragma once

#include "history/HistoryStore.h"

#include <QString>

#include <chrono>
#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

namespace ui {

// The desktop's reading of the run history: the file opened for reading on
// first use, and again once it was replaced (a damaged file moved aside),
// with the databases' summaries kept for a few seconds so that tooltips do
// not read the file on every mouse move. Reads are quick (index lookups per
// database) and happen on the GUI thread. GUI thread only.
class HistoryReader {
public:
    explicit HistoryReader(std::string path);
    ~HistoryReader();

    const std::string& path() const { return m_path; }

    // The summaries, read again when older than `maxAge`. False, with the
    // reason, when the history cannot be read (there is none yet, for one).
    bool summaries(std::vector<history::DatabaseSummary>& out, QString& error,
                   std::chrono::milliseconds maxAge = std::chrono::seconds(5));
    // The newest `limit` runs of one database, newest first.
    bool runs(const std::string& database, const std::string& server, int limit, std::vector<history::RunRecord>& out,
              QString& error);
    // The next summaries() reads the file.
    void invalidate();

private:
    bool ensureOpen(QString& error);

    std::string m_path;
    std::unique_ptr<history::HistoryStore> m_store;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    std::vector<history::DatabaseSummary> m_cached;
    std::chrono::steady_clock::time_point m_readAt{};
    bool m_cacheValid = false;
};

} // namespace ui
