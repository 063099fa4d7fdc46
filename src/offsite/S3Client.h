#pragma once

#include "offsite/Credentials.h"
#include "offsite/Location.h"
#include "offsite/S3Xml.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

typedef void CURL;

namespace offsite {

// Why a request to the service failed.
struct Failure {
    enum class Kind {
        Network,  // no answer: connection refused or dropped, time-out, TLS
        Service,  // the service answered with an error
        Answer,   // the service answered something this program cannot read
        Stopped,  // a stop was requested
        Local,    // the local file could not be read
    };
    Kind kind = Kind::Network;
    long httpStatus = 0;
    std::string code; // the service's error code, when it gave one
    std::string text; // what the operator reads: what failed and the outside cause, verbatim

    bool stopped() const { return kind == Kind::Stopped; }
};

// A value or the reason there is none.
template <typename T>
struct Result {
    std::optional<T> value;
    Failure failure;

    bool ok() const { return value.has_value(); }
    static Result success(T v) { return Result{std::move(v), {}}; }
    static Result fail(Failure f) { return Result{std::nullopt, std::move(f)}; }
};

struct Done {};

struct ClientOptions {
    // Attempts of one request that fails on the network or with 5xx, 429 or
    // RequestTimeout; the pause before attempt n+1 is firstRetryDelay * 2^(n-1),
    // give or take a quarter.
    int attempts = 5;
    std::chrono::milliseconds firstRetryDelay{1000};
    // Waits between attempts; returns early (false) on a stop. Empty: a wait
    // on a condition variable that the stop ends.
    std::function<bool(std::chrono::milliseconds, std::stop_token)> pause;
    std::chrono::seconds connectTimeout{30};
    // A transfer that moves nothing for this long fails (and is retried).
    std::chrono::seconds stallTimeout{120};
};

// Signed requests to one bucket of an S3-compatible service, through libcurl
// (Signature Version 4 by CURLOPT_AWS_SIGV4). Paths and queries are sent in
// the canonical encoding, so what libcurl signs is what the service checks.
// https endpoints have their certificate and host name verified against the
// system's trust store (SSL_CERT_FILE and SSL_CERT_DIR replace it).
//
// Threads: every call blocks until the service answered or every attempt
// failed, and may be made from any number of threads at once; each
// transfer has a handle of its own, and idle handles (with their open
// connections) are kept for the next call. A stop ends a transfer within
// about a second. The secret never leaves the signing: no failure text
// holds it.
class S3Client {
public:
    S3Client(StoreLocation location, Credentials credentials, ClientOptions options = {});
    ~S3Client();

    S3Client(const S3Client&) = delete;
    S3Client& operator=(const S3Client&) = delete;

    const StoreLocation& location() const { return m_location; }

    // Bytes of a request's body sent so far; updated while it runs.
    using SentCounter = std::atomic<std::uint64_t>;

    // A file range as a request body: `length` bytes from `offset` of the
    // open descriptor `fd`, whose SHA-256 is `sha256` (lower-case hex).
    struct FileBody {
        int fd = -1;
        std::uint64_t offset = 0;
        std::uint64_t length = 0;
        std::string sha256;
        SentCounter* sent = nullptr;
    };

    Result<Done> putObject(const std::string& key, const FileBody& body, std::stop_token stop);
    Result<std::string> createMultipartUpload(const std::string& key, std::stop_token stop);
    // The part's ETag as the service gave it.
    Result<std::string> uploadPart(const std::string& key, const std::string& uploadId, int partNumber,
                                   const FileBody& body, std::stop_token stop);
    Result<Done> completeMultipartUpload(const std::string& key, const std::string& uploadId,
                                         const std::vector<std::string>& etags, std::stop_token stop);
    Result<Done> abortMultipartUpload(const std::string& key, const std::string& uploadId, std::stop_token stop);
    // The object's size; a missing object is a Service failure with status 404.
    Result<std::uint64_t> objectSize(const std::string& key, std::stop_token stop);
    // Every object whose key begins with `prefix`, all pages; with
    // `maxKeys`, only the first page of at most that many.
    Result<std::vector<ListedObject>> listObjects(const std::string& prefix, std::stop_token stop, int maxKeys = 0);
    // Every multipart upload in progress whose key begins with `prefix`.
    Result<std::vector<ListedUpload>> listMultipartUploads(const std::string& prefix, std::stop_token stop);
    Result<Done> deleteObject(const std::string& key, std::stop_token stop);

private:
    struct Request;
    struct Answer;

    Result<Answer> send(const Request& request, std::stop_token stop);
    Result<Answer> attempt(const Request& request, std::stop_token stop);
    CURL* takeHandle();
    void returnHandle(CURL* handle);
    Failure serviceFailure(const std::string& operation, long status, const std::string& body) const;
    std::string redact(std::string text) const;

    StoreLocation m_location;
    Credentials m_credentials;
    ClientOptions m_options;
    std::string m_signing; // "aws:amz:<region>:s3"
    std::mutex m_handleMutex; // guards m_idle
    std::vector<CURL*> m_idle;
};

} // namespace offsite
