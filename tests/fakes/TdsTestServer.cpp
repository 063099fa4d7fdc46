#include "fakes/TdsTestServer.h"

#include "db/Connection.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>

namespace fakes {

namespace {

// Reads one JSON string starting at the opening quote; advances pos past it.
// The journal: one flat JSON object of string values per line. A line the
// server is still writing does not parse yet and is left for the next read.
std::vector<std::map<std::string, std::string>> ReadJournal(const std::string& path)
{
    std::vector<std::map<std::string, std::string>> entries;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        const nlohmann::json object = nlohmann::json::parse(line, nullptr, false);
        if (!object.is_object())
            continue;
        std::map<std::string, std::string> fields;
        for (const auto& [key, value] : object.items()) {
            if (value.is_string())
                fields[key] = value.get<std::string>();
        }
        entries.push_back(std::move(fields));
    }
    return entries;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TdsTestServer::TdsTestServer() : TdsTestServer(Options{}) {}

TdsTestServer::TdsTestServer(Options options) : m_options(std::move(options)) {}

TdsTestServer::~TdsTestServer()
{
    stop();
}

std::string TdsTestServer::scriptPath()
{
    if (const char* path = std::getenv("CORVELLA_TDS_SERVER"); path && *path)
        return path;
    return (std::filesystem::path(CORVELLA_SOURCE_DIR) / "tools" / "tdsserver" / "tds_server.py").string();
}

bool TdsTestServer::start()
{
    if (m_pid > 0)
        return true;
    m_error.clear();

    char folder[] = "/tmp/corvella-tds-XXXXXX";
    if (!mkdtemp(folder)) {
        m_error = std::string("Cannot create a folder for the journal: ") + std::strerror(errno);
        return false;
    }
    m_folder = folder;
    m_journal = m_folder + "/journal.jsonl";
    m_errors = m_folder + "/server.err";

    std::vector<std::string> args{"/usr/bin/python3", scriptPath(), "--port", "0", "--journal", m_journal,
                                  "--backup-size", std::to_string(m_options.backupSize),
                                  "--backup-delay-ms", std::to_string(m_options.backupDelayMs)};
    for (const auto& [user, password] : m_options.logins) {
        args.push_back("--login");
        args.push_back(user + ":" + password);
    }
    for (const auto& database : m_options.databases) {
        args.push_back("--database");
        args.push_back(database);
    }
    if (m_options.anyDatabase)
        args.push_back("--any-database");
    for (const auto& database : m_options.damagedBackupsOf) {
        args.push_back("--damage-backups-of");
        args.push_back(database);
    }
    if (m_options.denyServerState)
        args.push_back("--deny-server-state");
    // Restore tests.
    if (!m_options.dataPath.empty()) {
        args.push_back("--data-path");
        args.push_back(m_options.dataPath);
    }
    if (!m_options.logPath.empty()) {
        args.push_back("--log-path");
        args.push_back(m_options.logPath);
    }
    if (m_options.dataFiles != 1) {
        args.push_back("--data-files");
        args.push_back(std::to_string(m_options.dataFiles));
    }
    if (m_options.restoreDelayMs > 0) {
        args.push_back("--restore-delay-ms");
        args.push_back(std::to_string(m_options.restoreDelayMs));
    }
    for (const auto& database : m_options.consistencyErrorsIn) {
        args.push_back("--consistency-errors-in");
        args.push_back(database);
    }
    for (const auto& [database, percent] : m_options.stalledBackupsOf) {
        args.push_back("--stall-backups-of");
        args.push_back(database + ":" + std::to_string(percent));
    }
    for (const auto& [server, real] : m_options.pathMap) {
        args.push_back("--path-map");
        args.push_back(server + "=" + real);
    }
    if (!m_options.runAs.empty()) {
        args.push_back("--run-as");
        args.push_back(m_options.runAs);
    }
    if (m_options.umask >= 0) {
        char mask[8];
        std::snprintf(mask, sizeof mask, "%03o", m_options.umask & 0777);
        args.push_back("--umask");
        args.push_back(mask);
    }
    if (!m_options.tlsCertificateFile.empty() || !m_options.tlsKeyFile.empty()) {
        args.push_back("--tls-cert");
        args.push_back(m_options.tlsCertificateFile);
        args.push_back("--tls-key");
        args.push_back(m_options.tlsKeyFile);
    }
    if (m_options.forceEncryption)
        args.push_back("--force-encryption");
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        m_error = std::string("Cannot create a pipe: ") + std::strerror(errno);
        return false;
    }
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        m_error = std::string("Cannot start the server: ") + std::strerror(errno);
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            _exit(127);
        dup2(fds[1], STDOUT_FILENO);
        int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0)
            dup2(null, STDIN_FILENO);
        int errors = open(m_errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (errors >= 0)
            dup2(errors, STDERR_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    m_pid = pid;
    m_stdout = fds[0];

    std::string line;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (line.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            m_error = "The test server did not report its port within 15 s";
            break;
        }
        pollfd p{m_stdout, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            continue;
        char buf[256];
        ssize_t n = read(m_stdout, buf, sizeof buf);
        if (n <= 0) {
            m_error = "The test server ended before it listened";
            break;
        }
        line.append(buf, static_cast<size_t>(n));
    }
    if (m_error.empty()) {
        if (line.rfind("LISTENING ", 0) == 0)
            m_port = std::atoi(line.c_str() + 10);
        if (m_port <= 0)
            m_error = "Unexpected first line from the test server: " + line;
    }
    if (!m_error.empty()) {
        // The server explains a refused start (a bad option, a key it cannot
        // read) on its standard error.
        if (std::string said = ReadFile(m_errors); !said.empty())
            m_error += ": " + said.substr(0, said.find_last_not_of('\n') + 1);
        std::string error = m_error;
        stop();
        m_error = error;
        return false;
    }
    return true;
}

bool TdsTestServer::freeze()
{
    if (m_pid <= 0 || kill(m_pid, SIGSTOP) != 0)
        return false;
    int status = 0;
    pid_t got;
    while ((got = waitpid(m_pid, &status, WUNTRACED)) < 0 && errno == EINTR) {
    }
    return got == m_pid && WIFSTOPPED(status);
}

void TdsTestServer::thaw()
{
    if (m_pid > 0)
        kill(m_pid, SIGCONT);
}

void TdsTestServer::stop()
{
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        kill(m_pid, SIGCONT);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        int status = 0;
        pid_t done = 0;
        while ((done = waitpid(m_pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (done == 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
        }
        m_pid = -1;
    }
    if (m_stdout >= 0) {
        close(m_stdout);
        m_stdout = -1;
    }
    m_port = 0;
    if (!m_folder.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_folder, ec);
        m_folder.clear();
    }
}

std::string TdsTestServer::dataSource() const
{
    return "127.0.0.1," + std::to_string(m_port);
}

std::string TdsTestServer::connectionString(const std::string& database, const std::string& user,
                                            const std::string& password) const
{
    return db::BuildConnectionString(dataSource(), database, user, password);
}

std::string TdsTestServer::connectionString() const
{
    std::string user, password, database;
    if (!m_options.logins.empty())
        std::tie(user, password) = m_options.logins.front();
    if (!m_options.databases.empty())
        database = m_options.databases.front();
    return connectionString(database, user, password);
}

std::vector<TdsBatch> TdsTestServer::batches() const
{
    std::vector<TdsBatch> out;
    for (auto& entry : ReadJournal(m_journal)) {
        if (entry["kind"] == "login")
            continue;
        out.push_back({entry["login"], entry["database"], entry["kind"], entry["text"]});
    }
    return out;
}

std::vector<TdsLogin> TdsTestServer::logins() const
{
    std::vector<TdsLogin> out;
    for (auto& entry : ReadJournal(m_journal)) {
        if (entry["kind"] != "login")
            continue;
        out.push_back({entry["login"], entry["database"], entry["password"], entry["text"] == "ok",
                       entry["encryption"]});
    }
    return out;
}

std::vector<std::string> TdsTestServer::commandsStartingWith(const std::string& prefix) const
{
    auto upper = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
        return s;
    };
    std::vector<std::string> out;
    const std::string wanted = upper(prefix);
    for (auto& batch : batches()) {
        if (upper(batch.text.substr(0, wanted.size())) == wanted)
            out.push_back(std::move(batch.text));
    }
    return out;
}

} // namespace fakes
