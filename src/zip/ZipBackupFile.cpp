#include "zip/ZipBackupFile.h"

#include "log/Log.h"
#include "zip/ZipWriter.h"

namespace zip {

bool ZipBackupFile(const std::string& source, const std::string& archive, logging::Log& log, Level level,
                   const ProgressFn& progress)
{
    log.Write("Creating zip file " + archive);
    const std::string error = writeSingleEntryZip(source, archive, deflateOptionsFor(level), progress);
    if (!error.empty()) {
        log.Write(error);
        return false;
    }
    return true;
}

} // namespace zip
