#include "engine/Archiver.h"

#include "engine/SettingsStore.h"
#include "zip/ZipBackupFile.h"

namespace engine {

ZipArchiver::ZipArchiver(std::shared_ptr<SettingsStore> settings)
    : m_settings(std::move(settings))
{
}

bool ZipArchiver::compress(const std::string& source, const std::string& archive, logging::Log& log,
                           const ProgressFn& progress, std::stop_token stop)
{
    // A settings file that cannot be read gives the default level: the
    // backup is still zipped.
    const zip::Level level = zip::levelFromSetting(m_settings->current()->options.zipCompression);
    return zip::ZipBackupFile(source, archive, log, level, progress, stop);
}

} // namespace engine
