#include "fakes/TdsTestServer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// Runs FreeTDS's own command-line client against the server with `script`
// on its standard input; gives its combined output.
std::string RunTsql(const fakes::TdsTestServer& server, const std::string& user, const std::string& password,
                    const std::string& database, const std::string& script, const char* tdsVersion = "7.4")
{
    const fs::path input = fs::temp_directory_path() / ("corvella-tsql-" + std::to_string(getpid()) + ".sql");
    std::ofstream(input) << script << "\nexit\n";
    auto quote = [](const std::string& s) {
        std::string out = "'";
        for (char c : s)
            out += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return out + "'";
    };
    const std::string command = std::string("TDSVER=") + tdsVersion + " timeout 60 tsql -H 127.0.0.1 -p "
        + std::to_string(server.port()) + " -U " + quote(user) + " -P " + quote(password) + " -D "
        + quote(database) + " < " + quote(input.string()) + " 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, n);
        pclose(pipe);
    }
    fs::remove(input);
    return output;
}

class TdsServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (system("command -v tsql >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "tsql (freetds-bin) is not installed";
        fakes::TdsTestServer::Options options;
        options.logins = {{"sa", "Pa;ss}"}};
        options.databases = {"Sales", "O'Hare"};
        options.backupSize = 3 * 8192 + 17;
        m_server = std::make_unique<fakes::TdsTestServer>(options);
        ASSERT_TRUE(m_server->start()) << m_server->error();
        m_folder = fs::temp_directory_path() / ("corvella-tsql-" + std::to_string(getpid()));
        fs::create_directories(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    std::unique_ptr<fakes::TdsTestServer> m_server;
    fs::path m_folder;
};

TEST_F(TdsServerTest, AnswersFreeTdsOwnClientInEveryTdsVersion)
{
    for (const char* version : {"7.1", "7.2", "7.3", "7.4"}) {
        SCOPED_TRACE(version);
        std::string out = RunTsql(*m_server, "sa", "Pa;ss}", "Sales",
                                  "SELECT TOP 3 n, NULL AS gap, label FROM dbo.Numbers\ngo\n"
                                  "SELECT name FROM sys.databases\ngo",
                                  version);
        EXPECT_NE(out.find("n\tgap\tlabel\n1\tNULL\tRow 1\n2\tNULL\tRow 2\n3\tNULL\tRow 3\n"), std::string::npos)
            << out;
        EXPECT_NE(out.find("(3 rows affected)"), std::string::npos) << out;
        EXPECT_NE(out.find("Sales\nO'Hare\n"), std::string::npos) << out;
    }
}

TEST_F(TdsServerTest, BackupThroughFreeTdsOwnClientWritesTheFileAndJournalsTheText)
{
    const std::string folder = m_folder.string();
    const std::string plain = "BACKUP DATABASE Sales TO DISK ='" + folder + "/Sales.bak' WITH INIT, NAME = 'Full  Backup of  Sales'";
    const std::string safe = "BACKUP DATABASE [O'Hare] TO DISK = N'" + folder
        + "/O''Hare.bak' WITH INIT, NAME = N'Full  Backup of  O''Hare'";
    const std::string missing = "BACKUP DATABASE Sales TO DISK ='" + folder + "/none/Sales.bak' WITH INIT";
    const std::string unknown = "BACKUP DATABASE [Nope] TO DISK ='" + folder + "/Nope.bak'";
    std::string out = RunTsql(*m_server, "SA", "Pa;ss}", "Sales",
                              plain + "\ngo\n" + safe + "\ngo\n" + missing + "\ngo\n" + unknown + "\ngo");

    EXPECT_EQ(fs::file_size(m_folder / "Sales.bak"), 3u * 8192 + 17);
    EXPECT_EQ(fs::file_size(m_folder / "O'Hare.bak"), 3u * 8192 + 17);
    EXPECT_NE(out.find("Msg 3014"), std::string::npos) << out;
    EXPECT_NE(out.find("Msg 3201 (severity 16, state 1)"), std::string::npos) << out;
    EXPECT_NE(out.find("\"Cannot open backup device '" + folder
                       + "/none/Sales.bak'. Operating system error 3(The system cannot find the path specified.).\""),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Msg 911 (severity 16"), std::string::npos) << out;
    EXPECT_NE(out.find("\"BACKUP DATABASE is terminating abnormally.\""), std::string::npos) << out;

    std::vector<std::string> texts;
    for (const auto& batch : m_server->batches()) {
        EXPECT_EQ(batch.login, "SA");
        EXPECT_EQ(batch.database, "Sales");
        texts.push_back(batch.text);
    }
    // tsql sends each batch with its closing line break.
    EXPECT_EQ(texts, (std::vector<std::string>{plain + "\n", safe + "\n", missing + "\n", unknown + "\n"}));
}

TEST_F(TdsServerTest, RefusesWrongLoginsAndStopsOnRequest)
{
    std::string out = RunTsql(*m_server, "sa", "wrong", "Sales", "SELECT 1\ngo");
    EXPECT_NE(out.find("problem connecting"), std::string::npos) << out;
    EXPECT_TRUE(m_server->batches().empty());

    const pid_t pid = m_server->pid();
    m_server->stop();
    EXPECT_FALSE(m_server->isRunning());
    EXPECT_EQ(kill(pid, 0), -1) << "the server process is still there";
}

} // namespace
