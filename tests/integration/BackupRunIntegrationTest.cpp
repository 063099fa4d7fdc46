// Backup runs end to end: the real ODBC driver against the wire-protocol test
// server, real files in a temporary folder, the real zip writer and mailer.

#include "engine/Archiver.h"
#include "engine/BackupOwner.h"
#include "engine/BackupScheduler.h"
#include "engine/BackupWorker.h"
#include "engine/Clock.h"
#include "engine/FileOps.h"
#include "engine/Mailer.h"

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "db/DbConnection.h"

#include "fakes/ManualClock.h"
#include "fakes/RecordingOwner.h"
#include "fakes/SmtpTestServer.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TestFiles.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

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
        std::string pattern = (fs::temp_directory_path() / "corvella-run-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        m_owner = std::make_unique<fakes::RecordingOwner>(m_root + "/BackupLog.log");
    }
    void TearDown() override
    {
        m_owner.reset();
        std::error_code ec;
        fs::remove_all(m_root, ec);
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
        job.owner = m_owner.get();
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

    engine::RunResult run(const engine::BackupJob& job)
    {
        engine::BackupWorker worker(job, services());
        return worker.run();
    }

    std::string m_root;
    std::unique_ptr<fakes::TdsTestServer> m_server;
    std::unique_ptr<fakes::RecordingOwner> m_owner;
    db::OdbcConnector m_connector;
    engine::ZipArchiver m_archiver{"/nonexistent/BackupConfig.ini"};
    engine::SmtpMailer m_mailer;
    engine::FileOps m_fileOps;
    fakes::ManualClock m_clock;
};

TEST_F(BackupRunIntegration, SuccessfulRunReachesTheServerAndRotatesOverSeveralRuns)
{
    startServer({"Sales"});
    const std::string folder = m_root + "/backups/Sales";

    const engine::RunResult first = run(job("Sales"));
    EXPECT_TRUE(first.completed);
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
        EXPECT_TRUE(run(keeping).completed);
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
    EXPECT_EQ(refused.row[engine::StatusBackupStatus], "Database Connection failed. Please check the DB info...");
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
    EXPECT_EQ(m_owner->logMessages().back(), failed.row[engine::StatusBackupStatus]);
    EXPECT_EQ(failed.row[engine::StatusFileSize], "");
    EXPECT_FALSE(fs::exists(m_root + "/backups/Sales/Last Backup"));
    EXPECT_EQ(m_owner->backupState().backupBusy(), 0);
}

TEST_F(BackupRunIntegration, AwkwardNamesAreBackedUpAsOneName)
{
    startServer({"Sales ", "Sales", "Q]u'ote"});

    const engine::RunResult blank = run(job("Sales "));
    EXPECT_TRUE(blank.completed);
    EXPECT_EQ(blank.row[engine::StatusDatabaseName], "Sales");
    EXPECT_THAT(fakes::FilesIn(m_root + "/backups/Sales"), ElementsAre("Sales .Bak"));

    const engine::RunResult quoted = run(job("Q]u'ote"));
    EXPECT_TRUE(quoted.completed) << quoted.row[engine::StatusBackupStatus];
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
    for (const std::string& name : names) {
        const int row = list.insertRow(list.rowCount());
        const std::string cells[] = {std::to_string(row + 1), m_server->dataSource(), name, kLogin, encoded,
                                     "1 Hours", m_root + "/backups", "False", "False", "False"};
        for (int c = 0; c < config::kConfigColumnCount; ++c)
            list.setCell(row, c, cells[c]);
    }
    engine::SystemClock clock;
    engine::BackupServices real = services();
    real.clock = &clock;
    real.pause = nullptr;
    engine::BackupScheduler scheduler(*m_owner, real);

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

    EXPECT_TRUE(result.completed);
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
    EXPECT_EQ(messages[0].attachmentName, "Sales.zip");
    std::ifstream zipped(folder + "/Sales.zip", std::ios::binary);
    const std::string archive((std::istreambuf_iterator<char>(zipped)), std::istreambuf_iterator<char>());
    EXPECT_EQ(messages[0].attachment, archive);
    EXPECT_EQ(std::system(("unzip -tqq '" + folder + "/Sales.zip' >/dev/null").c_str()), 0);
}
