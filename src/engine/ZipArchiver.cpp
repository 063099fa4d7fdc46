#include "engine/Archiver.h"

#include "config/SettingsFile.h"
#include "zip/ZipBackupFile.h"

namespace engine {

ZipArchiver::ZipArchiver(std::string settingsPath)
    : m_settingsPath(std::move(settingsPath))
{
}

bool ZipArchiver::compress(const std::string& source, const std::string& archive, logging::Log& log,
                           const ProgressFn& progress)
{
    const zip::Level level = config::LoadPreferSmallestZip(m_settingsPath) ? zip::Level::Smallest : zip::Level::Fast;
    return zip::ZipBackupFile(source, archive, log, level, progress);
}

} // namespace engine
