#include "fakes/TdsTestServer.h"

#include <gtest/gtest.h>

#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
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

// An ODBC statement on its own session to the server, through FreeTDS.
class OdbcSession {
public:
    explicit OdbcSession(const fakes::TdsTestServer& server)
    {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env);
        SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_dbc);
        std::string text = "DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=" + std::to_string(server.port())
            + ";UID=sa;PWD={Pa;ss}};DATABASE=Sales;TDS_Version=7.4;ClientCharset=UTF-8;";
        SQLSMALLINT length = 0;
        SQLRETURN rc = SQLDriverConnect(m_dbc, nullptr, reinterpret_cast<SQLCHAR*>(text.data()), SQL_NTS, nullptr, 0,
                                        &length, SQL_DRIVER_NOPROMPT);
        m_connected = SQL_SUCCEEDED(rc);
        if (m_connected)
            SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &m_stmt);
    }
    ~OdbcSession()
    {
        if (m_stmt)
            SQLFreeHandle(SQL_HANDLE_STMT, m_stmt);
        if (m_connected)
            SQLDisconnect(m_dbc);
        SQLFreeHandle(SQL_HANDLE_DBC, m_dbc);
        SQLFreeHandle(SQL_HANDLE_ENV, m_env);
    }
    OdbcSession(const OdbcSession&) = delete;
    OdbcSession& operator=(const OdbcSession&) = delete;

    bool connected() const { return m_connected; }
    SQLHSTMT statement() const { return m_stmt; }

private:
    SQLHENV m_env = SQL_NULL_HANDLE;
    SQLHDBC m_dbc = SQL_NULL_HANDLE;
    SQLHSTMT m_stmt = SQL_NULL_HANDLE;
    bool m_connected = false;
};

TEST_F(TdsServerTest, ServerCursorScrollsAsOdbcClientsExpect)
{
    OdbcSession session(*m_server);
    ASSERT_TRUE(session.connected());
    SQLHSTMT stmt = session.statement();
    auto set = [&](SQLINTEGER attribute, SQLULEN value) {
        return SQLSetStmtAttr(stmt, attribute, reinterpret_cast<SQLPOINTER>(value), 0);
    };
    ASSERT_TRUE(SQL_SUCCEEDED(set(SQL_ATTR_CURSOR_TYPE, SQL_CURSOR_STATIC)));
    ASSERT_TRUE(SQL_SUCCEEDED(set(SQL_ATTR_CONCURRENCY, SQL_CONCUR_READ_ONLY)));
    ASSERT_TRUE(SQL_SUCCEEDED(set(SQL_ATTR_ROW_ARRAY_SIZE, 3)));
    SQLINTEGER values[3] = {};
    SQLLEN indicators[3] = {};
    SQLULEN fetched = 0;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLSetStmtAttr(stmt, SQL_ATTR_ROWS_FETCHED_PTR, &fetched, 0)));
    std::string query = "SELECT TOP 10 n FROM dbo.Numbers";
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(query.data()), SQL_NTS)));
    ASSERT_TRUE(SQL_SUCCEEDED(SQLBindCol(stmt, 1, SQL_C_SLONG, values, sizeof values[0], indicators)));

    struct Step {
        SQLSMALLINT orientation;
        SQLLEN offset;
        std::vector<int> rows; // empty: no data
    };
    const Step steps[] = {
        {SQL_FETCH_NEXT, 0, {1, 2, 3}},      {SQL_FETCH_NEXT, 0, {4, 5, 6}},
        {SQL_FETCH_PRIOR, 0, {1, 2, 3}},     {SQL_FETCH_PRIOR, 0, {}},
        {SQL_FETCH_NEXT, 0, {1, 2, 3}},      {SQL_FETCH_LAST, 0, {8, 9, 10}},
        {SQL_FETCH_NEXT, 0, {}},             {SQL_FETCH_PRIOR, 0, {8, 9, 10}},
        {SQL_FETCH_ABSOLUTE, 5, {5, 6, 7}},  {SQL_FETCH_RELATIVE, -2, {3, 4, 5}},
        {SQL_FETCH_RELATIVE, 6, {9, 10}},    {SQL_FETCH_ABSOLUTE, -4, {7, 8, 9}},
        {SQL_FETCH_ABSOLUTE, 11, {}},        {SQL_FETCH_FIRST, 0, {1, 2, 3}},
    };
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        SCOPED_TRACE("step " + std::to_string(i + 1));
        fetched = 0;
        SQLRETURN rc = SQLFetchScroll(stmt, step.orientation, step.offset);
        std::vector<int> rows;
        if (rc != SQL_NO_DATA) {
            ASSERT_TRUE(SQL_SUCCEEDED(rc)) << rc;
            for (SQLULEN r = 0; r < fetched; ++r)
                rows.push_back(values[r]);
        }
        EXPECT_EQ(rows, step.rows);
    }
    EXPECT_TRUE(SQL_SUCCEEDED(SQLCloseCursor(stmt)));
    std::vector<std::string> calls;
    for (const auto& batch : m_server->batches())
        calls.push_back(batch.text.substr(0, batch.text.find(' ')));
    EXPECT_EQ(calls.front(), "sp_cursoropen");
    EXPECT_EQ(calls.back(), "sp_cursorclose");
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
