#include "fakes/SmtpTestServer.h"

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

std::string trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
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
    return (fs::path(__FILE__).parent_path().parent_path().parent_path() / "tools" / "smtpserver"
            / "smtp_server.py")
        .string();
}

// --- MIME -------------------------------------------------------------------

struct Part {
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    std::string header(const std::string& name) const
    {
        const std::string wanted = lower(name);
        for (const auto& [key, value] : headers) {
            if (lower(key) == wanted)
                return value;
        }
        return {};
    }
};

Part splitPart(const std::string& text)
{
    Part part;
    std::size_t headerEnd = text.find("\r\n\r\n");
    std::size_t bodyStart = headerEnd + 4;
    if (headerEnd == std::string::npos) {
        headerEnd = text.size();
        bodyStart = text.size();
    }
    std::istringstream lines(text.substr(0, headerEnd));
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!line.empty() && (line[0] == ' ' || line[0] == '\t') && !part.headers.empty()) {
            part.headers.back().second += line;
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        part.headers.emplace_back(line.substr(0, colon), trim(line.substr(colon + 1)));
    }
    part.body = text.substr(std::min(bodyStart, text.size()));
    return part;
}

// A parameter of a structured header such as Content-Type, unquoted.
std::string parameter(const std::string& value, const std::string& name)
{
    const std::string lowered = lower(value);
    const std::string key = lower(name) + "=";
    std::size_t at = 0;
    while ((at = lowered.find(key, at)) != std::string::npos) {
        if (at == 0 || lowered[at - 1] == ';' || lowered[at - 1] == ' ' || lowered[at - 1] == '\t')
            break;
        at += key.size();
    }
    if (at == std::string::npos)
        return {};
    std::size_t pos = at + key.size();
    std::string result;
    if (pos < value.size() && value[pos] == '"') {
        for (++pos; pos < value.size() && value[pos] != '"'; ++pos) {
            if (value[pos] == '\\' && pos + 1 < value.size())
                ++pos;
            result += value[pos];
        }
        return result;
    }
    const std::size_t end = value.find(';', pos);
    return trim(value.substr(pos, end == std::string::npos ? std::string::npos : end - pos));
}

std::string decodeBase64(const std::string& text)
{
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (unsigned char c : text) {
        int value;
        if (c >= 'A' && c <= 'Z')
            value = c - 'A';
        else if (c >= 'a' && c <= 'z')
            value = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            value = c - '0' + 52;
        else if (c == '+')
            value = 62;
        else if (c == '/')
            value = 63;
        else
            continue;
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xff);
        }
    }
    return out;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

std::string decodeQuotedPrintable(const std::string& text, bool underscoreIsSpace)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '=' && text.compare(i + 1, 2, "\r\n") == 0) {
            i += 2;
        } else if (c == '=' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else if (c == '_' && underscoreIsSpace) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string decodeEncodedWords(const std::string& value)
{
    std::string out;
    std::size_t pos = 0;
    bool lastWasEncoded = false;
    while (pos < value.size()) {
        const std::size_t start = value.find("=?", pos);
        std::size_t q1 = start == std::string::npos ? start : value.find('?', start + 2);
        std::size_t q2 = q1 == std::string::npos ? q1 : value.find('?', q1 + 1);
        std::size_t end = q2 == std::string::npos ? q2 : value.find("?=", q2 + 1);
        if (end == std::string::npos) {
            out += value.substr(pos);
            break;
        }
        const std::string between = value.substr(pos, start - pos);
        if (!(lastWasEncoded && trim(between).empty()))
            out += between;
        const char encoding = static_cast<char>(std::toupper(static_cast<unsigned char>(value[q1 + 1])));
        const std::string payload = value.substr(q2 + 1, end - q2 - 1);
        out += encoding == 'B' ? decodeBase64(payload) : decodeQuotedPrintable(payload, true);
        lastWasEncoded = true;
        pos = end + 2;
    }
    return out;
}

std::string decodeBody(const Part& part)
{
    const std::string encoding = lower(trim(part.header("Content-Transfer-Encoding")));
    if (encoding == "base64")
        return decodeBase64(part.body);
    if (encoding == "quoted-printable")
        return decodeQuotedPrintable(part.body, false);
    return part.body;
}

void collectParts(const Part& part, ReceivedMail& mail)
{
    const std::string type = part.header("Content-Type");
    if (lower(type).rfind("multipart/", 0) == 0) {
        const std::string delimiter = "--" + parameter(type, "boundary");
        std::size_t pos = part.body.find(delimiter);
        while (pos != std::string::npos) {
            std::size_t start = part.body.find("\r\n", pos);
            if (start == std::string::npos || part.body.compare(pos + delimiter.size(), 2, "--") == 0)
                break;
            start += 2;
            std::size_t next = part.body.find("\r\n" + delimiter, start);
            if (next == std::string::npos)
                break;
            collectParts(splitPart(part.body.substr(start, next - start)), mail);
            pos = next + 2;
        }
        return;
    }
    std::string fileName = parameter(part.header("Content-Disposition"), "filename");
    if (fileName.empty())
        fileName = parameter(type, "name");
    if (!fileName.empty()) {
        if (mail.attachmentName.empty()) {
            mail.attachmentName = decodeEncodedWords(fileName);
            mail.attachmentType = type;
            mail.attachment = decodeBody(part);
        }
    } else if (mail.textType.empty()) {
        mail.textType = type;
        mail.body = decodeBody(part);
    }
}

} // namespace

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

ReceivedMail ParseMail(const std::string& raw)
{
    ReceivedMail mail;
    mail.raw = raw;
    const Part top = splitPart(raw);
    mail.headers = top.headers;
    for (const auto& [key, value] : top.headers) {
        const std::string name = lower(key);
        if (name == "x-envelope-from")
            mail.envelopeFrom = value;
        else if (name == "x-envelope-to")
            mail.envelopeTo.push_back(value);
        else if (name == "x-authenticated-as")
            mail.authenticatedAs = value;
        else if (name == "x-data-bytes")
            mail.dataBytes = std::strtoull(value.c_str(), nullptr, 10);
    }
    mail.subject = decodeEncodedWords(mail.header("Subject"));
    mail.to = decodeEncodedWords(mail.header("To"));
    const std::string from = mail.header("From");
    const auto open = from.rfind('<');
    if (open == std::string::npos) {
        mail.fromAddress = trim(from);
    } else {
        mail.fromAddress = from.substr(open + 1, from.find('>', open) - open - 1);
        std::string name = decodeEncodedWords(trim(from.substr(0, open)));
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') {
            std::string unquoted;
            for (std::size_t i = 1; i + 1 < name.size(); ++i) {
                if (name[i] == '\\' && i + 2 < name.size())
                    ++i;
                unquoted += name[i];
            }
            name = unquoted;
        }
        mail.fromName = name;
    }
    collectParts(top, mail);
    return mail;
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
        if (entry.path().extension() == ".eml")
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    std::vector<ReceivedMail> mails;
    for (const fs::path& file : files)
        mails.push_back(ParseMail(readFile(file)));
    return mails;
}

} // namespace fakes
