#pragma once

#include "offsite/S3Client.h"

#include <functional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

namespace offsite {

// Whether a file name in a database's folder is one of this program's copies.
using CopyNameFn = std::function<bool(std::string_view fileName)>;

struct PruneOutcome {
    std::vector<std::string> deleted; // keys, oldest first
    std::string error;                // empty when every deletion that was due succeeded
};

// Keeps the newest `keep` copies in `folder` (a prefix ending in "/") and
// deletes the others, oldest first. Only objects directly in the folder whose
// names `isCopy` accepts are counted or touched; `newestKey`, the copy just
// verified, is always kept. Age is the service's LastModified, then the
// name. `keep` of 0 or less keeps everything and sends no request.
PruneOutcome PruneCopies(S3Client& client, const std::string& folder, const CopyNameFn& isCopy, int keep,
                         const std::string& newestKey, std::stop_token stop);

struct LeftoverOutcome {
    std::vector<std::string> aborted; // keys of the unfinished uploads aborted
    std::string error;
};

// Aborts the multipart uploads left unfinished in `folder` (by a run that was
// killed) whose names `isCopy` accepts. A service that does not list
// unfinished uploads (HTTP 501) leaves nothing to do.
LeftoverOutcome AbortLeftoverUploads(S3Client& client, const std::string& folder, const CopyNameFn& isCopy,
                                     std::stop_token stop);

} // namespace offsite
