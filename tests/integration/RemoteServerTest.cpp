// The program as a process against a SQL Server that is not on this host's
// file system as Corvella is: one in a container or on another machine,
// naming the backup folder otherwise and running as an account this host
// does not know, and one that stops answering in the middle of a backup.

#include "config/DatabaseEntry.h"
#include "config/PasswordCodec.h"
#include "config/ProfileFile.h"
#include "config/RunOptions.h"
#include "config/SettingsFile.h"
#include "log/Log.h"

#include "fakes/RecordingOwner.h"
#include "fakes/SmtpTestServer.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"

#include <gmock/gmock.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>

#ifdef CORVELLA_CLI_BINARY

#include "ProgramRunner.h"

namespace fs = std::filesystem;
using integration::Launch;
using integration::ReadFile;
using integration::StartProgram;
using integration::SystemAccount;
using integration::WaitForExit;
using ::testing::Contains;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

namespace {

constexpr const char* kLogin = "backup";
constexpr const char* kPassword = "Backup#2024";

// One database as the settings file lists it.
struct Listed {
    const fakes::TdsTestServer* server;
    std::string name;
    std::string backupPath;
    std::string serverPath;
    bool zip = false;
    bool keepOld = false;
};

// Writes `folder`/BackupConfig.ini with `databases` and the OPTIONS given.
std::string WriteSettings(const std::string& folder, const std::vector<Listed>& databases,
                          const std::vector<std::pair<std::string, std::string>>& options)
{
    config::PasswordCodec codec;
    config::DatabaseList list;
    for (const Listed& listed : databases) {
        config::DatabaseEntry entry;
        entry.databaseUrl = listed.server->dataSource();
        entry.databaseName = listed.name;
        entry.userName = kLogin;
        EXPECT_EQ(codec.Encode(kPassword, entry.storedPassword), 0);
        entry.intervalNumber = "1";
        entry.backupPath = listed.backupPath;
        entry.serverBackupPath = listed.serverPath;
        entry.zip = listed.zip;
        entry.keepOld = listed.keepOld;
        const int row = list.insertRow(list.rowCount());
        config::DatabaseList::Row cells = entry.ToRow();
        cells[config::ColSerial] = std::to_string(row + 1);
        for (int column = 0; column < config::kStoredColumnCount; ++column)
            list.setCell(row, column, cells[column]);
    }
    const std::string path = folder + "/BackupConfig.ini";
    logging::Log log(folder + "/settings.log");
    EXPECT_TRUE(config::SaveDatabaseList(path, list, log));
    EXPECT_TRUE(config::UpdateProfileFile(path, [&](config::ProfileFile& profile) {
        for (const auto& [key, value] : options)
            profile.write(config::kOptionsSection, key, value);
    }));
    return path;
}

// Polls `done` every 50 ms for at most `bound`.
template <typename Probe>
bool WaitFor(Probe done, std::chrono::milliseconds bound)
{
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

// The database server's side of a recipe.
struct Recipe {
    std::string label;
    std::string serverPath;      // the backup folder as the server names it
    std::string serverUid;       // the server's account, unknown here; empty: no account of its own
    int serverUmask = 022;
    bool needsRoot = false;
};

void PrintTo(const Recipe& recipe, std::ostream* out)
{
    *out << recipe.label;
}

} // namespace

class RemoteServerRecipe : public ::testing::TestWithParam<Recipe> {};

// The recipes of the documentation, as far as one host can model them: the
// server writes under its own name for the folder, as an account that has
// only the backup root's group in common with Corvella's, and Corvella
// reads, verifies, zips and rotates through its own name. Without the
// Server's Backup Path the run fails, and the log says what to set.
TEST_P(RemoteServerRecipe, BacksUpThroughTheServersNameForTheFolder)
{
    const Recipe& recipe = GetParam();
    if (recipe.needsRoot && geteuid() != 0)
        GTEST_SKIP() << "needs root to run the server and the program as two other accounts";
    fakes::TempFolder folder("corvella-remote");
    const std::string root = folder.root();
    ::chmod(root.c_str(), 0755);
    const std::string backups = root + "/backups";
    const std::string work = root + "/work";
    fs::create_directories(backups);
    fs::create_directories(work);

    Launch launch;
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.anyDatabase = true;
    options.backupSize = 256 * 1024;
    options.umask = recipe.serverUmask;
    options.pathMap = {{recipe.serverPath, backups}};
    // The restore tests' copies go to the server's default data folder.
    const std::string data = root + "/data/";
    fs::create_directories(data);
    ::chmod(data.c_str(), 0777);
    options.dataPath = data;
    if (!recipe.serverUid.empty()) {
        // The backup root belongs to Corvella's account and a group the
        // server's account is given too (--group-add, or the same gid on both
        // machines), set-group-ID so that everything below keeps the group.
        (void)std::system("groupadd --system corvella-sqlbackup >/dev/null 2>&1");
        const group* shared = getgrnam("corvella-sqlbackup");
        ASSERT_NE(shared, nullptr);
        const gid_t gid = shared->gr_gid;
        const auto member = SystemAccount("corvella-backupuser", "corvella-sqlbackup");
        ASSERT_TRUE(member);
        launch.account = *member;
        ASSERT_EQ(::chown(backups.c_str(), member->uid, gid), 0);
        ASSERT_EQ(::chmod(backups.c_str(), 02770), 0);
        ASSERT_EQ(::chown(work.c_str(), member->uid, member->gid), 0);
        options.runAs = recipe.serverUid + ":" + std::to_string(gid);
    }
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();

    const std::vector<Listed> databases = {{&server, "Sales", backups, recipe.serverPath, true, false},
                                           {&server, "Stock", backups, recipe.serverPath, false, true}};
    const std::string settings
        = WriteSettings(work, databases, {{"VERIFY_BACKUP", "TRUE"}, {"RESTORE_TEST", "TRUE"}});
    if (launch.account) {
        ASSERT_EQ(::chown(settings.c_str(), launch.account->uid, launch.account->gid), 0);
    }
    for (int run = 1; run <= 2; ++run) {
        ASSERT_EQ(WaitForExit(StartProgram(work, {"--backup-now", "--config", settings}, launch)), 0)
            << "run " << run << "\n" << ReadFile(work + "/out.txt") << ReadFile(work + "/err.txt")
            << ReadFile(work + "/BackupLog.log");
        if (run == 1)
            std::this_thread::sleep_for(1100ms); // keep-old names differ by their second
    }
    for (const char* name : {"Sales", "Stock"}) {
        const std::string databaseFolder = backups + "/" + name;
        const auto newest = fakes::FilesIn(databaseFolder);
        ASSERT_EQ(newest.size(), 1u) << name;
        EXPECT_THAT(newest[0], ::testing::EndsWith(std::string(name) == "Sales" ? ".zip" : ".Bak"));
        EXPECT_EQ(fakes::FilesIn(databaseFolder + "/Last Backup").size(), 1u) << name;
        EXPECT_TRUE(fs::is_empty(databaseFolder + "/temp")) << name;
    }
    // Every command named the files as the server sees them.
    const char separator = recipe.serverPath.find('\\') != std::string::npos ? '\\' : '/';
    const std::string salesTemp = recipe.serverPath + separator + "Sales" + separator + "temp" + separator;
    EXPECT_THAT(server.commandsStartingWith("BACKUP DATABASE [Sales]"),
                ::testing::Each(HasSubstr("TO DISK = N'" + salesTemp + "Sales.bak'")));
    EXPECT_THAT(server.commandsStartingWith("RESTORE VERIFYONLY"),
                Contains("RESTORE VERIFYONLY FROM DISK = N'" + salesTemp + "Sales.bak' WITH CHECKSUM"));
    // The restore tests too: the archive unpacked in temp, the backup file in
    // the database's folder.
    EXPECT_THAT(server.commandsStartingWith("RESTORE DATABASE"),
                Contains(HasSubstr("FROM DISK = N'" + salesTemp + "Sales_restoretest.Bak'")));
    EXPECT_THAT(server.commandsStartingWith("RESTORE DATABASE"),
                Contains(HasSubstr("FROM DISK = N'" + recipe.serverPath + separator + "Stock" + separator
                                   + "Stock")));
    const auto tested = fakes::ReadLogMessages(work + "/BackupLog.log");
    for (const char* name : {"Sales", "Stock"})
        EXPECT_THAT(tested, Contains(HasSubstr(std::string("Restore test passed for Database ") + name))) << name;

    // Without the server's name the server cannot find the folder; the
    // backups made so far stay as they are.
    WriteSettings(work, {{&server, "Sales", backups, "", true, false}}, {});
    EXPECT_EQ(WaitForExit(StartProgram(work, {"--backup-now", "--config", settings}, launch)), 1);
    const auto log = fakes::ReadLogMessages(work + "/BackupLog.log");
    const std::string temp = backups + "/Sales/temp";
    EXPECT_THAT(log, Contains(HasSubstr("Cannot open backup device '" + temp
                                        + "/Sales.bak'. Operating system error 3(The system cannot find the path "
                                          "specified.)")));
    EXPECT_THAT(log, Contains("The SQL Server does not see the backup folder: it cannot find '" + temp
                              + "', which is '" + temp + "' here. Set Server's Backup Path to the path under which "
                                                         "the SQL Server sees "
                              + backups + "."));
    EXPECT_THAT(fakes::FilesIn(backups + "/Sales"), ::testing::ElementsAre("Sales.zip"));
    EXPECT_TRUE(fs::is_empty(temp));
}

INSTANTIATE_TEST_SUITE_P(
    Recipes, RemoteServerRecipe,
    ::testing::Values(
        // The server's container: its bind mount of the backup root, its account 10001.
        Recipe{"Container", "/var/opt/mssql/backup", "10001", 022, true},
        // A Linux server on another machine writing into its export: its own
        // path, and an account known here only by number.
        Recipe{"Nfs", "/srv/sqlbackup", "10002", 027, true},
        // A Windows server writing to its disk, shared and mounted here with
        // uid= and gid=: every file looks like Corvella's own.
        Recipe{"WindowsShare", "D:\\Backups", "", 022, false}),
    [](const ::testing::TestParamInfo<Recipe>& info) { return info.param.label; });

class RemoteServer : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = std::make_unique<fakes::TempFolder>("corvella-remote");
        m_root = m_folder->root();
        m_backups = m_root + "/backups";
    }

    std::unique_ptr<fakes::TempFolder> m_folder;
    std::string m_root;
    std::string m_backups;
};

// A backup that stops progressing is reported, mailed about, cancelled, and
// cleaned up; the next database's backup follows. Where the login may not
// read the server's state, the log says once that stalls cannot be seen.
TEST_F(RemoteServer, AStalledBackupIsCancelledAndTheNextDatabaseIsBackedUp)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales", "Stock"};
    options.backupSize = 1 << 20;
    options.stalledBackupsOf = {{"Sales", 40}};
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    fakes::TdsTestServer::Options strictOptions = options;
    strictOptions.databases = {"Ledger"};
    strictOptions.stalledBackupsOf = {};
    strictOptions.denyServerState = true;
    strictOptions.backupDelayMs = 2500;
    fakes::TdsTestServer strict(strictOptions);
    ASSERT_TRUE(strict.start()) << strict.error();
    fakes::SmtpTestServer smtp({fakes::SmtpTestServer::Mode::Plain, "", "", false});
    ASSERT_TRUE(smtp.start()) << smtp.error();

    const std::string settings = WriteSettings(
        m_root,
        {{&server, "Sales", m_backups, ""}, {&server, "Stock", m_backups, ""}, {&strict, "Ledger", m_backups, ""}},
        {{"STALL_MINUTES", "0.05"}, {"CANCEL_STALLED_BACKUPS", "TRUE"}});
    config::MailSettings mail;
    mail.serverAddress = "127.0.0.1";
    mail.port = static_cast<std::uint32_t>(smtp.port());
    mail.security = "SIMPLE";
    mail.account = "corvella@example.org";
    mail.recipient = "dba@example.org";
    mail.mailOnFailure = true;
    ASSERT_TRUE(config::SaveMailSettings(settings, mail, std::to_string(smtp.port())));

    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForExit(StartProgram(m_root, {"--backup-now", "--config", settings})), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 120s) << "the stalled backup does not hold the run for good";
    const std::string out = ReadFile(m_root + "/out.txt");
    EXPECT_THAT(out, HasSubstr("Backup cancelled: no progress for 0.05 minutes"));
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), "No progress of the backup of Database Sales for 0.05 minutes"), 1);
    EXPECT_THAT(log, Contains("Backup cancelled: no progress for 0.05 minutes"));
    EXPECT_THAT(fakes::FilesIn(m_backups + "/Sales"), ::testing::IsEmpty());
    EXPECT_TRUE(fs::is_empty(m_backups + "/Sales/temp")) << "what the server wrote is removed";
    EXPECT_THAT(fakes::FilesIn(m_backups + "/Stock"), ::testing::ElementsAre("Stock.Bak"));
    EXPECT_THAT(fakes::FilesIn(m_backups + "/Ledger"), ::testing::ElementsAre("Ledger.Bak"));
    EXPECT_EQ(std::ranges::count_if(log, [](const std::string& line) {
                  return line.starts_with("Stalls of the backup of Database Ledger cannot be detected: ")
                      && line.find("permission") != std::string::npos;
              }),
              1);

    ASSERT_TRUE(WaitFor([&] { return !smtp.messages().empty(); }, 10s));
    const auto messages = smtp.messages();
    ASSERT_EQ(messages.size(), 1u) << "the failure that follows within the hour is not mailed again";
    EXPECT_EQ(messages[0].subject, "Corvella: backup of Sales makes no progress");
    EXPECT_THAT(messages[0].body, HasSubstr("Status: Backup is in progress 40% - no progress for 0.05 minutes"));
}

// A server frozen in the middle of a backup (a hung host, as Corvella sees
// it): without cancelling, the stall is reported once and the backup goes
// on when the server wakes up.
TEST_F(RemoteServer, AFrozenServerIsReportedOnceAndTheBackupGoesOnWhenItWakes)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales"};
    options.backupSize = 1 << 20;
    options.backupDelayMs = 6000;
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    const std::string settings
        = WriteSettings(m_root, {{&server, "Sales", m_backups, ""}}, {{"STALL_MINUTES", "0.05"}});

    const pid_t program = StartProgram(m_root, {"--backup-now", "--config", settings});
    ASSERT_TRUE(WaitFor([&] { return fs::exists(m_backups + "/Sales/temp/Sales.bak"); }, 20s));
    std::this_thread::sleep_for(1500ms);
    ASSERT_TRUE(server.freeze());
    const std::string stalled = "No progress of the backup of Database Sales for 0.05 minutes";
    EXPECT_TRUE(WaitFor([&] { return std::ranges::count(fakes::ReadLogMessages(m_root + "/BackupLog.log"), stalled) > 0; },
                        30s));
    std::this_thread::sleep_for(2s);
    server.thaw();
    EXPECT_EQ(WaitForExit(program, 60s), 0) << ReadFile(m_root + "/out.txt");
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_EQ(std::count(log.begin(), log.end(), stalled), 1);
    EXPECT_THAT(fakes::FilesIn(m_backups + "/Sales"), ::testing::ElementsAre("Sales.Bak"));
}

// The first database on a server frozen with SIGSTOP in the middle of its
// backup, the second on a healthy one: with STALL_MINUTES=0.5 the stalled
// backup is cancelled, the unanswered cancel abandoned after 30 s, and the
// second database is backed up. Prints how long that took.
TEST_F(RemoteServer, AFrozenServerIsLeftAndTheNextDatabaseIsBackedUp)
{
    fakes::TdsTestServer::Options frozenOptions;
    frozenOptions.logins = {{kLogin, kPassword}};
    frozenOptions.databases = {"Sales"};
    frozenOptions.backupSize = 4 << 20;
    frozenOptions.backupDelayMs = 120000;
    fakes::TdsTestServer frozen(frozenOptions);
    ASSERT_TRUE(frozen.start()) << frozen.error();
    fakes::TdsTestServer::Options healthyOptions = frozenOptions;
    healthyOptions.databases = {"Stock"};
    healthyOptions.backupDelayMs = 0;
    fakes::TdsTestServer healthy(healthyOptions);
    ASSERT_TRUE(healthy.start()) << healthy.error();
    const std::string settings
        = WriteSettings(m_root, {{&frozen, "Sales", m_backups, ""}, {&healthy, "Stock", m_backups, ""}},
                        {{"STALL_MINUTES", "0.5"}, {"CANCEL_STALLED_BACKUPS", "TRUE"}});

    const pid_t program = StartProgram(m_root, {"--backup-now", "--config", settings});
    ASSERT_TRUE(WaitFor([&] { return fs::exists(m_backups + "/Sales/temp/Sales.bak"); }, 20s));
    std::this_thread::sleep_for(2s); // the percentage has moved
    ASSERT_TRUE(frozen.freeze());
    const auto frozenAt = std::chrono::steady_clock::now();
    ASSERT_TRUE(WaitFor([&] { return fs::exists(m_backups + "/Stock/Stock.Bak"); }, 150s))
        << ReadFile(m_root + "/BackupLog.log");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - frozenAt).count();
    std::cout << "From the frozen server to the next database's backup: " << seconds << " s\n";
    RecordProperty("frozen_to_next_backup_seconds", std::to_string(seconds));
    EXPECT_GT(seconds, 50);
    EXPECT_LT(seconds, 150);

    EXPECT_EQ(WaitForExit(program, 30s), 1) << "the abandoned connection does not hold the program";
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_THAT(log, Contains("No progress of the backup of Database Sales for 0.5 minutes"));
    EXPECT_THAT(log, Contains("Backup cancelled: no progress for 0.5 minutes"));
    EXPECT_THAT(log, Contains("The SQL Server did not answer the cancel of the backup of Database Sales within 30 "
                              "seconds; its connection was abandoned."));
    EXPECT_TRUE(fs::is_empty(m_backups + "/Sales/temp"));
}

#endif
