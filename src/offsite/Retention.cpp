#include "offsite/Retention.h"

#include <algorithm>

namespace offsite {

namespace {

// The name of `key` when it lies directly in `folder`, else empty.
std::string_view NameInFolder(std::string_view key, std::string_view folder)
{
    if (key.size() <= folder.size() || key.substr(0, folder.size()) != folder)
        return {};
    const std::string_view name = key.substr(folder.size());
    return name.find('/') == std::string_view::npos ? name : std::string_view();
}

} // namespace

PruneOutcome PruneCopies(S3Client& client, const std::string& folder, const CopyNameFn& isCopy, int keep,
                         const std::string& newestKey, std::stop_token stop)
{
    PruneOutcome outcome;
    if (keep <= 0)
        return outcome;
    auto listed = client.listObjects(folder, stop);
    if (!listed.ok()) {
        outcome.error = listed.failure.text;
        return outcome;
    }
    std::vector<ListedObject> copies;
    for (ListedObject& object : *listed.value) {
        const std::string_view name = NameInFolder(object.key, folder);
        if (!name.empty() && isCopy(name) && object.key != newestKey)
            copies.push_back(std::move(object));
    }
    // Newest first; the verified copy takes one of the places.
    std::sort(copies.begin(), copies.end(), [](const ListedObject& a, const ListedObject& b) {
        return a.lastModified != b.lastModified ? a.lastModified > b.lastModified : a.key > b.key;
    });
    const std::size_t others = static_cast<std::size_t>(keep - 1);
    if (copies.size() <= others)
        return outcome;
    std::vector<ListedObject> due(copies.begin() + static_cast<std::ptrdiff_t>(others), copies.end());
    std::reverse(due.begin(), due.end());
    for (const ListedObject& object : due) {
        const auto deleted = client.deleteObject(object.key, stop);
        if (!deleted.ok()) {
            outcome.error = deleted.failure.text;
            return outcome;
        }
        outcome.deleted.push_back(object.key);
    }
    return outcome;
}

LeftoverOutcome AbortLeftoverUploads(S3Client& client, const std::string& folder, const CopyNameFn& isCopy,
                                     std::stop_token stop)
{
    LeftoverOutcome outcome;
    auto listed = client.listMultipartUploads(folder, stop);
    if (!listed.ok()) {
        if (listed.failure.httpStatus != 501)
            outcome.error = listed.failure.text;
        return outcome;
    }
    for (const ListedUpload& upload : *listed.value) {
        const std::string_view name = NameInFolder(upload.key, folder);
        if (name.empty() || !isCopy(name))
            continue;
        const auto aborted = client.abortMultipartUpload(upload.key, upload.uploadId, stop);
        if (!aborted.ok()) {
            outcome.error = aborted.failure.text;
            return outcome;
        }
        outcome.aborted.push_back(upload.key);
    }
    return outcome;
}

} // namespace offsite
