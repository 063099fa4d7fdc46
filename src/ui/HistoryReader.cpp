#include "ui/HistoryReader.h"

#include <sys/stat.h>

namespace ui {

HistoryReader::HistoryReader(std::string path)
    : m_path(std::move(path))
{
}

HistoryReader::~HistoryReader() = default;

bool HistoryReader::ensureOpen(QString& error)
{
    struct stat status {};
    const bool exists = ::stat(m_path.c_str(), &status) == 0;
    if (m_store && exists && status.st_dev == m_device && status.st_ino == m_inode)
        return true;
    m_store.reset();
    m_cacheValid = false;
    history::HistoryStore::Opened opened = history::HistoryStore::open(m_path, history::HistoryStore::Access::ReadOnly);
    if (!opened.store) {
        error = QString::fromStdString(opened.error);
        return false;
    }
    m_store = std::move(opened.store);
    m_device = status.st_dev;
    m_inode = status.st_ino;
    return true;
}

bool HistoryReader::summaries(std::vector<history::DatabaseSummary>& out, QString& error,
                              std::chrono::milliseconds maxAge)
{
    if (!ensureOpen(error))
        return false;
    const auto now = std::chrono::steady_clock::now();
    if (!m_cacheValid || now - m_readAt > maxAge) {
        std::string reason;
        if (!m_store->summaries(m_cached, reason)) {
            m_cacheValid = false;
            error = QString::fromStdString(reason);
            return false;
        }
        m_cacheValid = true;
        m_readAt = now;
    }
    out = m_cached;
    return true;
}

bool HistoryReader::runs(const std::string& database, const std::string& server, int limit,
                         std::vector<history::RunRecord>& out, QString& error)
{
    if (!ensureOpen(error))
        return false;
    std::string reason;
    if (!m_store->runs(database, server, limit, out, reason)) {
        error = QString::fromStdString(reason);
        return false;
    }
    return true;
}

void HistoryReader::invalidate()
{
    m_cacheValid = false;
}

} // namespace ui
