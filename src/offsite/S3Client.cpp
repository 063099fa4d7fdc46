#include "offsite/S3Client.h"

#include <curl/curl.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <random>
#include <unistd.h>

namespace offsite {

namespace {

// Larger answers than any listing page are not read.
constexpr std::size_t kMaxAnswerBytes = 16 * 1024 * 1024;
constexpr long kUploadBufferBytes = 512 * 1024;

std::once_flag s_curlInitialised;

std::string Sha256Hex(std::string_view data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
        hex += kHex[digest[i] >> 4];
        hex += kHex[digest[i] & 15];
    }
    return hex;
}

bool WaitFor(std::chrono::milliseconds delay, std::stop_token stop)
{
    std::mutex mutex;
    std::condition_variable_any wake;
    std::unique_lock lock(mutex);
    wake.wait_for(lock, stop, delay, [] { return false; });
    return !stop.stop_requested();
}

bool IsRetryableNetworkError(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_CONNECT:
    case CURLE_OPERATION_TIMEDOUT:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_GOT_NOTHING:
    case CURLE_PARTIAL_FILE:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_WEIRD_SERVER_REPLY:
        return true;
    default:
        return false;
    }
}

bool IsRetryable(const Failure& failure)
{
    switch (failure.kind) {
    case Failure::Kind::Network:
        return true;
    case Failure::Kind::Service:
        return failure.httpStatus >= 500 || failure.httpStatus == 429 || failure.code == "RequestTimeout"
            || failure.code == "SlowDown";
    default:
        return false;
    }
}

std::string StatusWords(long status)
{
    switch (status) {
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 416: return "Range Not Satisfiable";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 504: return "Gateway Timeout";
    default: return {};
    }
}

// Printable text of an answer that is no error document, cut short.
std::string AnswerExcerpt(const std::string& body)
{
    std::string out;
    for (const char c : body.substr(0, 200))
        out += (static_cast<unsigned char>(c) < 0x20) ? ' ' : c;
    return out;
}

struct ReadState {
    const S3Client::FileBody* body = nullptr;
    std::uint64_t position = 0; // within the range
    int error = 0;
};

size_t ReadBody(char* buffer, size_t size, size_t count, void* user)
{
    auto* state = static_cast<ReadState*>(user);
    const std::uint64_t left = state->body->length - state->position;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, size * count));
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = ::pread(state->body->fd, buffer + got, want - got,
                                  static_cast<off_t>(state->body->offset + state->position + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            state->error = n < 0 ? errno : EIO;
            return CURL_READFUNC_ABORT;
        }
        got += static_cast<std::size_t>(n);
    }
    state->position += got;
    return got;
}

int SeekBody(void* user, curl_off_t offset, int origin)
{
    auto* state = static_cast<ReadState*>(user);
    if (origin != SEEK_SET || offset < 0 || static_cast<std::uint64_t>(offset) > state->body->length)
        return CURL_SEEKFUNC_CANTSEEK;
    state->position = static_cast<std::uint64_t>(offset);
    return CURL_SEEKFUNC_OK;
}

struct Collected {
    std::string body;
    std::string etag;
    std::optional<std::uint64_t> contentLength;
    bool tooLarge = false;
};

size_t CollectBody(char* data, size_t size, size_t count, void* user)
{
    auto* collected = static_cast<Collected*>(user);
    if (collected->body.size() + size * count > kMaxAnswerBytes) {
        collected->tooLarge = true;
        return 0;
    }
    collected->body.append(data, size * count);
    return size * count;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* user)
{
    auto* collected = static_cast<Collected*>(user);
    std::string_view line(data, size * count);
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    if (line.rfind("HTTP/", 0) == 0) {
        // A new answer (after "100 Continue"): its headers replace the last ones.
        collected->etag.clear();
        collected->contentLength.reset();
        return size * count;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return size * count;
    std::string name(line.substr(0, colon));
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ')
        value.remove_prefix(1);
    if (name == "etag")
        collected->etag = value;
    else if (name == "content-length")
        collected->contentLength = std::strtoull(std::string(value).c_str(), nullptr, 10);
    return size * count;
}

struct Progress {
    std::stop_token stop;
    S3Client::SentCounter* sent = nullptr;
};

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded)
{
    auto* progress = static_cast<Progress*>(user);
    if (progress->sent)
        progress->sent->store(static_cast<std::uint64_t>(uploaded));
    return progress->stop.stop_requested() ? 1 : 0;
}

struct HeaderList {
    curl_slist* list = nullptr;
    ~HeaderList() { curl_slist_free_all(list); }
    void add(const std::string& line) { list = curl_slist_append(list, line.c_str()); }
};

} // namespace

struct S3Client::Request {
    std::string operation; // "storing 'key'": what failed, in the operator's words
    std::string method;
    std::string key;
    std::vector<std::pair<std::string, std::string>> query;
    const FileBody* file = nullptr;
    std::string memoryBody;
    std::string contentType;
    int attempts = 0; // 0: the client's
};

struct S3Client::Answer {
    long status = 0;
    std::string body;
    std::string etag;
    std::optional<std::uint64_t> contentLength;
};

S3Client::S3Client(StoreLocation location, Credentials credentials, ClientOptions options)
    : m_location(std::move(location))
    , m_credentials(std::move(credentials))
    , m_options(std::move(options))
    , m_signing("aws:amz:" + m_location.region + ":s3")
{
    std::call_once(s_curlInitialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (!m_options.pause)
        m_options.pause = WaitFor;
    m_options.attempts = std::max(1, m_options.attempts);
}

S3Client::~S3Client()
{
    for (CURL* handle : m_idle)
        curl_easy_cleanup(handle);
}

CURL* S3Client::takeHandle()
{
    {
        std::lock_guard guard(m_handleMutex);
        if (!m_idle.empty()) {
            CURL* handle = m_idle.back();
            m_idle.pop_back();
            return handle;
        }
    }
    return curl_easy_init();
}

void S3Client::returnHandle(CURL* handle)
{
    // A reset handle keeps its open connection for the next request.
    curl_easy_reset(handle);
    std::lock_guard guard(m_handleMutex);
    m_idle.push_back(handle);
}

std::string S3Client::redact(std::string text) const
{
    text = Redact(std::move(text), m_credentials.secret);
    return Redact(std::move(text), m_credentials.sessionToken);
}

Failure S3Client::serviceFailure(const std::string& operation, long status, const std::string& body) const
{
    Failure failure;
    failure.kind = Failure::Kind::Service;
    failure.httpStatus = status;
    std::string detail = "HTTP " + std::to_string(status);
    if (const auto error = ReadError(body)) {
        failure.code = error->code;
        if (!error->code.empty())
            detail += " " + error->code;
        if (!error->message.empty())
            detail += ": " + error->message;
    } else if (const std::string words = StatusWords(status); !words.empty()) {
        detail += " " + words;
    }
    failure.text = redact(operation + " was refused: " + detail);
    return failure;
}

Result<S3Client::Answer> S3Client::attempt(const Request& request, std::stop_token stop)
{
    CURL* c = takeHandle();
    if (!c)
        return Result<Answer>::fail({Failure::Kind::Local, 0, {}, request.operation + " failed: libcurl gave no handle"});
    char errorBuffer[CURL_ERROR_SIZE] = "";
    const std::string url = ObjectUrl(m_location, request.key, request.query);
    HeaderList headers;
    const std::string payloadHash = request.file ? request.file->sha256 : Sha256Hex(request.memoryBody);
    headers.add("x-amz-content-sha256: " + payloadHash);
    if (!m_credentials.sessionToken.empty())
        headers.add("x-amz-security-token: " + m_credentials.sessionToken);
    if (!request.contentType.empty())
        headers.add("Content-Type: " + request.contentType);

    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, static_cast<long>(m_options.connectTimeout.count()));
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, static_cast<long>(m_options.stallTimeout.count()));
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const char* caFile = std::getenv("SSL_CERT_FILE"); caFile && *caFile)
        curl_easy_setopt(c, CURLOPT_CAINFO, caFile);
    if (const char* caDir = std::getenv("SSL_CERT_DIR"); caDir && *caDir)
        curl_easy_setopt(c, CURLOPT_CAPATH, caDir);
    curl_easy_setopt(c, CURLOPT_AWS_SIGV4, m_signing.c_str());
    curl_easy_setopt(c, CURLOPT_USERNAME, m_credentials.accessKey.c_str());
    curl_easy_setopt(c, CURLOPT_PASSWORD, m_credentials.secret.c_str());
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.list);

    ReadState readState;
    if (request.method == "PUT") {
        readState.body = request.file;
        curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, static_cast<curl_off_t>(request.file->length));
        curl_easy_setopt(c, CURLOPT_READFUNCTION, &ReadBody);
        curl_easy_setopt(c, CURLOPT_READDATA, &readState);
        curl_easy_setopt(c, CURLOPT_SEEKFUNCTION, &SeekBody);
        curl_easy_setopt(c, CURLOPT_SEEKDATA, &readState);
        curl_easy_setopt(c, CURLOPT_UPLOAD_BUFFERSIZE, kUploadBufferBytes);
    } else if (request.method == "POST") {
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.memoryBody.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.memoryBody.size()));
    } else if (request.method == "HEAD") {
        curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
    } else if (request.method == "DELETE") {
        curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, "DELETE");
    } else {
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
    }
    Collected collected;
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &CollectBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &collected);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, &CollectHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &collected);
    Progress progress{stop, request.file ? request.file->sent : nullptr};
    if (progress.sent)
        progress.sent->store(0);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &progress);
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);

    const CURLcode code = stop.stop_requested() ? CURLE_ABORTED_BY_CALLBACK : curl_easy_perform(c);
    long status = 0;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, nullptr);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(c, CURLOPT_PASSWORD, "");
    returnHandle(c);

    Failure failure;
    if (code == CURLE_ABORTED_BY_CALLBACK && readState.error != 0) {
        failure.kind = Failure::Kind::Local;
        failure.text = request.operation + " failed: cannot read the backup file: " + std::strerror(readState.error);
        return Result<Answer>::fail(std::move(failure));
    }
    if (code == CURLE_ABORTED_BY_CALLBACK && stop.stop_requested()) {
        failure.kind = Failure::Kind::Stopped;
        failure.text = request.operation + " was stopped";
        return Result<Answer>::fail(std::move(failure));
    }
    if (code == CURLE_WRITE_ERROR && collected.tooLarge) {
        failure.kind = Failure::Kind::Answer;
        failure.text = request.operation + " failed: the service's answer is larger than "
            + std::to_string(kMaxAnswerBytes / (1024 * 1024)) + " MiB";
        return Result<Answer>::fail(std::move(failure));
    }
    if (code != CURLE_OK) {
        failure.kind = IsRetryableNetworkError(code) ? Failure::Kind::Network : Failure::Kind::Answer;
        if (code == CURLE_PEER_FAILED_VERIFICATION || code == CURLE_SSL_CONNECT_ERROR
            || code == CURLE_SSL_CACERT_BADFILE || code == CURLE_SSL_CERTPROBLEM)
            failure.kind = Failure::Kind::Answer;
        failure.text = redact(request.operation + " failed: " + (*errorBuffer ? errorBuffer : curl_easy_strerror(code)));
        return Result<Answer>::fail(std::move(failure));
    }
    Answer answer{status, std::move(collected.body), std::move(collected.etag), collected.contentLength};
    if (status < 200 || status > 299)
        return Result<Answer>::fail(serviceFailure(request.operation, status, answer.body));
    return Result<Answer>::success(std::move(answer));
}

Result<S3Client::Answer> S3Client::send(const Request& request, std::stop_token stop)
{
    const int attempts = request.attempts > 0 ? request.attempts : m_options.attempts;
    std::mt19937 random(std::random_device{}());
    std::uniform_real_distribution<double> spread(0.75, 1.25);
    std::chrono::milliseconds delay = m_options.firstRetryDelay;
    for (int n = 1;; ++n) {
        Result<Answer> result = attempt(request, stop);
        if (result.ok() || !IsRetryable(result.failure))
            return result;
        if (n >= attempts) {
            if (attempts > 1)
                result.failure.text += " (" + std::to_string(attempts) + " attempts)";
            return result;
        }
        const auto pause = std::chrono::milliseconds(static_cast<long long>(delay.count() * spread(random)));
        if (!m_options.pause(pause, stop)) {
            result.failure.kind = Failure::Kind::Stopped;
            result.failure.text = request.operation + " was stopped";
            return result;
        }
        delay *= 2;
    }
}

Result<Done> S3Client::putObject(const std::string& key, const FileBody& body, std::stop_token stop)
{
    Request request;
    request.operation = "storing '" + key + "'";
    request.method = "PUT";
    request.key = key;
    request.file = &body;
    request.contentType = "application/octet-stream";
    const auto answer = send(request, stop);
    if (!answer.ok())
        return Result<Done>::fail(answer.failure);
    return Result<Done>::success({});
}

Result<std::string> S3Client::createMultipartUpload(const std::string& key, std::stop_token stop)
{
    Request request;
    request.operation = "starting the upload of '" + key + "'";
    request.method = "POST";
    request.key = key;
    request.query = {{"uploads", ""}};
    request.contentType = "application/octet-stream";
    const auto answer = send(request, stop);
    if (!answer.ok())
        return Result<std::string>::fail(answer.failure);
    if (auto id = ReadUploadId(answer.value->body))
        return Result<std::string>::success(std::move(*id));
    return Result<std::string>::fail({Failure::Kind::Answer, answer.value->status, {},
                                      request.operation + " failed: the answer holds no upload id: "
                                          + AnswerExcerpt(answer.value->body)});
}

Result<std::string> S3Client::uploadPart(const std::string& key, const std::string& uploadId, int partNumber,
                                         const FileBody& body, std::stop_token stop)
{
    Request request;
    request.operation = "storing part " + std::to_string(partNumber) + " of '" + key + "'";
    request.method = "PUT";
    request.key = key;
    request.query = {{"partNumber", std::to_string(partNumber)}, {"uploadId", uploadId}};
    request.file = &body;
    const auto answer = send(request, stop);
    if (!answer.ok())
        return Result<std::string>::fail(answer.failure);
    if (answer.value->etag.empty())
        return Result<std::string>::fail({Failure::Kind::Answer, answer.value->status, {},
                                          request.operation + " failed: the service acknowledged it without an ETag"});
    return Result<std::string>::success(answer.value->etag);
}

Result<Done> S3Client::completeMultipartUpload(const std::string& key, const std::string& uploadId,
                                               const std::vector<std::string>& etags, std::stop_token stop)
{
    Request request;
    request.operation = "completing the upload of '" + key + "'";
    request.method = "POST";
    request.key = key;
    request.query = {{"uploadId", uploadId}};
    request.memoryBody = CompletionBody(etags);
    request.contentType = "application/xml";
    const auto answer = send(request, stop);
    if (!answer.ok())
        return Result<Done>::fail(answer.failure);
    // The service may report a failure with status 200, in the body.
    if (!IsCompletion(answer.value->body)) {
        Failure failure = serviceFailure(request.operation, answer.value->status, answer.value->body);
        if (!ReadError(answer.value->body)) {
            failure.kind = Failure::Kind::Answer;
            failure.text = request.operation + " failed: the service's answer is no completion: "
                + AnswerExcerpt(answer.value->body);
        }
        return Result<Done>::fail(std::move(failure));
    }
    return Result<Done>::success({});
}

Result<Done> S3Client::abortMultipartUpload(const std::string& key, const std::string& uploadId,
                                            std::stop_token stop)
{
    Request request;
    request.operation = "aborting the upload of '" + key + "'";
    request.method = "DELETE";
    request.key = key;
    request.query = {{"uploadId", uploadId}};
    const auto answer = send(request, stop);
    if (!answer.ok())
        return Result<Done>::fail(answer.failure);
    return Result<Done>::success({});
}

Result<std::uint64_t> S3Client::objectSize(const std::string& key, std::stop_token stop)
{
    Request request;
    request.operation = "reading the size of '" + key + "'";
    request.method = "HEAD";
    request.key = key;
    const auto answer = send(request, stop);
    if (!answer.ok())
        return Result<std::uint64_t>::fail(answer.failure);
    if (!answer.value->contentLength)
        return Result<std::uint64_t>::fail({Failure::Kind::Answer, answer.value->status, {},
                                            request.operation + " failed: the answer has no Content-Length"});
    return Result<std::uint64_t>::success(*answer.value->contentLength);
}

Result<std::vector<ListedObject>> S3Client::listObjects(const std::string& prefix, std::stop_token stop, int maxKeys)
{
    std::vector<ListedObject> objects;
    std::string token;
    for (;;) {
        Request request;
        request.operation = "listing '" + prefix + "'";
        request.method = "GET";
        request.query = {{"list-type", "2"}, {"prefix", prefix}};
        if (!token.empty())
            request.query.emplace_back("continuation-token", token);
        if (maxKeys > 0)
            request.query.emplace_back("max-keys", std::to_string(maxKeys));
        const auto answer = send(request, stop);
        if (!answer.ok())
            return Result<std::vector<ListedObject>>::fail(answer.failure);
        auto page = ReadObjectPage(answer.value->body);
        if (!page || (page->truncated && page->nextContinuationToken.empty()))
            return Result<std::vector<ListedObject>>::fail(
                {Failure::Kind::Answer, answer.value->status, {},
                 request.operation + " failed: the answer is no listing: " + AnswerExcerpt(answer.value->body)});
        objects.insert(objects.end(), page->objects.begin(), page->objects.end());
        if (!page->truncated || maxKeys > 0)
            return Result<std::vector<ListedObject>>::success(std::move(objects));
        token = page->nextContinuationToken;
    }
}

Result<std::vector<ListedUpload>> S3Client::listMultipartUploads(const std::string& prefix, std::stop_token stop)
{
    std::vector<ListedUpload> uploads;
    std::string keyMarker;
    std::string idMarker;
    for (;;) {
        Request request;
        request.operation = "listing the unfinished uploads under '" + prefix + "'";
        request.method = "GET";
        request.query = {{"uploads", ""}, {"prefix", prefix}};
        if (!keyMarker.empty())
            request.query.emplace_back("key-marker", keyMarker);
        if (!idMarker.empty())
            request.query.emplace_back("upload-id-marker", idMarker);
        const auto answer = send(request, stop);
        if (!answer.ok())
            return Result<std::vector<ListedUpload>>::fail(answer.failure);
        auto page = ReadUploadPage(answer.value->body);
        if (!page || (page->truncated && page->nextKeyMarker.empty() && page->nextUploadIdMarker.empty()))
            return Result<std::vector<ListedUpload>>::fail(
                {Failure::Kind::Answer, answer.value->status, {},
                 request.operation + " failed: the answer is no listing: " + AnswerExcerpt(answer.value->body)});
        uploads.insert(uploads.end(), page->uploads.begin(), page->uploads.end());
        if (!page->truncated)
            return Result<std::vector<ListedUpload>>::success(std::move(uploads));
        keyMarker = page->nextKeyMarker;
        idMarker = page->nextUploadIdMarker;
    }
}

Result<Done> S3Client::deleteObject(const std::string& key, std::stop_token stop)
{
    Request request;
    request.operation = "deleting '" + key + "'";
    request.method = "DELETE";
    request.key = key;
    const auto answer = send(request, stop);
    if (!answer.ok())
        return Result<Done>::fail(answer.failure);
    return Result<Done>::success({});
}

} // namespace offsite
