#include "engine/SettingsStore.h"

#include "config/ProfileFile.h"
#include "config/SettingsFile.h"

#include <new>
#include <sys/stat.h>

namespace engine {

SettingsStore::SettingsStore(std::string path)
    : m_path(std::move(path))
{
}

SettingsStore::Identity SettingsStore::identity() const
{
    struct stat status {};
    if (::stat(m_path.c_str(), &status) != 0)
        return {};
    return {status.st_dev, status.st_ino, status.st_size,
            static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec};
}

std::shared_ptr<const Settings> SettingsStore::current()
{
    const Identity now = identity();
    std::lock_guard lock(m_mutex);
    if (m_known && now == m_identity)
        return m_settings;
    return read(now);
}

std::shared_ptr<const Settings> SettingsStore::reload()
{
    const Identity now = identity();
    std::lock_guard lock(m_mutex);
    return read(now);
}

std::shared_ptr<const Settings> SettingsStore::read(const Identity& identity)
{
    auto failed = [this](std::string problem) {
        // Not remembered as known: the next call tries again.
        auto settings = std::make_shared<Settings>();
        settings->readable = false;
        settings->problem = std::move(problem);
        m_known = false;
        m_settings = std::move(settings);
        return m_settings;
    };
    try {
        auto settings = std::make_shared<Settings>();
        config::ProfileFile profile;
        if (config::ProfileFile::load(m_path, profile, &settings->problem) == config::ProfileFile::LoadStatus::Failed)
            return failed(settings->problem);
        // A value too long is refused by its key's name, never cut.
        if (auto problem = config::SettingsValueTooLong(profile, m_path))
            return failed(*problem);
        config::ReadDatabaseList(profile, settings->databaseList);
        settings->databases.reserve(settings->databaseList.rowCount());
        for (int row = 0; row < settings->databaseList.rowCount(); ++row)
            settings->databases.push_back(config::DatabaseEntry::FromRow(settings->databaseList.row(row)));
        config::ReadMailSettings(profile, settings->mail);
        const std::size_t slash = m_path.rfind('/');
        settings->options
            = config::ReadRunOptions(profile, slash == std::string::npos ? std::string() : m_path.substr(0, slash));
        settings->optionValues = config::ReadOptionValues(profile);
        m_known = true;
        m_identity = identity;
        m_settings = std::move(settings);
        return m_settings;
    } catch (const std::bad_alloc&) {
        m_settings.reset();
        return failed(config::OutOfMemoryText(m_path));
    }
}

bool SettingsStore::saveDatabaseList(const config::DatabaseList& list, logging::Log& log, std::string* error)
{
    const bool saved = config::SaveDatabaseList(m_path, list, log, error);
    reload();
    return saved;
}

bool SettingsStore::saveMailSettings(const config::MailSettings& settings, const std::string& portText,
                                     std::string* error)
{
    const bool saved = config::SaveMailSettings(m_path, settings, portText, error);
    reload();
    return saved;
}

bool SettingsStore::saveOptionValues(const std::vector<std::pair<std::string, std::string>>& changes,
                                     std::string* error)
{
    const bool saved = config::SaveOptionValues(m_path, changes, error);
    reload();
    return saved;
}

} // namespace engine
