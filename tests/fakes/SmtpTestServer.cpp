#include "fakes/SmtpTestServer.h"

#include "fakes/TestCertificates.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace fakes {

namespace {

constexpr const char* kPython = "/usr/bin/python3";

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string makeTempFolder(const char* prefix)
{
    std::string pattern = (fs::temp_directory_path() / (std::string(prefix) + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        return {};
    return pattern;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The throw-away certificates of this test process, made on first use and
// removed when the process ends.
const TestCertificates& certificates()
{
    static TestCertificates made;
    static const bool created = made.create();
    static_cast<void>(created);
    return made;
}

std::string serverScript()
{
    if (const char* path = std::getenv("CORVELLA_SMTP_SERVER_SCRIPT"); path && *path)
        return path;
    return (fs::path(CORVELLA_SOURCE_DIR) / "tools" / "smtpserver" / "smtp_server.py").string();
}

ReceivedMail readDescription(const fs::path& jsonFile)
{
    ReceivedMail mail;
    mail.rawPath = fs::path(jsonFile).replace_extension(".eml").string();
    const nlohmann::json parsed = nlohmann::json::parse(readFile(jsonFile), nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        mail.parseError = "cannot read " + jsonFile.string();
        return mail;
    }
    const auto text = [&](const nlohmann::json& object, const char* key) {
        const auto found = object.find(key);
        return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
    };
    try {
        mail.envelopeFrom = text(parsed, "envelope_from");
        mail.envelopeTo = parsed.value("envelope_to", std::vector<std::string>{});
        mail.authenticatedAs = text(parsed, "authenticated_as");
        mail.dataBytes = parsed.value("data_bytes", std::uint64_t{0});
        mail.headers = parsed.value("headers", std::vector<std::pair<std::string, std::string>>{});
        mail.subject = text(parsed, "subject");
        mail.to = text(parsed, "to");
        mail.fromName = text(parsed, "from_name");
        mail.fromAddress = text(parsed, "from_address");
        mail.contentType = text(parsed, "content_type");
        if (const auto part = parsed.find("text"); part != parsed.end() && part->is_object()) {
            mail.textType = text(*part, "content_type");
            mail.textCharset = text(*part, "charset");
            mail.textTransferEncoding = text(*part, "transfer_encoding");
            mail.body = text(*part, "body");
        }
        for (const nlohmann::json& item : parsed.value("attachments", nlohmann::json::array())) {
            ReceivedAttachment attachment;
            attachment.fileName = text(item, "file_name");
            attachment.contentType = text(item, "content_type");
            attachment.transferEncoding = text(item, "transfer_encoding");
            attachment.size = item.value("size", std::uint64_t{0});
            attachment.sha256 = text(item, "sha256");
            attachment.path = text(item, "path");
            mail.attachments.push_back(std::move(attachment));
        }
        mail.defects = parsed.value("defects", std::vector<std::string>{});
        mail.parseError = text(parsed, "parse_error");
    } catch (const nlohmann::json::exception& error) {
        mail.parseError = jsonFile.string() + ": " + error.what();
    }
    return mail;
}

} // namespace

std::string ReceivedAttachment::bytes() const
{
    return readFile(path);
}

std::string ReceivedMail::header(const std::string& name) const
{
    const std::string wanted = lower(name);
    for (const auto& [key, value] : headers) {
        if (lower(key) == wanted)
            return value;
    }
    return {};
}

int ReceivedMail::headerCount(const std::string& name) const
{
    const std::string wanted = lower(name);
    return static_cast<int>(std::count_if(headers.begin(), headers.end(),
                                          [&](const auto& h) { return lower(h.first) == wanted; }));
}

SmtpTestServer::SmtpTestServer(Options options)
    : m_options(std::move(options))
{
}

SmtpTestServer::~SmtpTestServer()
{
    stop();
    std::error_code ignored;
    if (!m_folder.empty())
        fs::remove_all(m_folder, ignored);
}

std::string SmtpTestServer::caFile()
{
    return certificates().caFile();
}

std::string SmtpTestServer::otherCaFile()
{
    return certificates().otherCaFile();
}

bool SmtpTestServer::start()
{
    if (isRunning())
        return true;
    if (m_folder.empty())
        m_folder = makeTempFolder("corvella-smtp-");
    if (m_folder.empty()) {
        m_error = "cannot create a folder for the server";
        return false;
    }
    std::vector<std::string> args = {kPython, serverScript(), "--port", "0",
                                      "--folder", m_folder + "/mail"};
    switch (m_options.mode) {
    case Mode::Plain:
        args.insert(args.end(), {"--mode", "plain"});
        break;
    case Mode::StartTls:
        args.insert(args.end(), {"--mode", "starttls"});
        break;
    case Mode::ImplicitTls:
        args.insert(args.end(), {"--mode", "tls"});
        break;
    }
    if (m_options.mode != Mode::Plain) {
        const TestCertificates& made = certificates();
        if (made.caFile().empty()) {
            m_error = made.error();
            return false;
        }
        args.insert(args.end(), {"--cert", made.serverCertificateFile(), "--key", made.serverKeyFile()});
    }
    if (!m_options.user.empty()) {
        // The credentials go through a private file, not the command line.
        const std::string authFile = m_folder + "/auth";
        const int fd = ::open(authFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const std::string pair = m_options.user + ":" + m_options.password;
        const bool written = fd >= 0 && ::write(fd, pair.data(), pair.size()) == static_cast<ssize_t>(pair.size());
        if (fd >= 0)
            ::close(fd);
        if (!written) {
            m_error = "cannot write the server's credentials file";
            return false;
        }
        args.insert(args.end(), {"--auth-file", authFile});
    }
    if (m_options.discard)
        args.emplace_back("--discard");

    if (!m_process.start(std::move(args), m_folder + "/stderr.txt", std::chrono::seconds(30))) {
        m_error = "the SMTP test server did not start: " + m_process.error();
        return false;
    }
    m_port = std::atoi(m_process.listening().c_str());
    return true;
}

void SmtpTestServer::stop()
{
    m_process.stop(std::chrono::seconds(10));
}

std::vector<ReceivedMail> SmtpTestServer::messages() const
{
    std::vector<fs::path> files;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(m_folder + "/mail", ignored)) {
        if (entry.path().extension() == ".json")
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<ReceivedMail> mails;
    for (const fs::path& file : files)
        mails.push_back(readDescription(file));
    return mails;
}

} // namespace fakes
