#include "engine/Archiver.h"

#include "config/SettingsFile.h"
#include "zip/ZipBackupFile.h"

namespace engine {

ZipArchiver::ZipArchiver(std::string settingsPath)
    : m_settingsPath(std::move(settingsPath))
{
}

bool ZipArchiver::compress(const std::string& source, const std::string& archive, logging::Log& log,
                           const ProgressFn& progress, std::stop_token stop)
{
    const zip::Level level = zip::levelFromSetting(config::LoadZipCompression(m_settingsPath));
    return zip::ZipBackupFile(source, archive, log, level, progress, stop);
}

} // namespace engine
