// `corvella --backup-now` as a process: configuration file in, status table
// out, exit codes.

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "log/Log.h"

#include "fakes/RecordingOwner.h"
#include "fakes/TdsTestServer.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef CORVELLA_BINARY

namespace fs = std::filesystem;
using ::testing::HasSubstr;

extern char** environ;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the program in `folder` (its working folder) with stdout and stderr
// captured in files.
Outcome RunProgram(const std::string& folder, const std::vector<std::string>& args,
                   const std::string& input = "/dev/null")
{
    const std::string command = "cd '" + folder + "' && QT_QPA_PLATFORM=offscreen '" + std::string(CORVELLA_BINARY) + "'";
    std::string line = command;
    for (const std::string& arg : args)
        line += " '" + arg + "'";
    line += " >'" + folder + "/out.txt' 2>'" + folder + "/err.txt' <'" + input + "'";
    const int status = std::system(line.c_str());
    Outcome outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = ReadFile(folder + "/out.txt");
    outcome.err = ReadFile(folder + "/err.txt");
    return outcome;
}

} // namespace

class HeadlessIntegration : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (fs::temp_directory_path() / "corvella-headless-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        m_root = pattern;
        fakes::TdsTestServer::Options options;
        options.logins = {{"backup", "Backup#2024"}};
        options.databases = {"Sales", "Stock"};
        options.backupSize = 4096;
        m_server = std::make_unique<fakes::TdsTestServer>(options);
        ASSERT_TRUE(m_server->start()) << m_server->error();
    }
    void TearDown() override
    {
        m_server.reset();
        std::error_code ec;
        fs::remove_all(m_root, ec);
    }

    std::string writeConfig(const std::vector<std::pair<std::string, std::string>>& databases)
    {
        config::DatabaseList list;
        config::PasswordCodec codec;
        for (const auto& [name, password] : databases) {
            std::string encoded;
            EXPECT_EQ(codec.Encode(password, encoded), 0);
            const int row = list.insertRow(list.rowCount());
            const std::string cells[] = {std::to_string(row + 1), m_server->dataSource(), name, "backup", encoded,
                                         "1 Hours", m_root + "/backups", "False", "False", "False"};
            for (int c = 0; c < config::kConfigColumnCount; ++c)
                list.setCell(row, c, cells[c]);
        }
        const std::string path = m_root + "/BackupConfig.ini";
        logging::Log log(m_root + "/config.log");
        EXPECT_TRUE(config::SaveDatabaseList(path, list, log));
        return path;
    }

    std::string m_root;
    std::unique_ptr<fakes::TdsTestServer> m_server;
};

TEST_F(HeadlessIntegration, BackupNowPrintsEveryRunAndExitsByTheOutcome)
{
    const std::string config = writeConfig({{"Sales", "Backup#2024"}, {"Stock", "Backup#2024"}});
    Outcome ok = RunProgram(m_root, {"--backup-now", "--config", config});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    const std::vector<std::string> lines = [&] {
        std::vector<std::string> v;
        std::istringstream in(ok.out);
        for (std::string l; std::getline(in, l);)
            v.push_back(l);
        return v;
    }();
    ASSERT_EQ(lines.size(), 4u) << ok.out;
    EXPECT_THAT(lines[0], ::testing::MatchesRegex("Serial +Database Name +Backup Status +File Size +Backup Time +Email Status"));
    EXPECT_THAT(lines[2], ::testing::MatchesRegex("1 +S[a-z]+ +Backup completed +4096 +[0-9/]+  [0-9:]+"));
    EXPECT_THAT(lines[3], ::testing::MatchesRegex("2 +S[a-z]+ +Backup completed +4096 +[0-9/]+  [0-9:]+"));
    EXPECT_TRUE(fs::exists(m_root + "/backups/Sales/Sales.Bak"));
    EXPECT_TRUE(fs::exists(m_root + "/backups/Stock/Stock.Bak"));
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "Manual backup taken.");

    writeConfig({{"Sales", "Backup#2024"}, {"Stock", "wrong"}});
    Outcome failed = RunProgram(m_root, {"--backup-now", "--config", config});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_THAT(failed.out, HasSubstr("Database Connection failed. Please check the DB info..."));
    EXPECT_THAT(failed.out, HasSubstr("Backup completed"));
}

TEST_F(HeadlessIntegration, BadOrMissingConfigurationExitsWithTwo)
{
    Outcome missing = RunProgram(m_root, {"--backup-now", "--config", m_root + "/absent.ini"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_THAT(missing.err,
                HasSubstr("cannot read the configuration file '" + m_root + "/absent.ini': No such file or directory"));
    EXPECT_EQ(missing.out, "");

    std::ofstream(m_root + "/empty.ini") << "[EMAILSERVERINFO]\r\nSVRIP=127.0.0.1\r\n";
    Outcome empty = RunProgram(m_root, {"--service", "--config", m_root + "/empty.ini"});
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_THAT(empty.err, HasSubstr("lists no database"));

    Outcome usage = RunProgram(m_root, {"--backup-now", "--service"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_THAT(usage.err, HasSubstr("cannot be combined"));

    Outcome version = RunProgram(m_root, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_THAT(version.out, ::testing::StartsWith("corvella "));
}

TEST_F(HeadlessIntegration, EncodePasswordPrintsTheStoredFormOfStandardInput)
{
    config::PasswordCodec codec;
    for (const std::string password : {"Backup#2024", "Kennwo\xC3\xA4rter;}"}) {
        std::ofstream(m_root + "/password.txt") << password << "\n";
        Outcome encoded = RunProgram(m_root, {"--encode-password"}, m_root + "/password.txt");
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        ASSERT_FALSE(encoded.out.empty());
        EXPECT_EQ(encoded.out.back(), '\n');
        std::string decoded;
        EXPECT_EQ(codec.Decode(encoded.out.substr(0, encoded.out.size() - 1), decoded), 0);
        EXPECT_EQ(decoded, password);
        EXPECT_EQ(encoded.err.find(password), std::string::npos);
    }

    Outcome empty = RunProgram(m_root, {"--encode-password"});
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_THAT(empty.err, HasSubstr("no password on standard input"));
    EXPECT_EQ(empty.out, "");
}

TEST_F(HeadlessIntegration, ServiceRunsAtOnceAndStopsCleanlyOnSigterm)
{
    const std::string config = writeConfig({{"Sales", "Backup#2024"}});
    const std::string binary = CORVELLA_BINARY;
    pid_t pid = 0;
    const std::vector<std::string> args = {binary, "--service", "--config", config};
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, m_root.c_str());
    ASSERT_EQ(posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    const std::string backup = m_root + "/backups/Sales/Sales.Bak";
    for (int i = 0; i < 300 && !fs::exists(backup); ++i)
        usleep(50 * 1000);
    EXPECT_TRUE(fs::exists(backup));
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "Auto backup service started");
    EXPECT_EQ(log.back(), "Auto backup service stopped");
}

#endif
