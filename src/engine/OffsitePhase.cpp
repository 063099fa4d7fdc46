#include "engine/OffsitePhase.h"

#include "engine/BackupJob.h"

#include <cstdio>

namespace engine {

std::string OffsiteUploadedLine(const std::string& displayName, std::uint64_t bytes, std::chrono::milliseconds elapsed)
{
    char figures[96];
    std::snprintf(figures, sizeof figures, " uploaded (%.1f MB in %.1f s)", static_cast<double>(bytes) / (1024.0 * 1024.0),
                  static_cast<double>(elapsed.count()) / 1000.0);
    return "Offsite copy of Database " + displayName + figures;
}

bool OffsitePhase::run(std::stop_token stop) const
{
    if (!job.offsite.enabled() || !store)
        return true;
    setStatus(std::string(kUploadingText) + " 0%");
    OffsiteCopy file;
    file.server = job.databaseUrl;
    file.database = displayName;
    file.databaseName = job.databaseName;
    file.localFile = localFile;
    file.fileName = fileName;
    const OffsiteOutcome outcome = store->copy(
        job.offsite, file,
        [this](int percent) { setStatus(std::string(kUploadingText) + " " + std::to_string(percent) + "%"); }, stop);

    for (const std::string& key : outcome.leftoversAborted)
        writeLog("Unfinished offsite upload '" + key + "' of Database " + displayName + " aborted");
    if (!outcome.leftoverError.empty())
        writeLog("Unfinished offsite uploads of Database " + displayName + " not checked: " + outcome.leftoverError);
    if (!outcome.uploaded) {
        const std::string reason = outcome.stopped ? std::string(kOffsiteStoppedReason) : outcome.error;
        writeLog("Offsite copy of Database " + displayName + " failed: " + reason);
        fail(kOffsiteFailedText + reason);
        return false;
    }
    writeLog(OffsiteUploadedLine(displayName, outcome.bytes, outcome.elapsed));
    for (const std::string& key : outcome.deleted)
        writeLog("Offsite copy '" + key + "' deleted: Database " + displayName + " keeps the newest "
                 + std::to_string(job.offsite.keep));
    if (!outcome.retentionError.empty()) {
        writeLog("Old offsite copies of Database " + displayName + " not deleted: " + outcome.retentionError);
        fail(kOffsiteRetentionFailedText + outcome.retentionError);
        return false;
    }
    return true;
}

} // namespace engine
