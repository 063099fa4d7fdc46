#include "fakes/SmtpTestServer.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <poll.h>
#include <sstream>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
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

void waitForExit(pid_t pid)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// Runs a program with its output going to `outputFile`; true on exit code 0.
bool runProgram(const std::vector<std::string>& args, const std::string& outputFile)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0)
        return false;
    if (pid == 0) {
        const int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) {
            ::dup2(out, STDOUT_FILENO);
            ::dup2(out, STDERR_FILENO);
        }
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The throw-away certificates of this test process, made on first use and
// removed when the process ends.
struct TestCertificates {
    std::string folder;
    std::string caFile;
    std::string otherCaFile;
    std::string serverCert;
    std::string serverKey;
    std::string error;

    TestCertificates()
    {
        folder = makeTempFolder("corvella-test-ca-");
        if (folder.empty()) {
            error = "cannot create a folder for the test certificates";
            return;
        }
        const std::string log = folder + "/openssl.log";
        const auto at = [&](const char* name) { return folder + "/" + name; };
        const std::string ext = at("server.ext");
        std::ofstream(ext) << "basicConstraints=CA:FALSE\n"
                              "keyUsage=critical,digitalSignature,keyEncipherment\n"
                              "extendedKeyUsage=serverAuth\n"
                              "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
        const auto makeCa = [&](const std::string& cert, const std::string& key, const char* name) {
            return runProgram({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                               "ec_paramgen_curve:prime256v1", "-nodes", "-days", "3",
                               "-subj", std::string("/CN=") + name, "-keyout", key, "-out", cert,
                               "-addext", "basicConstraints=critical,CA:TRUE",
                               "-addext", "keyUsage=critical,keyCertSign,cRLSign"},
                              log);
        };
        const bool made =
            makeCa(at("ca.pem"), at("ca.key"), "Corvella Test CA")
            && makeCa(at("other-ca.pem"), at("other-ca.key"), "Corvella Other Test CA")
            && runProgram({"openssl", "req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                           "-nodes", "-subj", "/CN=localhost", "-keyout", at("server.key"),
                           "-out", at("server.csr")},
                          log)
            && runProgram({"openssl", "x509", "-req", "-in", at("server.csr"), "-CA", at("ca.pem"),
                           "-CAkey", at("ca.key"), "-CAcreateserial", "-days", "3",
                           "-extfile", ext, "-out", at("server.pem")},
                          log);
        if (!made) {
            error = "the openssl command line failed: " + readFile(log);
            return;
        }
        caFile = at("ca.pem");
        otherCaFile = at("other-ca.pem");
        serverCert = at("server.pem");
        serverKey = at("server.key");
    }

    ~TestCertificates()
    {
        std::error_code ignored;
        if (!folder.empty())
            fs::remove_all(folder, ignored);
    }
};

TestCertificates& certificates()
{
    static TestCertificates made;
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
    return certificates().caFile;
}

std::string SmtpTestServer::otherCaFile()
{
    return certificates().otherCaFile;
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
        if (made.caFile.empty()) {
            m_error = made.error;
            return false;
        }
        args.insert(args.end(), {"--cert", made.serverCert, "--key", made.serverKey});
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

    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0) {
        m_error = std::string("pipe: ") + std::strerror(errno);
        return false;
    }
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        m_error = std::string("fork: ") + std::strerror(errno);
        ::close(pipeEnds[0]);
        ::close(pipeEnds[1]);
        return false;
    }
    if (pid == 0) {
        // The server must not outlive a test process that dies.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::_exit(1);
        ::dup2(pipeEnds[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipeEnds[1]);
    m_pid = pid;

    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (output.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd wait{pipeEnds[0], POLLIN, 0};
        if (::poll(&wait, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[256];
        const ssize_t got = ::read(pipeEnds[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        output.append(buffer, static_cast<std::size_t>(got));
    }
    ::close(pipeEnds[0]);
    if (output.rfind("LISTENING ", 0) != 0) {
        m_error = "the SMTP test server did not start (its output: '" + output + "')";
        stop();
        return false;
    }
    m_port = std::atoi(output.c_str() + std::strlen("LISTENING "));
    return true;
}

void SmtpTestServer::stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    waitForExit(m_pid);
    m_pid = -1;
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
