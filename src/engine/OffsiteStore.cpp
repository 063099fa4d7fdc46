#include "engine/OffsiteStore.h"

#include "offsite/Location.h"
#include "offsite/Retention.h"
#include "offsite/S3Client.h"
#include "offsite/Upload.h"

#include <memory>

namespace engine {

namespace {

struct Connection {
    std::unique_ptr<offsite::S3Client> client;
    std::string error;
};

Connection Connect(const config::OffsiteOptions& options, const std::optional<offsite::Credentials>& environment)
{
    Connection connection;
    offsite::StoreLocation location;
    if (const auto problem = offsite::ParseLocation(options.url, options.endpoint, options.region, location)) {
        connection.error = *problem;
        return connection;
    }
    offsite::Credentials credentials = environment ? *environment
                                                   : offsite::Credentials{options.accessKey, options.secret, {}};
    if (credentials.accessKey.empty()) {
        connection.error = "no access key: set OFFSITE_ACCESS_KEY, or AWS_ACCESS_KEY_ID in the environment";
        return connection;
    }
    if (credentials.secret.empty()) {
        connection.error = environment ? "AWS_ACCESS_KEY_ID is set but AWS_SECRET_ACCESS_KEY is not"
                                       : "no secret: set OFFSITE_SECRET, or AWS_SECRET_ACCESS_KEY in the environment";
        return connection;
    }
    connection.client = std::make_unique<offsite::S3Client>(location, std::move(credentials));
    return connection;
}

} // namespace

S3OffsiteStore::S3OffsiteStore(std::optional<offsite::Credentials> environment)
    : m_environment(std::move(environment))
{
}

OffsiteOutcome S3OffsiteStore::copy(const config::OffsiteOptions& options, const OffsiteCopy& file,
                                    const ProgressFn& progress, std::stop_token stop)
{
    OffsiteOutcome outcome;
    Connection connection = Connect(options, m_environment);
    if (!connection.client) {
        outcome.error = connection.error;
        return outcome;
    }
    offsite::S3Client& client = *connection.client;
    const std::string folder = offsite::CopyFolder(client.location(), file.server, file.database, &outcome.error);
    if (folder.empty())
        return outcome;
    outcome.key = folder + file.fileName;
    const auto isCopy = [&file](std::string_view name) { return offsite::IsCopyName(name, file.databaseName); };

    const offsite::LeftoverOutcome leftovers = offsite::AbortLeftoverUploads(client, folder, isCopy, stop);
    outcome.leftoversAborted = leftovers.aborted;
    outcome.leftoverError = leftovers.error;

    const auto started = std::chrono::steady_clock::now();
    int lastPercent = -1;
    const offsite::UploadOutcome upload = offsite::UploadFile(
        client, file.localFile, outcome.key, {},
        [&](std::uint64_t sent, std::uint64_t total) {
            const int percent = total == 0 ? 100 : static_cast<int>(sent * 100 / total);
            if (percent != lastPercent && progress) {
                lastPercent = percent;
                progress(percent);
            }
        },
        stop);
    outcome.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    outcome.bytes = upload.bytes;
    if (!upload.ok) {
        outcome.stopped = upload.stopped;
        outcome.error = upload.error;
        if (!upload.abortError.empty())
            outcome.error += "; the unfinished upload could not be aborted: " + upload.abortError;
        return outcome;
    }
    outcome.uploaded = true;

    const offsite::PruneOutcome pruned = offsite::PruneCopies(client, folder, isCopy, options.keep, outcome.key, stop);
    outcome.deleted = pruned.deleted;
    outcome.retentionError = pruned.error;
    return outcome;
}

std::string OffsiteSettingsProblem(const config::OffsiteOptions& options)
{
    offsite::StoreLocation location;
    return offsite::ParseLocation(options.url, options.endpoint, options.region, location).value_or(std::string());
}

std::string CheckOffsiteConnection(const config::OffsiteOptions& options,
                                   const std::optional<offsite::Credentials>& environment, std::stop_token stop)
{
    if (!options.enabled())
        return "OFFSITE_URL is empty: no offsite copies are made";
    Connection connection = Connect(options, environment);
    if (!connection.client)
        return connection.error;
    const std::string& prefix = connection.client->location().prefix;
    const auto listed = connection.client->listObjects(prefix.empty() ? "" : prefix + "/", stop, 1);
    return listed.ok() ? std::string() : listed.failure.text;
}

} // namespace engine
