#pragma once

#include "offsite/S3Client.h"

#include <cstdint>
#include <functional>
#include <stop_token>
#include <string>

namespace offsite {

struct UploadOptions {
    // Files up to this size go in one PUT; larger ones in parts.
    std::uint64_t multipartThreshold = 64ull * 1024 * 1024;
    // The size of every part but the last, grown (in whole MiB) when the file
    // would otherwise need more than maxParts.
    std::uint64_t partSize = 16ull * 1024 * 1024;
    int maxParts = 10000;
    // Parts sent at the same time.
    int partsInFlight = 2;
};

// The part size for a file of `fileSize` bytes.
std::uint64_t PartSizeFor(std::uint64_t fileSize, const UploadOptions& options);

struct UploadOutcome {
    bool ok = false;
    bool stopped = false;     // a stop ended it
    std::string error;        // what failed, when not ok
    std::uint64_t bytes = 0;  // the file's size
    int parts = 0;            // 0 for a single PUT
    std::string abortError;   // an unfinished multipart upload could not be aborted: why
};

// Bytes of the file the service has acknowledged or is receiving, of `total`.
// Called on the uploading threads, often; must not block.
using UploadProgressFn = std::function<void(std::uint64_t sent, std::uint64_t total)>;

// Uploads the file at `path` as `key`: one PUT up to the threshold, otherwise
// a multipart upload with at most partsInFlight parts under way. Every body
// carries its SHA-256 in the signed x-amz-content-sha256 header, so the
// service refuses a part that arrived other than sent. The file is read in
// small blocks (twice: to hash a part, then to send it), never held in
// memory. A multipart upload is completed only once every part was
// acknowledged; when a part fails after its retries, or a stop is
// requested, the upload is aborted so that no parts stay behind. After the
// object exists its size is read back (HEAD) and compared with the file's;
// an object of another size is deleted and the upload fails.
//
// Blocks until done; the stop ends it within about a second, plus the time
// the abort takes.
UploadOutcome UploadFile(S3Client& client, const std::string& path, const std::string& key,
                         const UploadOptions& options, const UploadProgressFn& progress, std::stop_token stop);

} // namespace offsite
