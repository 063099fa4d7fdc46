// Backup runs end to end: the real ODBC driver against the wire-protocol test
// server, real files in a temporary folder, the real zip writer and mailer.

#include "engine/Archiver.h"
#include "engine/BackupSession.h"
#include "engine/BackupScheduler.h"
#include "engine/BackupWorker.h"
#include "engine/Clock.h"
#include "engine/FileOps.h"
#include "engine/Mailer.h"
#include "engine/SettingsStore.h"
#include "engine/SystemServices.h"

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "db/DbConnection.h"
#include "db/DriverSettings.h"

#include "fakes/ManualClock.h"
#include "fakes/RecordingOwner.h"
#include "fakes/SmtpTestServer.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TempFolder.h"
#include "fakes/TestCertificates.h"
#include "fakes/TestFiles.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <thread>

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Row = engine::StatusJournal::Row;
using namespace std::chrono_literals;

namespace {

constexpr const char* kLogin = "backup";
constexpr const char* kPassword = "Backup#2024";

} // namespace

class BackupRunIntegration : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = std::make_unique<fakes::TempFolder>("corvella-run");
        m_root = m_folder->root();
        m_owner = std::make_unique<fakes::RecordingOwner>(m_root + "/BackupLog.log");
    }
    void TearDown() override
    {
        m_owner.reset();
        m_folder.reset();
    }

    void startServer(std::vector<std::string> databases, std::uint64_t size = 1 << 20)
    {
        fakes::TdsTestServer::Options options;
        options.logins = {{kLogin, kPassword}};
        options.databases = std::move(databases);
        options.backupSize = size;
        m_server = std::make_unique<fakes::TdsTestServer>(options);
        ASSERT_TRUE(m_server->start()) << m_server->error();
    }

    engine::BackupJob job(const std::string& name)
    {
        engine::BackupJob job;
        job.databaseUrl = m_server->dataSource();
        job.databaseName = name;
        job.userName = kLogin;
        job.password = kPassword;
        job.intervalMinutes = 60;
        job.backupPath = m_root + "/backups";
        job.owner = &m_owner->session();
        return job;
    }

    engine::BackupServices services()
    {
        engine::BackupServices s;
        s.connector = &m_connector;
        s.archiver = &m_archiver;
        s.mailer = &m_mailer;
        s.clock = &m_clock;
        s.fileOps = &m_fileOps;
        s.applicationName = "corvella";
        s.pause = [](std::chrono::milliseconds) {};
        return s;
    }

    // As services(), on the real clock with the scheduler's own pauses.
    engine::BackupServices realTimeServices()
    {
        engine::BackupServices s = services();
        s.clock = &m_systemClock;
        s.pause = nullptr;
        return s;
    }

    // Appends a row of the database list; its serial is its position.
    static void appendRow(config::DatabaseList& list, config::DatabaseList::Row cells)
    {
        const int row = list.insertRow(list.rowCount());
        cells[config::ColSerial] = std::to_string(row + 1);
        for (int c = 0; c < config::kConfigColumnCount; ++c)
            list.setCell(row, c, cells[c]);
    }

    engine::RunResult run(const engine::BackupJob& job)
    {
        engine::BackupWorker worker(job, services());
        return worker.run();
    }

    std::unique_ptr<fakes::TempFolder> m_folder;
    std::string m_root;
    std::unique_ptr<fakes::TdsTestServer> m_server;
    std::unique_ptr<fakes::RecordingOwner> m_owner;
    db::OdbcConnector m_connector;
    engine::ZipArchiver m_archiver{std::make_shared<engine::SettingsStore>("/nonexistent/BackupConfig.ini")};
    engine::SmtpMailer m_mailer;
    engine::FileOps m_fileOps;
    fakes::ManualClock m_clock;
    engine::SystemClock m_systemClock;
};

TEST_F(BackupRunIntegration, SuccessfulRunReachesTheServerAndRotatesOverSeveralRuns)
{
    startServer({"Sales"});
    const std::string folder = m_root + "/backups/Sales";

    const engine::RunResult first = run(job("Sales"));
    EXPECT_TRUE(first.completed());
    EXPECT_EQ(first.row, (Row{"1", "Sales", "Backup completed", "1048576", "14/7/2014  9:5:3", ""}));
    EXPECT_EQ(m_owner->statusJournal().rows(), std::vector<Row>{first.row});
    EXPECT_THAT(m_owner->logMessages(), ElementsAre("Backup Started for Database Sales"));
    EXPECT_THAT(m_server->commandsStartingWith("BACKUP"),
                ElementsAre("BACKUP DATABASE [Sales] TO DISK = N'" + folder
                            + "/temp/Sales.bak' WITH INIT, NAME = N'Full  Backup of  Sales'"));
    EXPECT_THAT(fakes::FilesIn(folder), ElementsAre("Sales.Bak"));
    EXPECT_EQ(fs::file_size(folder + "/Sales.Bak"), 1u << 20);

    // keepOld off: the same name each time, two generations within a day.
    run(job("Sales"));
    run(job("Sales"));
    EXPECT_THAT(fakes::FilesIn(folder), ElementsAre("Sales.Bak"));
    EXPECT_THAT(fakes::FilesIn(folder + "/Last Backup"), ElementsAre("Sales.Bak"));
    EXPECT_THAT(fakes::FilesIn(folder + "/Old Backup"), IsEmpty());
    EXPECT_THAT(fakes::FilesIn(folder + "/temp"), IsEmpty());

    // keepOld on: every generation stays.
    engine::BackupJob keeping = job("Sales");
    keeping.keepOld = true;
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(run(keeping).completed());
        m_clock.advance(25h);
    }
    EXPECT_THAT(fakes::FilesIn(folder), ElementsAre("Sales20140716110503.Bak"));
    EXPECT_THAT(fakes::FilesIn(folder + "/Last Backup"), ElementsAre("Sales20140715100503.Bak"));
    EXPECT_THAT(fakes::FilesIn(folder + "/Old Backup"), ElementsAre("Sales.Bak", "Sales20140714090503.Bak"));
    EXPECT_EQ(m_owner->statusJournal().rowCount(), 6);
}

TEST_F(BackupRunIntegration, FailuresShowInTheRowAndTheLogWordForWord)
{
    startServer({"Sales"});

    // A wrong password.
    engine::BackupJob wrong = job("Sales");
    wrong.password = "nope";
    const engine::RunResult refused = run(wrong);
    EXPECT_EQ(refused.row[engine::StatusBackupStatus],
              "Database Connection failed. Please check the DB info... Error Object : [FreeTDS][SQL Server] Error "
              "Contents : Login failed for user 'backup'.");
    ASSERT_EQ(m_owner->logMessages().size(), 2u);
    EXPECT_THAT(m_owner->logMessages()[1],
                ::testing::StartsWith("Error: Database connection Error for DB Sales Error Message: "));
    EXPECT_THAT(m_owner->logMessages()[1], ::testing::HasSubstr("Login failed for user 'backup'."));
    EXPECT_EQ(m_owner->statusLine(), "Database Connection failed. Please check the DB info...");

    // A temp folder that cannot be created.
    std::ofstream(m_root + "/file") << "x";
    engine::BackupJob blocked = job("Sales");
    blocked.backupPath = m_root + "/file";
    EXPECT_EQ(run(blocked).row[engine::StatusBackupStatus], "Temp directory creation error.");
    EXPECT_EQ(m_owner->logMessages().back(), "Temp directory creation error for database Sales");

    // The server cannot open the backup device: its text, word for word.
    const std::string temp = m_root + "/backups/Sales/temp";
    fs::create_directories(temp + "/Sales.bak");
    const engine::RunResult failed = run(job("Sales"));
    const std::string expectedStart = "Error Object : [FreeTDS][SQL Server] Error Contents : Cannot open backup device '"
        + temp + "/Sales.bak'. Operating system error ";
    EXPECT_THAT(failed.row[engine::StatusBackupStatus], ::testing::StartsWith(expectedStart));
    // The server's "access denied" is followed by what to do about it.
    const auto log = m_owner->logMessages();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], failed.row[engine::StatusBackupStatus]);
    EXPECT_THAT(log.back(), ::testing::StartsWith("The SQL Server service cannot write into '" + temp + "'."));
    EXPECT_THAT(log.back(), ::testing::HasSubstr("sudo chgrp mssql '" + m_root + "/backups'"));
    EXPECT_EQ(failed.row[engine::StatusFileSize], "");
    EXPECT_FALSE(fs::exists(m_root + "/backups/Sales/Last Backup"));
    EXPECT_EQ(m_owner->backupState().backupBusy(), 0);
}

TEST_F(BackupRunIntegration, AwkwardNamesAreBackedUpAsOneName)
{
    startServer({"Sales ", "Sales", "Q]u'ote"});

    const engine::RunResult blank = run(job("Sales "));
    EXPECT_TRUE(blank.completed());
    EXPECT_EQ(blank.row[engine::StatusDatabaseName], "Sales");
    EXPECT_THAT(fakes::FilesIn(m_root + "/backups/Sales"), ElementsAre("Sales .Bak"));

    const engine::RunResult quoted = run(job("Q]u'ote"));
    EXPECT_TRUE(quoted.completed()) << quoted.row[engine::StatusBackupStatus];
    const std::string folder = m_root + "/backups/Q]u'ote";
    EXPECT_THAT(fakes::FilesIn(folder), ElementsAre("Q]u'ote.Bak"));
    EXPECT_THAT(m_server->commandsStartingWith("BACKUP"),
                ElementsAre("BACKUP DATABASE [Sales] TO DISK = N'" + m_root
                                + "/backups/Sales /temp/Sales .bak' WITH INIT, NAME = N'Full  Backup of  Sales'",
                            "BACKUP DATABASE [Q]]u'ote] TO DISK = N'" + m_root
                                + "/backups/Q]u''ote/temp/Q]u''ote.bak' WITH INIT, NAME = N'Full  Backup of  Q]u''ote'"));
}

TEST_F(BackupRunIntegration, EightRunsAtOnceLineUpBehindTheLock)
{
    std::vector<std::string> names;
    for (int i = 1; i <= 8; ++i)
        names.push_back("Db" + std::to_string(i));
    startServer(names, 64 * 1024);
    config::DatabaseList list;
    config::PasswordCodec codec;
    std::string encoded;
    ASSERT_EQ(codec.Encode(kPassword, encoded), 0);
    for (const std::string& name : names)
        appendRow(list, {"", m_server->dataSource(), name, kLogin, encoded, "1 Hours", m_root + "/backups", "False",
                         "False", "False"});
    engine::BackupScheduler scheduler(m_owner->session(), realTimeServices());

    EXPECT_EQ(scheduler.ManualBackup(list), 8);
    ASSERT_TRUE(scheduler.waitUntilIdle(120s));

    const auto rows = m_owner->statusJournal().rows();
    ASSERT_EQ(rows.size(), 8u);
    std::vector<std::string> expectedLog = {"Manual backup taken."};
    std::set<std::string> seen;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i][engine::StatusSerial], std::to_string(i + 1));
        EXPECT_EQ(rows[i][engine::StatusBackupStatus], "Backup completed");
        seen.insert(rows[i][engine::StatusDatabaseName]);
        expectedLog.push_back("Backup Started for Database " + rows[i][engine::StatusDatabaseName]);
        EXPECT_THAT(fakes::FilesIn(m_root + "/backups/" + rows[i][engine::StatusDatabaseName]),
                    ElementsAre(rows[i][engine::StatusDatabaseName] + ".Bak"));
    }
    EXPECT_EQ(seen.size(), 8u);
    // Rows and log lines follow the order in which the runs took the lock.
    EXPECT_EQ(m_owner->logMessages(), expectedLog);
    // Busy until a second after the last run.
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (m_owner->backupState().backupBusy() != 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(m_owner->backupState().backupBusy(), 0);
}

TEST_F(BackupRunIntegration, ZipAndMailKeepOnlyTheArchive)
{
    startServer({"Sales"}, 3 << 20);
    fakes::SmtpTestServer::Options smtpOptions;
    smtpOptions.user = "corvella@example.org";
    smtpOptions.password = "mail-secret";
    fakes::SmtpTestServer smtp(smtpOptions);
    ASSERT_TRUE(smtp.start()) << smtp.error();
    config::MailSettings mail;
    mail.security = "SIMPLE";
    mail.recipient = "dba@example.org";
    mail.serverAddress = "127.0.0.1";
    mail.account = "corvella@example.org";
    mail.password = "mail-secret";
    mail.port = static_cast<std::uint32_t>(smtp.port());
    mail.subject = "Nightly backup";
    mail.messageText = "The backup is attached.";
    mail.mailingServerName = "Corvella";
    m_owner->setMailSettings(mail);

    engine::BackupJob j = job("Sales");
    j.zip = true;
    j.email = true;
    const engine::RunResult result = run(j);

    EXPECT_TRUE(result.completed());
    EXPECT_EQ(result.row, (Row{"1", "Sales", "Zip Completed", "3145728", "14/7/2014  9:5:3", "Email Sent"}));
    const std::string folder = m_root + "/backups/Sales";
    EXPECT_THAT(m_owner->logMessages(),
                ElementsAre("Backup Started for Database Sales", "Creating zip file " + folder + "/temp/Sales.zip",
                            "Zip Completed for  and backup name: Sales.zip", "Sending Email started.",
                            "Email Sent Attached Backup Name: Sales"));
    EXPECT_THAT(fakes::FilesIn(folder), ElementsAre("Sales.zip"));
    EXPECT_THAT(fakes::FilesIn(folder + "/temp"), IsEmpty());
    const auto messages = smtp.messages();
    ASSERT_EQ(messages.size(), 1u);
    ASSERT_EQ(messages[0].attachments.size(), 1u);
    EXPECT_EQ(messages[0].attachments[0].fileName, "Sales.zip");
    std::ifstream zipped(folder + "/Sales.zip", std::ios::binary);
    const std::string archive((std::istreambuf_iterator<char>(zipped)), std::istreambuf_iterator<char>());
    EXPECT_EQ(messages[0].attachments[0].bytes(), archive);
    EXPECT_EQ(std::system(("unzip -tqq '" + folder + "/Sales.zip' >/dev/null").c_str()), 0);
}

// Logins, passwords, database names and paths in any language reach the
// server exactly, through the real driver; a password stored by a Windows
// installation (code page 1252) logs in too.
TEST_F(BackupRunIntegration, NamesAndPasswordsInAnyLanguageReachTheServerExactly)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{"bénédicte", "pässwörd€"}};
    options.databases = {"Verkäufe"};
    options.backupSize = 64 * 1024;
    m_server = std::make_unique<fakes::TdsTestServer>(options);
    ASSERT_TRUE(m_server->start()) << m_server->error();

    config::PasswordCodec codec;
    std::string utf8Stored;
    std::string windowsStored;
    ASSERT_EQ(codec.Encode("pässwörd€", utf8Stored), 0);
    ASSERT_EQ(codec.Encode("p\xE4ssw\xF6rd\x80", windowsStored), 0);
    const std::string backups = m_root + "/Sicherungen für März";
    config::DatabaseList list;
    for (const std::string& stored : {utf8Stored, windowsStored})
        appendRow(list, {"", m_server->dataSource(), "Verkäufe", "bénédicte", stored, "1 Hours", backups, "False",
                         "False", "True"});
    struct Results final : engine::BackupView {
        explicit Results(engine::BackupSession& s) : session(s) { session.addView(this); }
        ~Results() override { session.removeView(this); }
        void runFinished(const engine::RunResult& result) override
        {
            std::lock_guard lock(mutex);
            list.push_back(result);
        }
        engine::BackupSession& session;
        std::mutex mutex;
        std::vector<engine::RunResult> list;
    } ended(m_owner->session());
    {
        engine::BackupScheduler scheduler(m_owner->session(), realTimeServices());
        ASSERT_EQ(scheduler.ManualBackup(list), 2);
        ASSERT_TRUE(scheduler.waitUntilIdle(60s));
    }
    const std::vector<engine::RunResult>& results = ended.list;
    ASSERT_EQ(results.size(), 2u);
    for (const auto& result : results)
        EXPECT_TRUE(result.completed()) << result.row[engine::StatusBackupStatus];

    const auto logins = m_server->logins();
    ASSERT_EQ(logins.size(), 2u);
    for (const auto& login : logins) {
        EXPECT_EQ(login.login, "bénédicte");
        EXPECT_EQ(login.password, "pässwörd€");
        EXPECT_EQ(login.database, "Verkäufe");
        EXPECT_TRUE(login.accepted);
    }
    const auto commands = m_server->commandsStartingWith("BACKUP");
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_THAT(commands[0], ::testing::HasSubstr("TO DISK = N'" + backups + "/Verkäufe/temp/Verkäufe"));
    EXPECT_EQ(fakes::FilesIn(backups + "/Verkäufe").size(), 1u);
    EXPECT_EQ(fakes::FilesIn(backups + "/Verkäufe/Last Backup").size(), 1u);
}

// DB_ENCRYPTION, DB_CA_FILE and DB_TRUST_SERVER_CERTIFICATE as the program
// reads them: from the settings file in use, again for every run.
TEST_F(BackupRunIntegration, EncryptionSettingsApplyToTheNextRun)
{
    std::string error;
    ASSERT_TRUE(db::PrepareDriverSettings(&error)) << error;
    fakes::TestCertificates certificates;
    ASSERT_TRUE(certificates.create()) << certificates.error();
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales"};
    options.backupSize = 64 * 1024;
    options.tlsCertificateFile = certificates.serverCertificateFile();
    options.tlsKeyFile = certificates.serverKeyFile();
    m_server = std::make_unique<fakes::TdsTestServer>(options);
    ASSERT_TRUE(m_server->start()) << m_server->error();
    fs::copy_file(certificates.caFile(), m_root + "/issuer.pem");

    const std::string settingsPath = m_root + "/BackupConfig.ini";
    engine::SystemServices system(settingsPath);
    engine::BackupServices real = services();
    real.connector = system.services().connector;
    const std::string refusalStart = "Error: Database connection Error for DB Sales Error Message: The certificate of "
                                     "the server 127.0.0.1,"
        + std::to_string(m_server->port()) + " could not be verified against the system's trusted certificates; set "
        "DB_CA_FILE to the certificate authority that issued it, or DB_TRUST_SERVER_CERTIFICATE=TRUE.";

    struct Case {
        const char* options; // of section OPTIONS
        const char* encryption; // as the server saw the login; null: refused before it
    };
    const Case cases[] = {
        {"ZIP_COMPRESSION=FAST\n", "login"},
        {"DB_ENCRYPTION=require\nDB_CA_FILE=issuer.pem\n", "full"},
        {"DB_ENCRYPTION=Require\n", nullptr},
        {"DB_ENCRYPTION=REQUIRE\nDB_TRUST_SERVER_CERTIFICATE=true\n", "full"},
        {"db_encryption=off\n", "none"},
        {"DB_ENCRYPTION=sometimes\n", "login"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options);
        std::ofstream(settingsPath, std::ios::trunc) << "[OPTIONS]\n" << c.options;
        const std::size_t before = m_server->logins().size();
        const engine::BackupJob sales = job("Sales");
        engine::BackupWorker worker(sales, real);
        const engine::RunResult result = worker.run();
        const auto logins = m_server->logins();
        if (c.encryption) {
            EXPECT_TRUE(result.completed()) << result.row[engine::StatusBackupStatus];
            ASSERT_EQ(logins.size(), before + 1);
            EXPECT_EQ(logins.back().encryption, c.encryption);
        } else {
            // The row says why, as the log does.
            EXPECT_THAT(result.row[engine::StatusBackupStatus],
                        ::testing::StartsWith(std::string(db::kConnectionFailedText) + " The certificate of the server"));
            EXPECT_THAT(m_owner->logMessages().back(), ::testing::StartsWith(refusalStart));
            EXPECT_EQ(logins.size(), before);
        }
    }
    EXPECT_EQ(m_server->commandsStartingWith("BACKUP").size(), 5u);

    // Settings that cannot be read refuse the connection rather than lose the encryption they may ask for.
    fs::remove(settingsPath);
    fs::create_directory(settingsPath);
    const engine::BackupJob sales = job("Sales");
    engine::BackupWorker worker(sales, real);
    EXPECT_FALSE(worker.run().completed());
    EXPECT_EQ(m_owner->logMessages().back(),
              "Error: Database connection Error for DB Sales Error Message: Cannot read settings file '" + settingsPath
                  + "': not a regular file; no database connection is made without the encryption settings it "
                    "holds.");
}

// With verification, the backup is written with checksums and read back by
// the server; a damaged one is shown, logged, removed, and leaves the earlier
// backups as they were. Without it, the commands are exactly as before.
TEST_F(BackupRunIntegration, VerificationKeepsOnlyBackupsTheServerReadBack)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{kLogin, kPassword}};
    options.databases = {"Sales", "Damaged"};
    options.damagedBackupsOf = {"Damaged"};
    options.backupSize = 256 * 1024;
    m_server = std::make_unique<fakes::TdsTestServer>(options);
    ASSERT_TRUE(m_server->start()) << m_server->error();

    engine::BackupJob sales = job("Sales");
    sales.verify = true;
    const engine::RunResult verified = run(sales);
    EXPECT_TRUE(verified.completed()) << verified.row[engine::StatusBackupStatus];
    EXPECT_THAT(m_owner->logMessages(), ::testing::Contains("Backup verified for Database Sales"));
    const std::string salesFile = m_root + "/backups/Sales/temp/Sales.bak";
    EXPECT_THAT(m_server->commandsStartingWith("BACKUP")[0], ::testing::EndsWith(", CHECKSUM"));
    EXPECT_THAT(m_server->commandsStartingWith("RESTORE"),
                ElementsAre("RESTORE VERIFYONLY FROM DISK = N'" + salesFile + "' WITH CHECKSUM"));

    // An earlier backup, taken without verification, stays where it is.
    const std::string folder = m_root + "/backups/Damaged";
    EXPECT_TRUE(run(job("Damaged")).completed());
    ASSERT_THAT(fakes::FilesIn(folder), ElementsAre("Damaged.Bak"));
    const auto earlier = fs::last_write_time(folder + "/Damaged.Bak");

    engine::BackupJob damaged = job("Damaged");
    damaged.verify = true;
    const engine::RunResult refused = run(damaged);
    EXPECT_FALSE(refused.completed());
    EXPECT_FALSE(refused.backupDone);
    const std::string text = refused.row[engine::StatusBackupStatus];
    EXPECT_THAT(text, ::testing::StartsWith("Backup verification failed: Error Object : [FreeTDS][SQL Server] "
                                            "Error Contents : Damage to the backup set was detected."));
    EXPECT_EQ(m_owner->logMessages().back(), text);
    EXPECT_THAT(fakes::FilesIn(folder + "/temp"), IsEmpty());
    EXPECT_THAT(fakes::FilesIn(folder), ElementsAre("Damaged.Bak"));
    EXPECT_EQ(fs::last_write_time(folder + "/Damaged.Bak"), earlier);
    EXPECT_THAT(fakes::FilesIn(folder + "/Last Backup"), IsEmpty());

    // Without the option: no CHECKSUM, no RESTORE.
    EXPECT_THAT(m_server->commandsStartingWith("BACKUP")[1], ::testing::EndsWith("N'Full  Backup of  Damaged'"));
    EXPECT_EQ(m_server->commandsStartingWith("RESTORE").size(), 2u);
}

// While the server writes, the row shows how far it is, read from a second
// session; the final texts are as always, and a server that refuses to tell
// just shows none.
TEST_F(BackupRunIntegration, TheRowShowsTheServersProgress)
{
    for (const bool denied : {false, true}) {
        SCOPED_TRACE(denied ? "server state denied" : "server state readable");
        fakes::TdsTestServer::Options options;
        options.logins = {{kLogin, kPassword}};
        options.databases = {"Sales"};
        options.backupSize = 2 << 20;
        options.backupDelayMs = 3000; // long enough for several polls on a loaded machine
        options.denyServerState = denied;
        m_server = std::make_unique<fakes::TdsTestServer>(options);
        ASSERT_TRUE(m_server->start()) << m_server->error();

        struct Texts final : engine::StatusJournal::Observer {
            std::mutex mutex;
            std::vector<std::string> status;
            void rowInserted(int) override {}
            void cleared() override {}
            void cellChanged(int, int column, const std::string& text) override
            {
                std::lock_guard lock(mutex);
                if (column == engine::StatusBackupStatus)
                    status.push_back(text);
            }
        } texts;
        m_owner->statusJournal().addObserver(&texts);
        engine::BackupServices real = realTimeServices();
        real.progressInterval = 100ms;
        const engine::BackupJob sales = job("Sales");
        engine::BackupWorker worker(sales, real);
        const engine::RunResult result = worker.run();
        m_owner->statusJournal().removeObserver(&texts);

        EXPECT_TRUE(result.completed());
        EXPECT_EQ(result.row[engine::StatusBackupStatus], "Backup completed");
        std::vector<int> percents;
        for (const std::string& text : texts.status) {
            if (text.rfind("Backup is in progress ", 0) == 0 && text.back() == '%')
                percents.push_back(std::stoi(text.substr(22)));
        }
        if (denied) {
            EXPECT_THAT(percents, IsEmpty());
        } else {
            EXPECT_GE(percents.size(), 3u);
            EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
        }
        EXPECT_EQ(texts.status.back(), "Backup completed");
        EXPECT_THAT(m_server->commandsStartingWith("BACKUP"),
                    ElementsAre(::testing::EndsWith("WITH INIT, NAME = N'Full  Backup of  Sales'")));
        m_owner = std::make_unique<fakes::RecordingOwner>(m_root + "/BackupLog.log");
    }
}
