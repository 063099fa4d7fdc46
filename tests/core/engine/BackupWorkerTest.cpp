#include "EngineTestSupport.h"

#include "engine/BackupFolders.h"
#include "engine/BackupSession.h"
#include "engine/FolderLock.h"
#include "engine/StatusJournal.h"
#include "fakes/TestFiles.h"

#include <gmock/gmock.h>

#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <thread>
#include <unistd.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Row = engine::StatusJournal::Row;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST_F(EngineTest, SuccessfulRunFillsItsRowSendsTheQuotedCommandAndRotatesTheFile)
{
    m_owner->backupState().manualRun = 1;
    const engine::RunResult result = run(job("Sales"));

    const Row expected{"1", "Sales", "Backup completed", "1234", "14/7/2014  9:5:3", ""};
    EXPECT_TRUE(result.completed());
    EXPECT_EQ(result.row, expected);
    EXPECT_THAT(m_owner->statusJournal().rows(), ElementsAre(expected));
    EXPECT_THAT(m_owner->logMessages(), ElementsAre("Backup Started for Database Sales"));
    EXPECT_THAT(m_connector.commands(),
                ElementsAre("BACKUP DATABASE [Sales] TO DISK = N'" + m_root
                            + "/backups/Sales/temp/Sales.bak' WITH INIT, NAME = N'Full  Backup of  Sales'"));
    EXPECT_THAT(m_connector.connectionStrings(),
                ElementsAre("Provider=SQLOLEDB.1;Data Source=127.0.0.1,1433;Initial Catalog=Sales;User ID=sa;"
                            "Password=secret;Persist Security Info=True;"));

    const std::string folder = m_root + "/backups/Sales";
    EXPECT_THAT(fakes::FilesIn(folder), ElementsAre("Sales.Bak"));
    EXPECT_EQ(fs::file_size(folder + "/Sales.Bak"), 1234u);
    EXPECT_THAT(fakes::FilesIn(folder + "/temp"), IsEmpty());
    EXPECT_TRUE(fs::is_directory(folder + "/Last Backup"));
    EXPECT_TRUE(fs::is_directory(folder + "/Old Backup"));

    EXPECT_EQ(m_connector.openConnections(), 0);
    EXPECT_THAT(m_owner->events(), ElementsAre("manualRunStarted", "runStarted 0 Sales", "manualRunEnded"));
    EXPECT_EQ(result.journalRow, 0);
}

struct FailureCase {
    std::string label;
    std::function<void(EngineTest&, engine::BackupJob&)> arrange;
    std::string status;
    std::vector<std::string> log;
};

void PrintTo(const FailureCase& c, std::ostream* os)
{
    *os << c.label;
}

class FailedRunTest : public EngineTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailedRunTest, ShowsWhyAndReleasesEverything)
{
    const FailureCase& c = GetParam();
    m_owner->backupState().manualRun = 1;
    engine::BackupJob j = job("Sales");
    c.arrange(*this, j);

    const engine::RunResult result = run(j);
    EXPECT_FALSE(result.completed());
    EXPECT_EQ(result.outcome, engine::RunOutcome::Failed);
    EXPECT_EQ(result.errorText, c.status);
    EXPECT_EQ(result.row, (Row{"1", "Sales", c.status, "", "", ""}));
    EXPECT_EQ(m_owner->statusJournal().rows(), std::vector<Row>{result.row});
    EXPECT_EQ(m_owner->logMessages(), c.log);
    EXPECT_EQ(m_owner->events().back(), "manualRunEnded");
    EXPECT_EQ(m_connector.openConnections(), 0);
    EXPECT_FALSE(fs::exists(m_root + "/backups/Sales/Last Backup"));
}

const std::string kServerError = "Error Object : [FreeTDS][SQL Server] Error Contents : Cannot open backup device.";

INSTANTIATE_TEST_SUITE_P(
    Paths, FailedRunTest,
    ::testing::Values(
        FailureCase{"TempFolder",
                    [](EngineTest& t, engine::BackupJob& j) {
                        std::ofstream(t.m_root + "/blocker") << "x";
                        j.backupPath = t.m_root + "/blocker";
                    },
                    "Temp directory creation error.",
                    {"Backup Started for Database Sales", "Temp directory creation error for database Sales"}},
        FailureCase{"Connection",
                    [](EngineTest& t, engine::BackupJob&) {
                        t.m_connector.refuseConnections("Login failed for user 'sa'.");
                    },
                    "Database Connection failed. Please check the DB info... Login failed for user 'sa'.",
                    {"Backup Started for Database Sales",
                     "Error: Database connection Error for DB Sales Error Message: Login failed for user 'sa'."}},
        FailureCase{"ServerError",
                    [](EngineTest& t, engine::BackupJob&) {
                        t.m_connector.setOnExecute([](const std::string&, std::string& error) {
                            error = kServerError;
                            return db::E_FAIL;
                        });
                    },
                    kServerError,
                    {"Backup Started for Database Sales", kServerError}},
        FailureCase{"ServerErrorWithoutText",
                    [](EngineTest& t, engine::BackupJob&) {
                        t.m_connector.setOnExecute([](const std::string&, std::string&) { return db::E_FAIL; });
                    },
                    "Backup failed for database Sales (error 0x80004005)",
                    {"Backup Started for Database Sales", "Backup failed for database Sales (error 0x80004005)"}}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.label; });

TEST_F(EngineTest, TempFolderFailureAlsoReachesTheOperatorAsAMessage)
{
    std::ofstream(m_root + "/blocker") << "x";
    engine::BackupJob j = job("Sales");
    j.backupPath = m_root + "/blocker";
    run(j);
    EXPECT_THAT(m_owner->messages(),
                ElementsAre("Error: Directory Creation Failed:" + m_root + "/blocker/Sales/temp. Please check the path"));
}

TEST(BackupCommand, NamesAndPathsCannotBreakOutOfTheirQuotes)
{
    struct Case {
        std::string name;
        std::string temp;
        std::string expected;
    };
    const Case cases[] = {
        {"x]; DROP DATABASE y --", "/b/t",
         "BACKUP DATABASE [x]]; DROP DATABASE y --] TO DISK = N'/b/t/x]; DROP DATABASE y --.bak' WITH INIT, "
         "NAME = N'Full  Backup of  x]; DROP DATABASE y --'"},
        {"O'Brien", "/b/O'Brien/temp",
         "BACKUP DATABASE [O'Brien] TO DISK = N'/b/O''Brien/temp/O''Brien.bak' WITH INIT, "
         "NAME = N'Full  Backup of  O''Brien'"},
        {"[Sales]", "/b/t", "BACKUP DATABASE [Sales] TO DISK = N'/b/t/[Sales].bak' WITH INIT, NAME = N'Full  Backup of  [Sales]'"},
        {"[a]]b]", "/b/t", "BACKUP DATABASE [a]]b] TO DISK = N'/b/t/[a]]b].bak' WITH INIT, NAME = N'Full  Backup of  [a]]b]'"},
        {"[a]b]", "/b/t", "BACKUP DATABASE [[a]]b]]] TO DISK = N'/b/t/[a]b].bak' WITH INIT, NAME = N'Full  Backup of  [a]b]'"},
        {"[x]; DROP DATABASE y; --]", "/b/t",
         "BACKUP DATABASE [[x]]; DROP DATABASE y; --]]] TO DISK = N'/b/t/[x]; DROP DATABASE y; --].bak' WITH INIT, "
         "NAME = N'Full  Backup of  [x]; DROP DATABASE y; --]'"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(engine::BackupWorker::BackupCommand(c.name, c.temp, c.name), c.expected) << c.name;
}

TEST_F(EngineTest, SizesBeyondFourGibibytesAreShown)
{
    m_connector.setOnExecute([](const std::string& command, std::string&) {
        const std::string path = fakes::ScriptedConnector::DiskPath(command);
        std::ofstream(path).close();
        fs::resize_file(path, 5ull << 30); // sparse
        return db::S_OK;
    });
    EXPECT_EQ(run(job("Big")).row[engine::StatusFileSize], "5368709120");
}

TEST_F(EngineTest, RowsPastOneThousandEmptyTheJournalAfterTheirOwnColumns)
{
    struct Case {
        int rowsBefore;
        bool failing;
        int rowsAfter;
    };
    for (const Case c : {Case{1000, false, 1001}, Case{1001, false, 0}, Case{1001, true, 1002}}) {
        SCOPED_TRACE(c.rowsBefore);
        engine::StatusJournal& journal = m_owner->statusJournal();
        journal.clear();
        for (int i = 0; i < c.rowsBefore; ++i)
            journal.insertRow(i);
        m_connector.setOnExecute(c.failing ? fakes::ScriptedConnector::ExecuteFn(
                                                 [](const std::string&, std::string& e) { e = "no"; return db::E_FAIL; })
                                           : fakes::ScriptedConnector::WriteBackupFile(7));
        engine::BackupJob j = job("Sales");
        j.zip = true;
        j.email = true;
        const engine::RunResult result = run(j);
        EXPECT_EQ(journal.rowCount(), c.rowsAfter);
        EXPECT_EQ(result.row[engine::StatusSerial], std::to_string(c.rowsBefore + 1));
        if (!c.failing) {
            EXPECT_EQ(result.row[engine::StatusBackupStatus], "Zip Completed");
            EXPECT_EQ(result.row[engine::StatusEmailStatus], "Email Sent");
        }
    }
}

struct StepCase {
    std::string label;
    bool zip;
    bool email;
    bool zipFails;
    mail::Delivery mailAnswer;
    Row row;
    std::vector<std::string> log;
    std::string attachment; // file name in temp, empty when no mail
    std::vector<std::string> rotated;
    bool completed;
};

void PrintTo(const StepCase& c, std::ostream* os)
{
    *os << c.label;
}

class StepTest : public EngineTest, public ::testing::WithParamInterface<StepCase> {};

TEST_P(StepTest, CompressionAndMailTextsAttachmentAndRotation)
{
    const StepCase& c = GetParam();
    m_archiver.setFails(c.zipFails);
    m_mailer.setAnswer(c.mailAnswer);
    std::vector<std::string> statusTexts;
    struct Observer : engine::StatusJournal::Observer {
        std::vector<std::string>& texts;
        explicit Observer(std::vector<std::string>& t) : texts(t) {}
        void rowInserted(int) override {}
        void cellChanged(int, int column, const std::string& text) override
        {
            if (column == engine::StatusBackupStatus)
                texts.push_back(text);
        }
        void cleared() override {}
    } observer(statusTexts);
    m_owner->statusJournal().addObserver(&observer);
    config::MailSettings mail;
    mail.recipient = "dba@example.org";
    m_owner->setMailSettings(mail);

    engine::BackupJob j = job("Sales");
    j.zip = c.zip;
    j.email = c.email;
    const engine::RunResult result = run(j);
    m_owner->statusJournal().removeObserver(&observer);

    EXPECT_EQ(result.row, c.row);
    EXPECT_EQ(result.completed(), c.completed);
    EXPECT_EQ(m_owner->logMessages(), c.log);
    EXPECT_EQ(fakes::FilesIn(m_root + "/backups/Sales"), c.rotated);
    EXPECT_THAT(fakes::FilesIn(m_root + "/backups/Sales/temp"), IsEmpty());
    if (c.attachment.empty()) {
        EXPECT_THAT(m_mailer.calls(), IsEmpty());
    } else {
        ASSERT_EQ(m_mailer.calls().size(), 1u);
        EXPECT_EQ(m_mailer.calls()[0].attachment, m_root + "/backups/Sales/temp/" + c.attachment);
        EXPECT_EQ(m_mailer.calls()[0].settings.recipient, "dba@example.org");
    }
    if (c.zip) {
        ASSERT_EQ(m_archiver.calls().size(), 1u);
        EXPECT_EQ(m_archiver.calls()[0].source, m_root + "/backups/Sales/temp/Sales.Bak");
        EXPECT_EQ(m_archiver.calls()[0].archive, m_root + "/backups/Sales/temp/Sales.zip");
        EXPECT_THAT(statusTexts, ::testing::Contains("Compressing in zip format 50%"));
    }
}

const std::string kStarted = "Backup Started for Database Sales";
const std::string kZipped = "Zip Completed for  and backup name: Sales.zip";

INSTANTIATE_TEST_SUITE_P(
    Steps, StepTest,
    ::testing::Values(
        StepCase{"ZipAndMail", true, true, false, {true, "Email Sent"},
                 Row{"1", "Sales", "Zip Completed", "1234", "14/7/2014  9:5:3", "Email Sent"},
                 {kStarted, kZipped, "Email Sent Attached Backup Name: Sales"}, "Sales.zip", {"Sales.zip"}, true},
        StepCase{"ZipFailsTheRowSaysSoAndTheMailAttachesTheBackup", true, true, true, {true, "Email Sent"},
                 Row{"1", "Sales", engine::kCompressionFailedText, "1234", "14/7/2014  9:5:3", "Email Sent"},
                 {kStarted, "Email Sent Attached Backup Name: Sales"}, "Sales.Bak", {"Sales.Bak"}, false},
        StepCase{"MailWithoutZipAttachesTheBackup", false, true, false, {false, "Internet not available."},
                 Row{"1", "Sales", "Backup completed", "1234", "14/7/2014  9:5:3", "Internet not available."},
                 {kStarted, "Internet not available. Attached Backup Name: Sales"}, "Sales.Bak", {"Sales.Bak"},
                 false},
        StepCase{"ZipOnly", true, false, false, {},
                 Row{"1", "Sales", "Zip Completed", "1234", "14/7/2014  9:5:3", ""}, {kStarted, kZipped}, "",
                 {"Sales.zip"}, true}),
    [](const ::testing::TestParamInfo<StepCase>& info) { return info.param.label; });

TEST_F(EngineTest, DeletionAfterCompressionRetriesEveryHalfSecondForAtMostThirtySeconds)
{
    engine::BackupJob j = job("Sales");
    j.zip = true;

    m_fileOps.failRemovals(3);
    EXPECT_EQ(run(j).row[engine::StatusBackupStatus], "Zip Completed");
    EXPECT_EQ(m_fileOps.removeAttempts(), 4);
    EXPECT_THAT(pauses(), ElementsAre(500ms, 500ms, 500ms));
    EXPECT_THAT(fakes::FilesIn(m_root + "/backups/Sales"), ElementsAre("Sales.zip"));

    m_fileOps.failRemovals(-1);
    const engine::RunResult result = run(j);
    EXPECT_EQ(result.row[engine::StatusBackupStatus], "Zip Completed");
    EXPECT_EQ(m_fileOps.removeAttempts(), 4 + 61);
    const auto allPauses = pauses();
    EXPECT_EQ(std::count(allPauses.begin(), allPauses.end(), 500ms), 3 + 60);
    const std::string file = m_root + "/backups/Sales/temp/Sales.Bak";
    EXPECT_THAT(m_owner->logMessages(),
                ElementsAre(kStarted, kZipped, kStarted,
                            "Cannot delete the backup file '" + file + "' after compression: Device or resource busy",
                            kZipped));
}

// The result says what each step did, for history and alerts to read
// without parsing the row's texts.
TEST_F(EngineTest, TheResultTellsWhatEachStepOfTheRunDid)
{
    const auto writeOrVerify = [](const std::string& command, std::string& error) {
        if (command.starts_with("RESTORE VERIFYONLY"))
            return db::S_OK;
        return fakes::ScriptedConnector::WriteBackupFile(1234)(command, error);
    };
    m_connector.setOnExecute(writeOrVerify);
    engine::BackupJob j = job("Sales");
    j.zip = true;
    j.email = true;
    j.verify = true;
    const engine::RunResult done = run(j);
    EXPECT_EQ(done.outcome, engine::RunOutcome::Completed);
    EXPECT_EQ(done.backupFileName, "Sales.zip");
    EXPECT_EQ(done.backupBytes, 1234);
    EXPECT_EQ(done.archiveBytes, 1234); // the fake archiver copies
    EXPECT_EQ(done.verification, engine::Verification::Passed);
    EXPECT_EQ(done.mail, engine::MailOutcome::Sent);
    EXPECT_EQ(done.mailText, "Email Sent");
    EXPECT_EQ(done.errorText, "");
    const auto localStart = std::chrono::system_clock::from_time_t(1405328703); // 2014-07-14 09:05:03 as UTC
    EXPECT_EQ(done.startTime, localStart);
    EXPECT_EQ(done.endTime, localStart);

    // The program ends while the server writes: the finished backup is kept
    // and rotated, the archive and the mail are skipped, and the run is
    // neither completed nor failed.
    std::stop_source ending;
    m_connector.setOnExecute([&](const std::string& command, std::string& error) {
        ending.request_stop();
        return writeOrVerify(command, error);
    });
    j.verify = false;
    engine::BackupWorker worker(j, services());
    const engine::RunResult stopped = worker.run(ending.get_token());
    EXPECT_EQ(stopped.outcome, engine::RunOutcome::Stopped);
    EXPECT_TRUE(stopped.backupDone);
    EXPECT_EQ(stopped.backupFileName, "Sales.Bak");
    EXPECT_EQ(stopped.archiveBytes, 0);
    EXPECT_EQ(stopped.verification, engine::Verification::NotAsked);
    EXPECT_EQ(stopped.mail, engine::MailOutcome::Skipped);
    EXPECT_EQ(stopped.mailText, engine::kMailSkippedText);
    EXPECT_EQ(stopped.errorText, engine::kStoppedText);
    EXPECT_THAT(fakes::FilesIn(m_root + "/backups/Sales"), ElementsAre("Sales.Bak"));
    EXPECT_THAT(fakes::FilesIn(m_root + "/backups/Sales/Last Backup"), ElementsAre("Sales.zip"));
}

namespace {

// Every path below `root` with its kind, to compare a tree before and after.
std::vector<std::string> TreeOf(const std::string& root)
{
    std::vector<std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (entry.path().filename() == "BackupLog.log")
            continue;
        entries.push_back(entry.path().string() + (entry.is_directory() ? "/" : ""));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

} // namespace

// A row edited by hand may hold a name that is no folder name: the run says
// so and touches nothing, not even before it connects.
TEST_F(EngineTest, ANameThatIsNoFolderNameIsRefusedAndNothingOutsideIsTouched)
{
    const std::string backups = m_root + "/parent/backups";
    fs::create_directories(backups + "/Sales/temp");
    std::ofstream(m_root + "/parent/important.txt") << "keep";
    std::ofstream(backups + "/other.txt") << "keep";
    const auto before = TreeOf(m_root);

    for (const std::string name : {"..", ".", "../../../x", " .. ", "", "   ", "a/b", "line\nbreak", "bell\a"}) {
        engine::BackupJob j = job(name);
        j.backupPath = backups;
        j.keepOld = true;
        const engine::RunResult result = run(j);
        EXPECT_FALSE(result.completed()) << name;
        EXPECT_EQ(result.row[engine::StatusBackupStatus], engine::kInvalidDatabaseNameText) << name;
        EXPECT_THAT(m_owner->logMessages().back(), ::testing::EndsWith(std::string("' refused. ")
                                                                       + engine::kInvalidDatabaseNameText));
    }
    EXPECT_EQ(TreeOf(m_root), before);
    EXPECT_THAT(m_connector.commands(), IsEmpty());
    // Control characters are spelled out: every event stays one log line.
    EXPECT_THAT(m_owner->logMessages(), ::testing::Contains("Backup of database 'line\\nbreak' refused. "
                                                            + std::string(engine::kInvalidDatabaseNameText)));
}

// What an interrupted run left in temp (a partial ".bak", a half-written
// archive) is deleted, said in the log, and never rotated as a backup.
// Two interrupted runs left their files in temp: one killed between the two
// renames of its rotation (its complete backup still in temp, the database
// folder already moved on), one killed while zipping the next backup, and one
// killed while the server wrote. The next run finishes the rotations first,
// even when its own login then fails; what may be incomplete goes only once a
// run's own backup is complete, and a file the operator put there stays.
TEST_F(EngineTest, AnInterruptedRotationIsFinishedFirstAndUnfinishedFilesGoOnlyAfterANewBackup)
{
    const std::string folder = m_root + "/backups/Sales";
    const std::string temp = folder + "/temp";
    fs::create_directories(temp);
    fs::create_directories(folder + "/Last Backup");
    fs::create_directories(folder + "/Old Backup");
    const auto put = [](const std::string& path, const std::string& text, int hoursAgo) {
        std::ofstream(path) << text;
        fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::hours(hoursAgo));
    };
    put(folder + "/Last Backup/Sales20140712090000.Bak", "two runs ago", 48);
    put(temp + "/Sales20140713090000.Bak", "complete, rotation cut short", 24);
    put(temp + "/Sales20140714080000.Bak", "complete, zipped next", 2);
    put(temp + "/Sales20140714080000.zip", "complete archive", 2);
    const std::vector<std::string> unfinished
        = {"Sales20140714085000.bak", ".Sales20140714085000.zip.Ab12Cd", "corvella-check-77-0.chk"};
    for (const std::string& name : unfinished)
        put(temp + "/" + name, "partial", 1);
    put(temp + "/notes.txt", "the operator's", 1);

    engine::BackupJob j = job("Sales");
    j.keepOld = true;
    m_connector.refuseConnections("Login failed for user 'sa'.");
    EXPECT_FALSE(run(j).completed());
    EXPECT_THAT(fakes::FilesIn(folder), ElementsAre("Sales20140714080000.zip"));
    EXPECT_THAT(fakes::FilesIn(folder + "/Last Backup"), ElementsAre("Sales20140713090000.Bak"));
    EXPECT_THAT(fakes::FilesIn(folder + "/Old Backup"), ElementsAre("Sales20140712090000.Bak"));
    EXPECT_THAT(fakes::FilesIn(temp), ElementsAre(".Sales20140714085000.zip.Ab12Cd", "Sales20140714085000.bak",
                                                  "corvella-check-77-0.chk", "notes.txt"));
    const auto firstLog = m_owner->logMessages();
    EXPECT_THAT(firstLog, ::testing::Contains("Rotated '" + temp + "/Sales20140713090000.Bak', a complete backup an "
                                              "interrupted run left in the temp folder, into '" + folder + "'"));
    EXPECT_THAT(firstLog, ::testing::Contains("Removed '" + temp + "/Sales20140714080000.Bak', left in the temp "
                                              "folder by an interrupted run: its archive is complete"));
    EXPECT_THAT(firstLog, ::testing::Contains("Left '" + temp + "/notes.txt' in the temp folder: Corvella did not "
                                              "write it"));

    m_connector.acceptConnections();
    EXPECT_TRUE(run(j).completed());
    EXPECT_THAT(fakes::FilesIn(folder), ElementsAre("Sales20140714090503.Bak"));
    EXPECT_THAT(fakes::FilesIn(folder + "/Last Backup"), ElementsAre("Sales20140714080000.zip"));
    EXPECT_THAT(fakes::FilesIn(folder + "/Old Backup"),
                ElementsAre("Sales20140712090000.Bak", "Sales20140713090000.Bak"));
    EXPECT_THAT(fakes::FilesIn(temp), ElementsAre("notes.txt"));
    const auto log = m_owner->logMessages();
    for (const std::string& name : unfinished)
        EXPECT_THAT(log, ::testing::Contains("Removed '" + temp + "/" + name + "', left in the temp folder by an "
                                             "interrupted run"));
}

// A run whose database folder another copy of the program holds touches
// nothing there, not the other copy's unfinished file in temp, and fails;
// once the folder is free the next run goes ahead.
TEST_F(EngineTest, ARunWhoseFolderAnotherCopyHoldsTouchesNothingAndFails)
{
    const std::string folder = m_root + "/backups/Sales";
    fs::create_directories(folder + "/temp");
    std::ofstream(folder + "/temp/Sales.bak") << "being written";
    engine::FolderLock other;
    pid_t holder = 0;
    std::string error;
    ASSERT_EQ(other.acquire(folder, holder, error), engine::FolderLock::Result::Acquired) << error;

    const engine::RunResult skipped = run(job("Sales"));
    const std::string text
        = "Backup of database Sales skipped: another copy of Corvella (process " + std::to_string(::getpid())
        + ") is backing it up";
    EXPECT_EQ(skipped.outcome, engine::RunOutcome::Failed);
    EXPECT_EQ(skipped.row[engine::StatusBackupStatus], text);
    EXPECT_EQ(skipped.errorText, text);
    EXPECT_EQ(m_owner->logMessages(), (std::vector<std::string>{"Backup Started for Database Sales", text}));
    EXPECT_THAT(m_connector.connectionStrings(), IsEmpty());
    EXPECT_THAT(fakes::FilesIn(folder + "/temp"), ElementsAre("Sales.bak"));

    other.release();
    EXPECT_TRUE(run(job("Sales")).completed());
    EXPECT_THAT(fakes::FilesIn(folder), ElementsAre("Sales.Bak"));
}

// A move of the rotation that fails is shown and logged, and the run does not
// count as a success.
TEST_F(EngineTest, AFailedRotationIsShownLoggedAndFailsTheRun)
{
    const std::string folder = m_root + "/backups/Sales";
    fs::create_directories(folder);
    std::ofstream(folder + "/Last Backup") << "a file where the folder belongs";
    std::ofstream(folder + "/Sales.Bak") << "previous";

    const engine::RunResult result = run(job("Sales"));
    EXPECT_FALSE(result.completed());
    EXPECT_TRUE(result.backupDone);
    const std::string failure = "Cannot move '" + folder + "/Sales.Bak' to '" + folder
        + "/Last Backup/Sales.Bak': Not a directory";
    EXPECT_EQ(result.row[engine::StatusBackupStatus],
              std::string(engine::kRotationFailedText) + "Cannot read folder '" + folder + "/Last Backup': Not a directory");
    EXPECT_THAT(m_owner->logMessages(), ::testing::Contains(failure));
    // The new backup still takes the place of the one that could not move on.
    EXPECT_EQ(fs::file_size(folder + "/Sales.Bak"), 1234u);
}
