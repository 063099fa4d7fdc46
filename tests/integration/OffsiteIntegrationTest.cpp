// Offsite copies as runs make them: the real ODBC driver against the
// wire-protocol test server, the real zip writer, and the S3 test server
// (s3rver behind a Signature Version 4 check, as another account).

#include "engine/Archiver.h"
#include "engine/BackupSession.h"
#include "engine/BackupWorker.h"
#include "engine/FileOps.h"
#include "engine/OffsitePhase.h"
#include "engine/OffsiteStore.h"

#include "engine/SettingsStore.h"
#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "db/DbConnection.h"
#include "log/Log.h"

#include "fakes/ManualClock.h"
#include "fakes/RecordingOwner.h"
#include "fakes/S3TestServer.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"

#include <gmock/gmock.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <regex>

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::MatchesRegex;

namespace {

constexpr const char* kLogin = "backup";
constexpr const char* kPassword = "Backup#2024";
const std::string kDatabase = "Geh\xC3\xA4lter 2024";
constexpr const char* kSignatureRefusal =
    "HTTP 403 SignatureDoesNotMatch: The request signature we calculated does not match the signature you "
    "provided. Check your key and signing method.";

// Keeps every text the status cell of the runs showed, in order.
class StatusTexts final : public engine::StatusJournal::Observer {
public:
    void rowInserted(int) override {}
    void cleared() override {}
    void cellChanged(int, int column, const std::string& text) override
    {
        std::lock_guard guard(m_mutex);
        if (column == engine::StatusBackupStatus)
            m_texts.push_back(text);
    }
    std::vector<std::string> texts() const
    {
        std::lock_guard guard(m_mutex);
        return m_texts;
    }

private:
    mutable std::mutex m_mutex; // guards m_texts
    std::vector<std::string> m_texts;
};

std::vector<std::string> Keys(const std::vector<fakes::S3Object>& objects)
{
    std::vector<std::string> keys;
    for (const auto& object : objects)
        keys.push_back(object.key);
    return keys;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

} // namespace

class OffsiteRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_root = m_folder.root();
        fakes::TdsTestServer::Options tds;
        tds.logins = {{kLogin, kPassword}};
        tds.databases = {kDatabase};
        tds.backupSize = 300 * 1024;
        m_tds = std::make_unique<fakes::TdsTestServer>(tds);
        ASSERT_TRUE(m_tds->start()) << m_tds->error();
        ASSERT_TRUE(m_s3.start()) << m_s3.error();
        m_owner = std::make_unique<fakes::RecordingOwner>(m_root + "/BackupLog.log");
        m_owner->statusJournal().addObserver(&m_status);
        m_clock.setLocalTime(2024, 7, 14, 9, 5, 3);
    }
    void TearDown() override
    {
        m_owner->statusJournal().removeObserver(&m_status);
        m_owner.reset();
    }

    engine::BackupJob job(const std::string& secret = {})
    {
        engine::BackupJob job;
        job.databaseUrl = m_tds->dataSource();
        job.databaseName = kDatabase;
        job.userName = kLogin;
        job.password = kPassword;
        job.backupPath = m_root + "/backups";
        job.owner = &m_owner->session();
        job.zip = true;
        job.keepOld = true;
        job.offsite.url = "s3://backups/nightly/";
        job.offsite.endpoint = m_s3.endpoint();
        job.offsite.accessKey = m_s3.options().credentials.front().first;
        job.offsite.secret = secret.empty() ? m_s3.options().credentials.front().second : secret;
        job.offsite.keep = 2;
        return job;
    }

    engine::RunResult run(const engine::BackupJob& job)
    {
        engine::BackupServices services;
        services.connector = &m_connector;
        services.archiver = &m_archiver;
        services.offsite = &m_store;
        services.clock = &m_clock;
        services.fileOps = &m_fileOps;
        services.pause = [](std::chrono::milliseconds) {};
        engine::BackupWorker worker(job, services);
        return worker.run();
    }

    std::string folderKey() const { return "nightly/" + m_tds->dataSource() + "/" + kDatabase + "/"; }

    fakes::TempFolder m_folder{"corvella-offsite-run"};
    std::string m_root;
    std::unique_ptr<fakes::TdsTestServer> m_tds;
    fakes::S3TestServer m_s3;
    std::unique_ptr<fakes::RecordingOwner> m_owner;
    StatusTexts m_status;
    db::OdbcConnector m_connector;
    engine::ZipArchiver m_archiver{std::make_shared<engine::SettingsStore>("/nonexistent/BackupConfig.ini")};
    engine::S3OffsiteStore m_store{std::nullopt};
    engine::FileOps m_fileOps;
    fakes::ManualClock m_clock;
};

TEST_F(OffsiteRun, EveryRunIsCopiedAndOnlyTheNewestKeepRemainOffsite)
{
    const std::string databaseFolder = m_root + "/backups/" + kDatabase;
    std::vector<std::string> names;
    for (int day = 14; day <= 16; ++day) {
        m_clock.setLocalTime(2024, 7, day, 9, 5, 3);
        names.push_back(kDatabase + "202407" + std::to_string(day) + "090503.zip");
        const engine::RunResult result = run(job());
        ASSERT_TRUE(result.completed()) << result.row[engine::StatusBackupStatus];
        EXPECT_EQ(result.row[engine::StatusBackupStatus], engine::kZipCompletedText);
        // What went offsite is the rotated archive, byte for byte.
        const auto objects = m_s3.objects();
        const auto copy = std::find_if(objects.begin(), objects.end(),
                                       [&](const auto& o) { return o.key == folderKey() + names.back(); });
        ASSERT_NE(copy, objects.end());
        EXPECT_EQ(fakes::FileSha256(copy->path), fakes::FileSha256(databaseFolder + "/" + names.back()));
    }
    EXPECT_THAT(Keys(m_s3.objects()), ElementsAre(folderKey() + names[1], folderKey() + names[2]));
    // Locally the rotation keeps its own generations, offsite retention aside.
    EXPECT_THAT(fakes::FilesIn(databaseFolder), ElementsAre(names[2]));
    EXPECT_THAT(fakes::FilesIn(databaseFolder + "/Old Backup"), ElementsAre(names[0]));

    const auto texts = m_status.texts();
    EXPECT_THAT(texts, Contains("Uploading 0%"));
    EXPECT_THAT(texts, Contains("Uploading 100%"));
    const auto log = m_owner->logMessages();
    int uploaded = 0;
    for (const std::string& line : log) {
        if (std::regex_match(line, std::regex("Offsite copy of Database " + kDatabase
                                              + " uploaded \\([0-9]+\\.[0-9] MB in [0-9]+\\.[0-9] s\\)")))
            ++uploaded;
    }
    EXPECT_EQ(uploaded, 3);
    EXPECT_THAT(log, Contains("Offsite copy '" + folderKey() + names[0] + "' deleted: Database " + kDatabase
                              + " keeps the newest 2"));
    for (const auto& request : m_s3.requests()) {
        EXPECT_EQ(request.signature, "ok") << request.method << " " << request.url;
        if (!request.key.empty()) {
            EXPECT_THAT(request.url, HasSubstr("/127.0.0.1%2C"));
        }
    }
}

TEST_F(OffsiteRun, ARefusedCopyFailsTheRunAndKeepsEveryLocalFile)
{
    ASSERT_TRUE(run(job()).completed());
    m_clock.setLocalTime(2024, 7, 15, 9, 5, 3);
    const std::string wrongSecret = "Wrong/Secret+Key=1";
    const engine::RunResult failed = run(job(wrongSecret));

    EXPECT_FALSE(failed.completed());
    EXPECT_EQ(failed.errorText, engine::kOffsiteFailedText + std::string("storing '") + folderKey() + kDatabase + "20240715090503.zip' was refused: " + kSignatureRefusal);
    EXPECT_TRUE(failed.backupDone);
    const std::string key = folderKey() + kDatabase + "20240715090503.zip";
    const std::string reason = "storing '" + key + "' was refused: " + kSignatureRefusal;
    EXPECT_EQ(failed.row[engine::StatusBackupStatus], engine::kOffsiteFailedText + reason);
    EXPECT_THAT(failed.logLines, Contains("Offsite copy of Database " + kDatabase + " failed: " + reason));
    // The new backup and the one before it are where the rotation put them.
    const std::string databaseFolder = m_root + "/backups/" + kDatabase;
    EXPECT_THAT(fakes::FilesIn(databaseFolder), ElementsAre(kDatabase + "20240715090503.zip"));
    EXPECT_THAT(fakes::FilesIn(databaseFolder + "/Last Backup"), ElementsAre(kDatabase + "20240714090503.zip"));
    EXPECT_THAT(Keys(m_s3.objects()), ElementsAre(folderKey() + kDatabase + "20240714090503.zip"));
    EXPECT_EQ(ReadAll(m_root + "/BackupLog.log").find(wrongSecret), std::string::npos);
}

#ifdef CORVELLA_CLI_BINARY

#include "ProgramRunner.h"

// The program itself, with the offsite options in its settings file.
class OffsiteProgram : public ::testing::Test {
protected:
    static constexpr std::uint64_t kBackupSize = 80ull * 1024 * 1024;

    void startServers(const std::string& faults)
    {
        m_root = m_folder.root();
        fakes::TdsTestServer::Options tds;
        tds.logins = {{kLogin, kPassword}};
        tds.databases = {"Sales"};
        tds.backupSize = kBackupSize;
        m_tds = std::make_unique<fakes::TdsTestServer>(tds);
        ASSERT_TRUE(m_tds->start()) << m_tds->error();
        fakes::S3TestServer::Options s3;
        s3.faults = faults;
        m_s3 = std::make_unique<fakes::S3TestServer>(s3);
        ASSERT_TRUE(m_s3->start()) << m_s3->error();
    }

    std::string writeConfig(const std::string& secret)
    {
        config::DatabaseList list;
        config::PasswordCodec codec;
        std::string encoded;
        EXPECT_EQ(codec.Encode(kPassword, encoded), 0);
        const int row = list.insertRow(0);
        const std::string cells[] = {"1", m_tds->dataSource(), "Sales", kLogin, encoded, "1 Hours",
                                     m_root + "/backups", "False", "False", "False"};
        for (int c = 0; c < config::kConfigColumnCount; ++c)
            list.setCell(row, c, cells[c]);
        const std::string file = m_root + "/BackupConfig.ini";
        logging::Log log(m_root + "/config.log");
        EXPECT_TRUE(config::SaveDatabaseList(file, list, log));
        std::string encodedSecret;
        EXPECT_EQ(codec.Encode(secret, encodedSecret), 0);
        std::ofstream(file, std::ios::app) << "[OPTIONS]\nOFFSITE_URL=s3://backups/corvella\nOFFSITE_ENDPOINT="
                                           << m_s3->endpoint() << "\nOFFSITE_ACCESS_KEY="
                                           << m_s3->options().credentials.front().first
                                           << "\nOFFSITE_SECRET=" << encodedSecret << "\nOFFSITE_KEEP=3\n";
        return file;
    }

    std::string key() const { return "corvella/" + m_tds->dataSource() + "/Sales/Sales.Bak"; }

    // Waits until the program has started the multipart upload and sent
    // some of it.
    bool waitForUploadUnderWay(pid_t pid)
    {
        for (int i = 0; i < 3000; ++i) {
            if (!m_s3->unfinishedUploads().empty() && ::waitpid(pid, nullptr, WNOHANG) == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    fakes::TempFolder m_folder{"corvella-offsite-program"};
    std::string m_root;
    std::unique_ptr<fakes::TdsTestServer> m_tds;
    std::unique_ptr<fakes::S3TestServer> m_s3;
};

TEST_F(OffsiteProgram, AKilledUploadCountsForNothingAndTheNextRunClearsItsParts)
{
    // The first two parts crawl, so that the kill lands mid-upload.
    startServers(R"([{"type":"throttle","match":{"method":"PUT"},"bytesPerSecond":1048576,"times":2}])");
    const std::string config = writeConfig(m_s3->options().credentials.front().second);
    const pid_t killed = integration::StartProgram(m_root, {"--backup-now", "--config", config});
    ASSERT_TRUE(waitForUploadUnderWay(killed)) << ReadAll(m_root + "/err.txt");
    ::kill(killed, SIGKILL);
    EXPECT_EQ(integration::WaitForExit(killed), 128 + SIGKILL);
    EXPECT_THAT(Keys(m_s3->objects()), IsEmpty());
    EXPECT_THAT(m_s3->unfinishedUploads(), ElementsAre(key()));

    integration::Launch second;
    second.outputName = "next";
    const pid_t next = integration::StartProgram(m_root, {"--backup-now", "--config", config}, second);
    EXPECT_EQ(integration::WaitForExit(next), 0) << ReadAll(m_root + "/next.out");
    EXPECT_THAT(m_s3->unfinishedUploads(), IsEmpty());
    const auto objects = m_s3->objects();
    ASSERT_THAT(Keys(objects), ElementsAre(key()));
    EXPECT_EQ(objects[0].size, kBackupSize);
    EXPECT_EQ(fakes::FileSha256(objects[0].path), fakes::FileSha256(m_root + "/backups/Sales/Sales.Bak"));
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_THAT(log, Contains("Unfinished offsite upload '" + key() + "' of Database Sales aborted"));
    EXPECT_THAT(log, Contains(MatchesRegex("Offsite copy of Database Sales uploaded \\(80\\.0 MB in [0-9.]+ s\\)")));
}

TEST_F(OffsiteProgram, SigtermMidUploadAbortsItAndEnvironmentCredentialsWin)
{
    startServers(R"([{"type":"throttle","match":{"method":"PUT"},"bytesPerSecond":1048576,"times":2}])");
    // The settings file holds a wrong secret; the environment's pair wins.
    const std::string config = writeConfig("not-the-secret");
    ::setenv("AWS_ACCESS_KEY_ID", m_s3->options().credentials.front().first.c_str(), 1);
    ::setenv("AWS_SECRET_ACCESS_KEY", m_s3->options().credentials.front().second.c_str(), 1);
    const pid_t stopped = integration::StartProgram(m_root, {"--backup-now", "--config", config});
    ::unsetenv("AWS_ACCESS_KEY_ID");
    ::unsetenv("AWS_SECRET_ACCESS_KEY");
    ASSERT_TRUE(waitForUploadUnderWay(stopped)) << ReadAll(m_root + "/err.txt");
    ::kill(stopped, SIGTERM);
    EXPECT_EQ(integration::WaitForExit(stopped), 1);
    EXPECT_THAT(m_s3->unfinishedUploads(), IsEmpty());
    EXPECT_THAT(Keys(m_s3->objects()), IsEmpty());
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_THAT(log, Contains("Offsite copy of Database Sales failed: stopped because the program is ending"));
    // The backup itself is kept where the rotation put it.
    EXPECT_TRUE(fs::exists(m_root + "/backups/Sales/Sales.Bak"));
    for (const auto& request : m_s3->requests())
        EXPECT_EQ(request.signature, "ok") << request.method << " " << request.url;
}

#endif
