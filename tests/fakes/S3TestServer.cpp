#include "fakes/S3TestServer.h"

#include "fakes/TestCertificates.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace fakes {

namespace {

constexpr const char* kObjectSuffix = "._S3rver_object";
constexpr const char* kUploadsFolder = "._S3rver_uploads";

std::string ReadWhole(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

struct S3TestServer::Certificates {
    TestCertificates made;
};

std::string FileSha256(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr);
    std::vector<char> buffer(1 << 20);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        EVP_DigestUpdate(context.get(), buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned size = 0;
    EVP_DigestFinal_ex(context.get(), digest, &size);
    std::string hex;
    char two[3];
    for (unsigned i = 0; i < size; ++i) {
        std::snprintf(two, sizeof two, "%02x", digest[i]);
        hex += two;
    }
    return hex;
}

S3TestServer::S3TestServer()
    : S3TestServer(Options{})
{
}

S3TestServer::S3TestServer(Options options)
    : m_options(std::move(options))
{
}

S3TestServer::~S3TestServer()
{
    stop();
    std::error_code ignored;
    if (!m_folder.empty())
        fs::remove_all(m_folder, ignored);
    delete m_certificates;
}

std::string S3TestServer::scriptPath()
{
    if (const char* path = std::getenv("CORVELLA_S3_SERVER"); path && *path)
        return path;
    return std::string(CORVELLA_SOURCE_DIR) + "/tools/s3server/s3_server.js";
}

std::string S3TestServer::endpoint() const
{
    return std::string(m_options.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port);
}

std::string S3TestServer::caFile() const
{
    return m_certificates ? m_certificates->made.caFile() : std::string();
}

bool S3TestServer::start()
{
    if (isRunning())
        return true;
    if (!fs::exists(fs::path(scriptPath()).parent_path() / "node_modules" / "s3rver")) {
        m_error = "s3rver is not installed in " + fs::path(scriptPath()).parent_path().string()
            + " (scripts/setup installs it)";
        return false;
    }
    if (m_folder.empty()) {
        std::string pattern = (fs::temp_directory_path() / "corvella-s3-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            m_error = std::string("mkdtemp: ") + std::strerror(errno);
            return false;
        }
        m_folder = pattern;
    }
    // The secrets go through a private file, never the command line.
    const std::string credentials = m_folder + "/credentials";
    {
        std::ofstream out(credentials, std::ios::trunc);
        for (const auto& [key, secret] : m_options.credentials)
            out << key << ':' << secret << '\n';
    }
    ::chmod(credentials.c_str(), 0600);

    std::vector<std::string> args = {"node", scriptPath(), "--port", "0", "--bucket", m_options.bucket,
                                     "--credentials", credentials, "--region", m_options.region,
                                     "--journal", m_folder + "/journal.jsonl", "--faults", m_options.faults,
                                     "--min-part-size", std::to_string(m_options.minPartSize)};
    std::string runAs = m_options.runAs;
    if (runAs.empty() && ::geteuid() == 0)
        runAs = "nobody";
    if (!runAs.empty())
        args.insert(args.end(), {"--run-as", runAs});
    if (m_options.tls) {
        if (!m_certificates) {
            m_certificates = new Certificates;
            if (!m_certificates->made.create()) {
                m_error = m_certificates->made.error();
                return false;
            }
        }
        args.insert(args.end(), {"--tls-cert", m_certificates->made.serverCertificateFile(), "--tls-key",
                                 m_certificates->made.serverKeyFile()});
    }

    if (!m_process.start(std::move(args), m_folder + "/stderr.txt", std::chrono::seconds(30))) {
        m_error = "the S3 test server did not start: " + m_process.error();
        stop();
        return false;
    }
    std::istringstream line(m_process.listening());
    line >> m_port >> m_dataFolder;
    return true;
}

void S3TestServer::stop()
{
    m_process.stop();
    if (!m_dataFolder.empty()) {
        std::error_code ignored;
        fs::remove_all(m_dataFolder, ignored);
        m_dataFolder.clear();
    }
}

std::vector<S3Request> S3TestServer::requests() const
{
    std::vector<S3Request> requests;
    std::ifstream in(m_folder + "/journal.jsonl");
    std::string line;
    while (std::getline(in, line)) {
        const nlohmann::json entry = nlohmann::json::parse(line, nullptr, false);
        if (!entry.is_object())
            continue;
        const auto text = [&](const char* name) {
            const auto found = entry.find(name);
            return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
        };
        S3Request request;
        request.method = text("method");
        request.url = text("url");
        request.key = text("key");
        request.partNumber = text("partNumber");
        request.uploadId = text("uploadId");
        request.status = entry.value("status", 0);
        request.code = text("code");
        request.signature = text("signature");
        request.bytes = entry.value("bytes", std::uint64_t{0});
        request.dropped = entry.value("dropped", false);
        request.concurrentUploads = entry.value("concurrentUploads", 0);
        requests.push_back(std::move(request));
    }
    return requests;
}

std::vector<S3Object> S3TestServer::objects() const
{
    std::vector<S3Object> objects;
    const fs::path bucket = fs::path(m_dataFolder) / "store" / m_options.bucket;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(bucket, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (it->is_directory() && name == kUploadsFolder) {
            it.disable_recursion_pending();
            continue;
        }
        const std::string suffix = kObjectSuffix;
        if (!it->is_regular_file() || name.size() <= suffix.size()
            || name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string relative = fs::relative(it->path(), bucket).string();
        S3Object object;
        object.key = relative.substr(0, relative.size() - suffix.size());
        object.size = it->file_size();
        object.path = it->path().string();
        objects.push_back(std::move(object));
    }
    std::sort(objects.begin(), objects.end(), [](const S3Object& a, const S3Object& b) { return a.key < b.key; });
    return objects;
}

std::vector<std::string> S3TestServer::unfinishedUploads() const
{
    std::vector<std::string> keys;
    std::error_code ec;
    const fs::path uploads = fs::path(m_dataFolder) / "store" / m_options.bucket / kUploadsFolder;
    for (const auto& entry : fs::directory_iterator(uploads, ec)) {
        if (entry.is_directory())
            keys.push_back(ReadWhole(entry.path() / "key"));
    }
    std::sort(keys.begin(), keys.end());
    return keys;
}

} // namespace fakes
