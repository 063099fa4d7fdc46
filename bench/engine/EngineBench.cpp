// Measures what Corvella adds to backup runs: `corvella-cli --backup-now` over
// many databases on the local test server (wall time, peak threads, peak
// memory), and, in process, the median time a run holds the backup lock
// beyond the server's own work (login and BACKUP command).

#include "engine/BackupScheduler.h"
#include "engine/Clock.h"
#include "engine/FileOps.h"
#include "engine/StatusJournal.h"

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "db/DbConnection.h"
#include "log/Log.h"

#include "fakes/RecordingOwner.h"
#include "fakes/StepDoubles.h"
#include "fakes/TdsTestServer.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

// Times the server's part of each run: the login and the backup command.
class TimingConnector final : public db::Connector {
public:
    std::unique_ptr<db::Connection> OpenBackupConnection(const std::string& connectionString,
                                                         std::string& failureText) override
    {
        const auto start = Clock::now();
        auto inner = m_real.OpenBackupConnection(connectionString, failureText);
        const auto opened = Clock::now() - start;
        if (!inner)
            return nullptr;
        return std::make_unique<Timed>(std::move(inner), opened, *this);
    }

    std::map<std::string, Clock::duration> serverTimes() const
    {
        std::lock_guard lock(m_mutex);
        return m_times;
    }

private:
    class Timed final : public db::Connection {
    public:
        Timed(std::unique_ptr<db::Connection> inner, Clock::duration opened, TimingConnector& owner)
            : m_inner(std::move(inner)), m_opened(opened), m_owner(owner)
        {
        }
        db::HRESULT ExecuteCommand(const std::string& command, db::ResultTable& table, std::string& error) override
        {
            const auto start = Clock::now();
            const db::HRESULT hr = m_inner->ExecuteCommand(command, table, error);
            const auto took = Clock::now() - start;
            if (command.rfind("BACKUP", 0) != 0)
                return hr;
            // "BACKUP DATABASE [name] ..."
            const auto open = command.find('[');
            const auto close = command.find(']', open);
            std::lock_guard lock(m_owner.m_mutex);
            m_owner.m_times[command.substr(open + 1, close - open - 1)] = m_opened + took;
            return hr;
        }
        db::HRESULT QueryValue(const std::string& command, std::string& value, std::string& error) override
        {
            return m_inner->QueryValue(command, value, error);
        }
        bool IsOpen() const override { return m_inner->IsOpen(); }
        void Close() override { m_inner->Close(); }

    private:
        std::unique_ptr<db::Connection> m_inner;
        Clock::duration m_opened;
        TimingConnector& m_owner;
    };

    db::OdbcConnector m_real;
    mutable std::mutex m_mutex;
    std::map<std::string, Clock::duration> m_times;
};

// Records when each row appears and whose it is.
class RowTimes final : public engine::StatusJournal::Observer {
public:
    void rowInserted(int row) override { m_inserted[row] = Clock::now(); }
    void cellChanged(int row, int column, const std::string& text) override
    {
        if (column == engine::StatusDatabaseName)
            m_names[row] = text;
    }
    void cleared() override {}

    std::map<int, Clock::time_point> m_inserted;
    std::map<int, std::string> m_names;
};

config::DatabaseList MakeList(const fakes::TdsTestServer& server, const std::vector<std::string>& names,
                              const std::string& backupPath)
{
    config::DatabaseList list;
    config::PasswordCodec codec;
    std::string encoded;
    codec.Encode("Backup#2024", encoded);
    for (const std::string& name : names) {
        const int row = list.insertRow(list.rowCount());
        const std::string cells[] = {std::to_string(row + 1), server.dataSource(), name, "backup", encoded,
                                     "1 Hours", backupPath, "False", "False", "False"};
        for (int c = 0; c < config::kConfigColumnCount; ++c)
            list.setCell(row, c, cells[c]);
    }
    return list;
}

void InProcess(const fakes::TdsTestServer& server, const std::vector<std::string>& names, const std::string& root,
               std::chrono::milliseconds progressInterval)
{
    fakes::RecordingOwner owner(root + "/inprocess.log");
    RowTimes rows;
    owner.statusJournal().addObserver(&rows);
    TimingConnector connector;
    fakes::FakeArchiver archiver;
    fakes::FakeMailer mailer;
    engine::SystemClock clock;
    engine::FileOps fileOps;
    engine::BackupServices services;
    services.connector = &connector;
    services.archiver = &archiver;
    services.mailer = &mailer;
    services.clock = &clock;
    services.fileOps = &fileOps;
    services.applicationName = "corvella";
    services.progressInterval = progressInterval;
    const config::DatabaseList list = MakeList(server, names, root + "/inprocess");
    const auto start = Clock::now();
    {
        engine::BackupScheduler scheduler(owner.session(), services);
        scheduler.ManualBackup(list);
        scheduler.waitUntilIdle(std::chrono::hours(1));
    }
    const auto wall = Clock::now() - start;
    owner.statusJournal().removeObserver(&rows);

    const auto times = connector.serverTimes();
    std::vector<double> overhead;
    std::vector<double> serverPart;
    for (auto it = rows.m_inserted.begin(); std::next(it) != rows.m_inserted.end(); ++it) {
        const auto held = std::next(it)->second - it->second;
        const auto serverTime = times.at(rows.m_names.at(it->first));
        overhead.push_back(Ms(held - serverTime));
        serverPart.push_back(Ms(serverTime));
    }
    std::sort(overhead.begin(), overhead.end());
    std::sort(serverPart.begin(), serverPart.end());
    const auto at = [](const std::vector<double>& v, double q) { return v[static_cast<std::size_t>(q * (v.size() - 1))]; };
    std::printf("in process, progress %s: %zu runs in %.0f ms\n",
                progressInterval.count() > 0 ? "polled" : "off", names.size(), Ms(wall));
    std::printf("  server's part (login + BACKUP) per run: median %.2f ms\n", at(serverPart, 0.5));
    std::printf("  lock held beyond the server's part:     median %.2f ms, p90 %.2f ms, max %.2f ms\n",
                at(overhead, 0.5), at(overhead, 0.9), overhead.back());
}

void Process(const fakes::TdsTestServer& server, const std::vector<std::string>& names, const std::string& root)
{
    const std::string config = root + "/BackupConfig.ini";
    {
        logging::Log log(root + "/config.log");
        config::SaveDatabaseList(config, MakeList(server, names, root + "/process"), log);
    }
    const std::string binary = CORVELLA_BINARY;
    std::vector<std::string> args = {binary, "--backup-now", "--config", config};
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, root.c_str());
    posix_spawn_file_actions_addopen(&actions, 1, (root + "/out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = 0;
    const auto start = Clock::now();
    if (posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
        std::printf("cannot start %s\n", binary.c_str());
        return;
    }
    posix_spawn_file_actions_destroy(&actions);
    long peakThreads = 0;
    long peakKiB = 0;
    long peakFiles = 0;
    int status = 0;
    const std::string proc = "/proc/" + std::to_string(pid);
    while (waitpid(pid, &status, WNOHANG) == 0) {
        std::ifstream in(proc + "/status");
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("Threads:", 0) == 0)
                peakThreads = std::max(peakThreads, std::atol(line.c_str() + 8));
            else if (line.rfind("VmHWM:", 0) == 0)
                peakKiB = std::max(peakKiB, std::atol(line.c_str() + 6));
        }
        std::error_code ec;
        long files = 0;
        for (auto it = fs::directory_iterator(proc + "/fd", ec); !ec && it != fs::directory_iterator(); it.increment(ec))
            ++files;
        peakFiles = std::max(peakFiles, files);
        usleep(2000);
    }
    const auto wall = Clock::now() - start;
    std::printf("corvella-cli --backup-now: %zu databases, exit %d, %.0f ms wall\n", names.size(),
                WIFEXITED(status) ? WEXITSTATUS(status) : -1, Ms(wall));
    std::printf("  peak threads %ld, peak open files %ld, peak resident memory %.1f MiB\n", peakThreads, peakFiles,
                peakKiB / 1024.0);
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 200;
    const std::uint64_t bytes = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1 << 20;
    const bool processOnly = argc > 3 && std::string(argv[3]) == "--process-only";
    std::string pattern = (fs::temp_directory_path() / "corvella-bench-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        return 1;
    const std::string root = pattern;

    std::vector<std::string> names;
    for (int i = 1; i <= count; ++i)
        names.push_back("Db" + std::to_string(i));
    fakes::TdsTestServer::Options options;
    options.logins = {{"backup", "Backup#2024"}};
    options.databases = {};
    options.anyDatabase = true;
    options.backupSize = bytes;
    fakes::TdsTestServer server(options);
    if (!server.start()) {
        std::printf("test server: %s\n", server.error().c_str());
        return 1;
    }
    if (!processOnly) {
        // The first pass creates every folder; the two measured ones find them.
        std::printf("(warm-up) ");
        InProcess(server, names, root, std::chrono::milliseconds(0));
        InProcess(server, names, root, std::chrono::milliseconds(0));
        InProcess(server, names, root, std::chrono::milliseconds(1000));
    }
    Process(server, names, root);
    server.stop();
    fs::remove_all(root);
    return 0;
}
