#include "fakes/TdsTestServer.h"

#include "db/Connection.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
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
    if (isRunning())
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
    if (!m_process.start(std::move(args), m_errors, std::chrono::seconds(15))) {
        m_error = "The test server did not start: " + m_process.error();
        stop();
        return false;
    }
    m_port = std::atoi(m_process.listening().c_str());
    if (m_port <= 0) {
        m_error = "The test server listens on no port: " + m_process.listening();
        stop();
        return false;
    }
    return true;
}

void TdsTestServer::stop()
{
    m_process.stop();
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
