#include "offsite/Upload.h"

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace offsite {

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::size_t kHashBlock = 1024 * 1024;

class FileHandle {
public:
    explicit FileHandle(const std::string& path)
        : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
    }
    ~FileHandle()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    int fd() const { return m_fd; }

private:
    int m_fd;
};

// SHA-256 of a file range as lower-case hex; empty with `error` set when the
// file cannot be read or a stop was requested.
std::string HashRange(int fd, std::uint64_t offset, std::uint64_t length, std::vector<unsigned char>& buffer,
                      std::stop_token stop, std::string& error)
{
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        error = "cannot start a SHA-256 digest";
        return {};
    }
    std::uint64_t done = 0;
    while (done < length) {
        if (stop.stop_requested()) {
            error = "stopped";
            return {};
        }
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), length - done));
        const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            error = got < 0 ? std::strerror(errno) : "the file is shorter than it was";
            return {};
        }
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(got));
        done += static_cast<std::uint64_t>(got);
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context.get(), digest, &size);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

// Sums what the transfers under way and the finished ones have sent, and
// tells the caller.
class ProgressTotal {
public:
    ProgressTotal(std::uint64_t total, const UploadProgressFn& report, int slots)
        : m_total(total)
        , m_report(report)
        , m_inFlight(static_cast<std::size_t>(slots))
    {
        for (auto& slot : m_inFlight)
            slot.store(0);
    }
    S3Client::SentCounter* slot(int index) { return &m_inFlight[static_cast<std::size_t>(index)]; }
    void acknowledged(int index, std::uint64_t bytes)
    {
        m_done.fetch_add(bytes);
        m_inFlight[static_cast<std::size_t>(index)].store(0);
        report();
    }
    void report()
    {
        if (!m_report)
            return;
        std::uint64_t sent = m_done.load();
        for (const auto& slot : m_inFlight)
            sent += slot.load();
        m_report(std::min(sent, m_total), m_total);
    }

private:
    std::uint64_t m_total;
    const UploadProgressFn& m_report;
    std::atomic<std::uint64_t> m_done{0};
    std::vector<S3Client::SentCounter> m_inFlight;
};

// Watches a transfer's counter and reports while it runs.
class Reporter {
public:
    explicit Reporter(ProgressTotal& total)
        : m_thread([&total](std::stop_token own) {
            std::mutex mutex;
            std::condition_variable_any wake;
            std::unique_lock lock(mutex);
            while (!own.stop_requested()) {
                wake.wait_for(lock, own, std::chrono::milliseconds(250), [] { return false; });
                if (!own.stop_requested())
                    total.report();
            }
        })
    {
    }

private:
    std::jthread m_thread;
};

UploadOutcome Fail(UploadOutcome outcome, const Failure& failure)
{
    outcome.ok = false;
    outcome.stopped = failure.stopped();
    outcome.error = failure.text;
    return outcome;
}

// After the object exists: its size must be the file's.
UploadOutcome Verify(S3Client& client, const std::string& key, UploadOutcome outcome)
{
    // The check runs even after a stop: the object is complete by now.
    const auto size = client.objectSize(key, {});
    if (!size.ok())
        return Fail(std::move(outcome), size.failure);
    if (*size.value != outcome.bytes) {
        // Nothing of the wrong size may count as a copy.
        client.deleteObject(key, {});
        outcome.ok = false;
        outcome.error = "the stored copy '" + key + "' has " + std::to_string(*size.value) + " bytes instead of "
            + std::to_string(outcome.bytes) + "; it was deleted";
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

} // namespace

std::uint64_t PartSizeFor(std::uint64_t fileSize, const UploadOptions& options)
{
    const std::uint64_t maxParts = static_cast<std::uint64_t>(std::max(1, options.maxParts));
    std::uint64_t size = std::max<std::uint64_t>(options.partSize, 1);
    if ((fileSize + size - 1) / size > maxParts) {
        size = (fileSize + maxParts - 1) / maxParts;
        size = (size + kMiB - 1) / kMiB * kMiB;
    }
    return size;
}

UploadOutcome UploadFile(S3Client& client, const std::string& path, const std::string& key,
                         const UploadOptions& options, const UploadProgressFn& progress, std::stop_token stop)
{
    UploadOutcome outcome;
    FileHandle file(path);
    struct stat status{};
    if (file.fd() < 0 || ::fstat(file.fd(), &status) != 0) {
        outcome.error = "cannot open '" + path + "': " + std::strerror(errno);
        return outcome;
    }
    outcome.bytes = static_cast<std::uint64_t>(status.st_size);
    std::vector<unsigned char> buffer(kHashBlock);

    if (outcome.bytes <= options.multipartThreshold) {
        std::string error;
        S3Client::FileBody body;
        body.fd = file.fd();
        body.length = outcome.bytes;
        body.sha256 = HashRange(file.fd(), 0, outcome.bytes, buffer, stop, error);
        if (body.sha256.empty()) {
            outcome.stopped = stop.stop_requested();
            outcome.error = outcome.stopped ? "the upload was stopped" : "cannot read '" + path + "': " + error;
            return outcome;
        }
        ProgressTotal total(outcome.bytes, progress, 1);
        body.sent = total.slot(0);
        Result<Done> stored;
        {
            Reporter reporter(total);
            stored = client.putObject(key, body, stop);
        }
        if (!stored.ok())
            return Fail(std::move(outcome), stored.failure);
        total.acknowledged(0, outcome.bytes);
        return Verify(client, key, std::move(outcome));
    }

    const std::uint64_t partSize = PartSizeFor(outcome.bytes, options);
    const int parts = static_cast<int>((outcome.bytes + partSize - 1) / partSize);
    outcome.parts = parts;
    const auto started = client.createMultipartUpload(key, stop);
    if (!started.ok())
        return Fail(std::move(outcome), started.failure);
    const std::string uploadId = *started.value;

    // The first failure ends every worker; a requested stop does too.
    std::stop_source cancel;
    std::stop_callback forwardStop(stop, [&cancel] { cancel.request_stop(); });
    std::mutex failureMutex; // guards firstFailure
    std::optional<Failure> firstFailure;
    std::vector<std::string> etags(static_cast<std::size_t>(parts));
    std::atomic<int> nextPart{0};
    const int workers = std::clamp(options.partsInFlight, 1, parts);
    ProgressTotal total(outcome.bytes, progress, workers);
    {
        Reporter reporter(total);
        std::vector<std::jthread> threads;
        for (int w = 0; w < workers; ++w) {
            threads.emplace_back([&, w] {
                std::vector<unsigned char> block(kHashBlock);
                const std::stop_token token = cancel.get_token();
                for (int index = nextPart++; index < parts && !token.stop_requested(); index = nextPart++) {
                    S3Client::FileBody body;
                    body.fd = file.fd();
                    body.offset = static_cast<std::uint64_t>(index) * partSize;
                    body.length = std::min(partSize, outcome.bytes - body.offset);
                    body.sent = total.slot(w);
                    std::string error;
                    body.sha256 = HashRange(file.fd(), body.offset, body.length, block, token, error);
                    Result<std::string> etag;
                    if (body.sha256.empty()) {
                        etag.failure = token.stop_requested()
                            ? Failure{Failure::Kind::Stopped, 0, {}, "the upload was stopped"}
                            : Failure{Failure::Kind::Local, 0, {}, "cannot read '" + path + "': " + error};
                    } else {
                        etag = client.uploadPart(key, uploadId, index + 1, body, token);
                    }
                    if (!etag.ok()) {
                        std::lock_guard guard(failureMutex);
                        // A part stopped because another one failed does not hide that failure.
                        if (!firstFailure || (firstFailure->stopped() && !etag.failure.stopped()))
                            firstFailure = etag.failure;
                        cancel.request_stop();
                        return;
                    }
                    etags[static_cast<std::size_t>(index)] = *etag.value;
                    total.acknowledged(w, body.length);
                }
            });
        }
    }

    if (!firstFailure && stop.stop_requested())
        firstFailure = Failure{Failure::Kind::Stopped, 0, {}, "the upload was stopped"};
    std::optional<Failure> failure = firstFailure;
    if (!failure) {
        const auto completed = client.completeMultipartUpload(key, uploadId, etags, {});
        if (completed.ok())
            return Verify(client, key, std::move(outcome));
        failure = completed.failure;
    }
    // No part may stay behind: the abort is sent even after a stop.
    const auto aborted = client.abortMultipartUpload(key, uploadId, {});
    if (!aborted.ok())
        outcome.abortError = aborted.failure.text;
    return Fail(std::move(outcome), *failure);
}

} // namespace offsite
