#include "fakes/TdsTestServer.h"
#include "fakes/TempFolder.h"
#include "fakes/TestCertificates.h"
#include "fakes/TestFiles.h"

#include <gtest/gtest.h>

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <memory>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
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

// Starts FreeTDS's command-line client with `script` on its standard input
// and its output in `output`; gives its process id.
pid_t SpawnTsql(const fakes::TdsTestServer& server, const std::string& script, const fs::path& folder)
{
    const fs::path input = folder / "tsql-input.sql";
    std::ofstream(input) << script << "\nexit\n";
    const std::string port = std::to_string(server.port());
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open(input.c_str(), O_RDONLY);
        const int out = open((folder / "tsql-output.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        dup2(out, STDERR_FILENO);
        setenv("TDSVER", "7.4", 1);
        execlp("tsql", "tsql", "-H", "127.0.0.1", "-p", port.c_str(), "-U", "sa", "-P", "Pa;ss}", "-D", "Sales",
               static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

std::vector<SQLWCHAR> Wide(const std::string& utf8)
{
    std::vector<SQLWCHAR> out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        const int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        char32_t cp = length == 1 ? c : length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
        for (int k = 1; k < length && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += length;
        if (cp >= 0x10000) {
            out.push_back(static_cast<SQLWCHAR>(0xD800 + ((cp - 0x10000) >> 10)));
            out.push_back(static_cast<SQLWCHAR>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<SQLWCHAR>(cp));
        }
    }
    return out;
}

std::string Narrow(const SQLWCHAR* text, std::size_t units)
{
    std::string out;
    for (std::size_t i = 0; i < units; ++i) {
        char32_t cp = text[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < units)
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[++i] - 0xDC00);
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// One server message as the driver reports it: the error number and the text
// without the driver's "[FreeTDS][SQL Server]" prefix.
struct Message {
    int number = 0;
    std::string text;
    bool operator==(const Message& other) const { return number == other.number && text == other.text; }
};

std::ostream& operator<<(std::ostream& out, const Message& message)
{
    return out << message.number << " \"" << message.text << "\"";
}

void CollectMessages(SQLSMALLINT type, SQLHANDLE handle, std::vector<Message>& out)
{
    SQLWCHAR state[6];
    SQLWCHAR text[2048];
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    for (SQLSMALLINT i = 1;
         SQL_SUCCEEDED(SQLGetDiagRecW(type, handle, i, state, &native, text, SQLSMALLINT(std::size(text)), &length));
         ++i) {
        std::string message = Narrow(text, std::min<std::size_t>(length, std::size(text) - 1));
        const std::string prefix = "[FreeTDS][SQL Server]";
        if (message.rfind(prefix, 0) == 0)
            message.erase(0, prefix.size());
        out.push_back({static_cast<int>(native), message});
    }
}

// "SERVER=127.0.0.1;PORT=<port>;...": a connection that reads no freetds.conf.
std::string Direct(int port)
{
    return "SERVER=127.0.0.1;PORT=" + std::to_string(port) + ";TDS_Version=7.4;";
}

// An ODBC connection of its own to the server through unixODBC and FreeTDS,
// with the wide-character calls so that any text survives.
class OdbcSession {
public:
    OdbcSession(const std::string& target, const std::string& user, const std::string& password,
                const std::string& database, const std::string& extra = "")
    {
        SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &m_env);
        SQLSetEnvAttr(m_env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
        SQLAllocHandle(SQL_HANDLE_DBC, m_env, &m_dbc);
        std::vector<SQLWCHAR> text = Wide("DRIVER={FreeTDS};" + target + "UID=" + user + ";PWD={" + password
                                          + "};DATABASE=" + database + ";ClientCharset=UTF-8;" + extra);
        SQLRETURN rc = SQLDriverConnectW(m_dbc, nullptr, text.data(), SQLSMALLINT(text.size()), nullptr, 0, nullptr,
                                         SQL_DRIVER_NOPROMPT);
        m_connected = SQL_SUCCEEDED(rc);
        CollectMessages(SQL_HANDLE_DBC, m_dbc, m_messages);
        if (m_connected)
            SQLAllocHandle(SQL_HANDLE_STMT, m_dbc, &m_stmt);
    }
    explicit OdbcSession(const fakes::TdsTestServer& server) : OdbcSession(Direct(server.port()), "sa", "Pa;ss}", "Sales")
    {
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
    // What the driver said while connecting.
    const std::vector<Message>& messages() const { return m_messages; }
    SQLHSTMT statement() const { return m_stmt; }

    struct Outcome {
        bool succeeded = true; // no step failed
        std::vector<Message> messages;
        std::vector<std::vector<std::string>> rows; // every result set's rows, NULL as "NULL"
    };

    // Runs a batch to its end.
    Outcome run(const std::string& sql)
    {
        Outcome outcome;
        std::vector<SQLWCHAR> text = Wide(sql);
        SQLRETURN rc = SQLExecDirectW(m_stmt, text.data(), SQLINTEGER(text.size()));
        while (rc != SQL_NO_DATA) {
            if (rc == SQL_ERROR)
                outcome.succeeded = false;
            CollectMessages(SQL_HANDLE_STMT, m_stmt, outcome.messages);
            if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE)
                break;
            SQLSMALLINT columns = 0;
            SQLNumResultCols(m_stmt, &columns);
            while (columns > 0 && SQL_SUCCEEDED(SQLFetch(m_stmt))) {
                std::vector<std::string> row;
                for (SQLUSMALLINT c = 1; c <= columns; ++c) {
                    SQLWCHAR value[1024];
                    SQLLEN indicator = 0;
                    SQLGetData(m_stmt, c, SQL_C_WCHAR, value, sizeof value, &indicator);
                    row.push_back(indicator == SQL_NULL_DATA ? "NULL" : Narrow(value, indicator / sizeof(SQLWCHAR)));
                }
                outcome.rows.push_back(std::move(row));
            }
            rc = SQLMoreResults(m_stmt);
        }
        SQLFreeStmt(m_stmt, SQL_CLOSE);
        return outcome;
    }

private:
    SQLHENV m_env = SQL_NULL_HANDLE;
    SQLHDBC m_dbc = SQL_NULL_HANDLE;
    SQLHSTMT m_stmt = SQL_NULL_HANDLE;
    bool m_connected = false;
    std::vector<Message> m_messages;
};

std::vector<int> Numbers(const std::vector<Message>& messages)
{
    std::vector<int> out;
    for (const Message& message : messages)
        out.push_back(message.number);
    return out;
}


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


TEST(TdsServerUnicode, LoginsDatabasesAndPathsInAnyLanguageArriveExactly)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{"bénédicte", "pässwörd€"}, {"ǅemal", "𝄞 clé"}};
    options.databases = {"Verkäufe", "Bücher 📚"};
    options.backupSize = 8192;
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    fakes::TempFolder folder("corvella-tds-test");
    const fs::path backups = fs::path(folder.root()) / "Sicherung €";
    fs::create_directories(backups);

    struct Attempt {
        std::string user, password, database;
        bool accepted;
    };
    const Attempt attempts[] = {
        {"BÉNÉDICTE", "pässwörd€", "Verkäufe", true}, // login names compare without regard to case
        {"ǅemal", "𝄞 clé", "Bücher 📚", true},
        {"bénédicte", "passwörd€", "Verkäufe", false},
        {"bénédicte", "pässwörd€", "Verkaufe", false},
    };
    for (const Attempt& attempt : attempts) {
        SCOPED_TRACE(attempt.user + " / " + attempt.database);
        OdbcSession session(Direct(server.port()), attempt.user, attempt.password, attempt.database);
        ASSERT_EQ(session.connected(), attempt.accepted);
        if (!attempt.accepted)
            continue;
        auto names = session.run("SELECT DB_NAME(), SUSER_SNAME()");
        ASSERT_TRUE(names.succeeded);
        EXPECT_EQ(names.rows, (std::vector<std::vector<std::string>>{{attempt.database, attempt.user}}));
        const fs::path file = backups / (attempt.database + " ✓.bak");
        auto backup = session.run("BACKUP DATABASE [" + attempt.database + "] TO DISK = N'" + file.string() + "'");
        EXPECT_TRUE(backup.succeeded);
        EXPECT_EQ(fs::file_size(file), 8192u);
        auto verify = session.run("RESTORE VERIFYONLY FROM DISK = N'" + file.string() + "'");
        EXPECT_EQ(Numbers(verify.messages), std::vector<int>{3262});
    }

    const auto logins = server.logins();
    ASSERT_EQ(logins.size(), std::size(attempts));
    for (std::size_t i = 0; i < logins.size(); ++i) {
        EXPECT_EQ(logins[i].login, attempts[i].user);
        EXPECT_EQ(logins[i].password, attempts[i].password);
        EXPECT_EQ(logins[i].database, attempts[i].database);
        EXPECT_EQ(logins[i].accepted, attempts[i].accepted);
    }
    // Logins are journaled apart from the batches.
    EXPECT_EQ(server.batches().size(), 6u);
}

class TdsServerTls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_certificates = new fakes::TestCertificates;
        s_wrongName = new fakes::TestCertificates;
        if (!s_certificates->create() || !s_wrongName->create({"db.example"}))
            s_error = s_certificates->error() + s_wrongName->error();
    }
    static void TearDownTestSuite()
    {
        delete s_certificates;
        delete s_wrongName;
        s_certificates = s_wrongName = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(s_error.empty()) << s_error; }

    static fakes::TdsTestServer::Options options(const std::string& certificate, const std::string& key)
    {
        fakes::TdsTestServer::Options options;
        options.logins = {{"sa", "Pa;ss}"}};
        options.backupSize = 8192;
        options.tlsCertificateFile = certificate;
        options.tlsKeyFile = key;
        return options;
    }

    static fakes::TestCertificates* s_certificates;
    static fakes::TestCertificates* s_wrongName;
    static std::string s_error;
};

fakes::TestCertificates* TdsServerTls::s_certificates = nullptr;
fakes::TestCertificates* TdsServerTls::s_wrongName = nullptr;
std::string TdsServerTls::s_error;

// What Debian's FreeTDS ODBC driver negotiates for each value of its
// Encryption keyword, against a server with and without a certificate.
TEST_F(TdsServerTls, EncryptionIsNegotiatedInPreloginAsTheClientAsks)
{
    const auto& made = *s_certificates;
    fakes::TdsTestServer offering(options(made.serverCertificateFile(), made.serverKeyFile()));
    auto forcedOptions = options(made.serverCertificateFile(), made.serverKeyFile());
    forcedOptions.forceEncryption = true;
    fakes::TdsTestServer forcing(forcedOptions);
    fakes::TdsTestServer plain(options("", ""));
    for (auto* server : {&offering, &forcing, &plain})
        ASSERT_TRUE(server->start()) << server->error();

    struct Case {
        const char* keyword;
        fakes::TdsTestServer* server;
        bool connects;
        const char* encryption; // as the server saw the login
    };
    const Case cases[] = {
        {"", &offering, true, "login"},
        {"Encryption=off;", &offering, true, "none"},
        {"Encryption=request;", &offering, true, "login"},
        {"Encryption=require;", &offering, true, "full"},
        {"", &forcing, true, "full"},
        {"Encryption=off;", &forcing, true, "full"},
        {"", &plain, true, "none"},
        {"Encryption=request;", &plain, true, "none"},
        {"Encryption=require;", &plain, false, ""},
    };
    fakes::TempFolder folder("corvella-tds-test");
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.keyword)
                     + (c.server == &offering ? " offered" : c.server == &forcing ? " forced" : " no certificate"));
        const std::size_t before = c.server->logins().size();
        OdbcSession session(Direct(c.server->port()), "sa", "Pa;ss}", "master", c.keyword);
        ASSERT_EQ(session.connected(), c.connects);
        const auto logins = c.server->logins();
        if (!c.connects) {
            EXPECT_EQ(logins.size(), before);
            continue;
        }
        ASSERT_EQ(logins.size(), before + 1);
        EXPECT_EQ(logins.back().encryption, c.encryption);
        EXPECT_EQ(logins.back().password, "Pa;ss}");
        // The session goes on over whatever was negotiated.
        auto rows = session.run("SELECT TOP 3 n FROM dbo.Numbers");
        EXPECT_EQ(rows.rows, (std::vector<std::vector<std::string>>{{"1"}, {"2"}, {"3"}}));
        const fs::path file = fs::path(folder.root()) / "master.bak";
        EXPECT_TRUE(session.run("BACKUP DATABASE master TO DISK = '" + file.string() + "'").succeeded);
        EXPECT_EQ(fs::file_size(file), 8192u);
        fs::remove(file);
    }
}

// The driver checks the server's certificate only when a freetds.conf
// section names a CA file; the connection string has no keyword for it.
TEST_F(TdsServerTls, ClientChecksTheCertificateOnlyWithACaFile)
{
    const auto& made = *s_certificates;
    fakes::TdsTestServer trusted(options(made.serverCertificateFile(), made.serverKeyFile()));
    fakes::TdsTestServer selfSigned(options(made.selfSignedCertificateFile(), made.selfSignedKeyFile()));
    fakes::TdsTestServer wrongName(options(s_wrongName->serverCertificateFile(), s_wrongName->serverKeyFile()));
    for (auto* server : {&trusted, &selfSigned, &wrongName})
        ASSERT_TRUE(server->start()) << server->error();

    struct Case {
        const char* name;
        fakes::TdsTestServer* server;
        std::string settings; // of the freetds.conf section
        bool connects;
    };
    const Case cases[] = {
        {"self-signed, nothing checked", &selfSigned, "", true},
        {"trusted CA", &trusted, "ca file = " + made.caFile(), true},
        {"unrelated CA", &trusted, "ca file = " + made.otherCaFile(), false},
        {"self-signed against the CA", &selfSigned, "ca file = " + made.caFile(), false},
        {"system CAs", &trusted, "ca file = system", false},
        {"name not in the certificate", &wrongName, "ca file = " + s_wrongName->caFile(), false},
        {"name check off", &wrongName, "ca file = " + s_wrongName->caFile() + "\n\tcheck certificate hostname = no", true},
    };
    fakes::TempFolder folder("corvella-tds-test");
    const fs::path conf = fs::path(folder.root()) / "freetds.conf";
    const char* previous = std::getenv("FREETDSCONF");
    const std::string saved = previous ? previous : "";
    setenv("FREETDSCONF", conf.c_str(), 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::size_t before = c.server->logins().size();
        std::ofstream(conf) << "[corvella]\n\thost = 127.0.0.1\n\tport = " << c.server->port()
                            << "\n\ttds version = 7.4\n\tencryption = require\n\t" << c.settings << "\n";
        OdbcSession session("SERVERNAME=corvella;", "sa", "Pa;ss}", "master");
        EXPECT_EQ(session.connected(), c.connects);
        // A refused certificate ends the handshake before the password is sent.
        ASSERT_EQ(c.server->logins().size(), before + (c.connects ? 1 : 0));
        if (c.connects) {
            EXPECT_EQ(c.server->logins().back().encryption, "full");
        }
    }
    if (previous)
        setenv("FREETDSCONF", saved.c_str(), 1);
    else
        unsetenv("FREETDSCONF");
}

// A client that cannot encrypt, written out by hand: FreeTDS itself always
// starts TLS when the server requires it.
TEST_F(TdsServerTls, ForcedEncryptionDropsAPlainLogin)
{
    auto serverOptions = options(s_certificates->serverCertificateFile(), s_certificates->serverKeyFile());
    serverOptions.forceEncryption = true;
    fakes::TdsTestServer server(serverOptions);
    ASSERT_TRUE(server.start()) << server.error();

    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(server.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto send = [sock](std::uint8_t type, const std::vector<std::uint8_t>& payload) {
        const std::size_t length = payload.size() + 8;
        std::vector<std::uint8_t> packet{type, 1, std::uint8_t(length >> 8), std::uint8_t(length), 0, 0, 1, 0};
        packet.insert(packet.end(), payload.begin(), payload.end());
        return ::send(sock, packet.data(), packet.size(), MSG_NOSIGNAL) == ssize_t(packet.size());
    };
    // Returns the payload of one reply packet; empty once the server has closed.
    const auto receive = [sock] {
        std::vector<std::uint8_t> data;
        std::uint8_t buffer[4096];
        for (ssize_t n; (data.size() < 8 || data.size() < std::size_t(data[2] << 8 | data[3]))
             && (n = recv(sock, buffer, sizeof buffer, 0)) > 0;)
            data.insert(data.end(), buffer, buffer + n);
        return data.size() > 8 ? std::vector<std::uint8_t>(data.begin() + 8, data.end()) : std::vector<std::uint8_t>{};
    };

    // PRELOGIN: VERSION, then ENCRYPTION = ENCRYPT_NOT_SUP.
    ASSERT_TRUE(send(0x12, {0x00, 0, 11, 0, 6, 0x01, 0, 17, 0, 1, 0xFF, 7, 4, 0, 0, 0, 0, 0x02}));
    const auto answer = receive();
    ASSERT_GT(answer.size(), 5u);
    ASSERT_EQ(answer[0], 0x00);
    const std::size_t encryptionAt = std::size_t(answer[6] << 8 | answer[7]);
    ASSERT_LT(encryptionAt, answer.size());
    EXPECT_EQ(answer[encryptionAt], 0x03) << "ENCRYPT_REQ";

    // LOGIN7 in the clear: user "sa", password "pw" (obfuscated as the protocol says).
    std::vector<std::uint8_t> login(94, 0);
    const std::uint32_t version = 0x74000004, packetSize = 4096;
    std::memcpy(&login[4], &version, 4);
    std::memcpy(&login[8], &packetSize, 4);
    login[40] = 94;
    login[42] = 2;
    login[44] = 98;
    login[46] = 2;
    for (char c : std::string("sa"))
        login.insert(login.end(), {std::uint8_t(c), 0});
    for (char c : std::string("pw"))
        for (std::uint8_t b : {std::uint8_t(c), std::uint8_t(0)})
            login.push_back(std::uint8_t(((b << 4) | (b >> 4)) ^ 0xA5));
    const std::uint32_t total = std::uint32_t(login.size());
    std::memcpy(&login[0], &total, 4);
    ASSERT_TRUE(send(0x10, login));
    EXPECT_TRUE(receive().empty()) << "the server answers a plain login by closing the connection";
    close(sock);

    const auto logins = server.logins();
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].login, "sa");
    EXPECT_EQ(logins[0].password, "pw");
    EXPECT_FALSE(logins[0].accepted);
    EXPECT_EQ(logins[0].encryption, "none");
}

TEST(TdsServerVerify, RestoreVerifyOnlyTellsWholeBackupsFromMissingAndDamagedOnes)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{"sa", "Pa;ss}"}};
    options.databases = {"Sales", "Ledger"};
    options.damagedBackupsOf = {"Ledger"};
    options.backupSize = 64 * 1024;
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    fakes::TempFolder folder("corvella-tds-test");
    const std::string dir = fs::path(folder.root()).string();
    OdbcSession session(Direct(server.port()), "sa", "Pa;ss}", "Sales");
    ASSERT_TRUE(session.connected());
    for (const char* database : {"Sales", "Ledger"}) {
        auto backup = session.run(std::string("BACKUP DATABASE ") + database + " TO DISK = '" + dir + "/" + database
                                  + ".bak' WITH CHECKSUM, INIT");
        ASSERT_TRUE(backup.succeeded) << database;
    }
    fs::copy_file(dir + "/Sales.bak", dir + "/truncated.bak");
    fs::resize_file(dir + "/truncated.bak", 40000);
    fs::copy_file(dir + "/Sales.bak", dir + "/flipped.bak");
    {
        std::fstream file(dir + "/flipped.bak", std::ios::in | std::ios::out | std::ios::binary);
        file.seekg(30000);
        const char byte = static_cast<char>(file.get() ^ 0x01);
        file.seekp(30000);
        file.put(byte);
    }
    std::ofstream(dir + "/notes.txt") << "These are not the backups you are looking for.\n";

    const Message terminating{3013, "VERIFY DATABASE is terminating abnormally."};
    const Message damage{3189, "Damage to the backup set was detected."};
    struct Case {
        std::string statement;
        bool succeeds;
        std::vector<Message> messages;
    };
    const Case cases[] = {
        {"RESTORE VERIFYONLY FROM DISK = N'" + dir + "/Sales.bak' WITH CHECKSUM", true,
         {{3262, "The backup set on file 1 is valid."}}},
        {"RESTORE VERIFYONLY FROM DISK = '" + dir + "/Sales.bak' WITH FILE = 1, NOUNLOAD, STATS = 10", true,
         {{3262, "The backup set on file 1 is valid."}}},
        {"RESTORE VERIFYONLY FROM DISK = N'" + dir + "/none.bak'", false,
         {{3201, "Cannot open backup device '" + dir
                     + "/none.bak'. Operating system error 2(The system cannot find the file specified.)."},
          terminating}},
        {"RESTORE VERIFYONLY FROM DISK = N'" + dir + "/gone/Sales.bak'", false,
         {{3201, "Cannot open backup device '" + dir
                     + "/gone/Sales.bak'. Operating system error 3(The system cannot find the path specified.)."},
          terminating}},
        {"RESTORE VERIFYONLY FROM DISK = N'" + dir + "/Ledger.bak' WITH CHECKSUM", false, {damage, terminating}},
        {"RESTORE VERIFYONLY FROM DISK = N'" + dir + "/flipped.bak'", false, {damage, terminating}},
        {"RESTORE VERIFYONLY FROM DISK = N'" + dir + "/truncated.bak'", false,
         {{3203, "Read on \"" + dir + "/truncated.bak\" failed: 38(Reached the end of the file.)"}, terminating}},
        {"RESTORE VERIFYONLY FROM DISK = N'" + dir + "/notes.txt'", false,
         {{3241, "The media family on device '" + dir
                     + "/notes.txt' is incorrectly formed. SQL Server cannot process this media family."},
          terminating}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.statement);
        auto outcome = session.run(c.statement);
        EXPECT_EQ(outcome.succeeded, c.succeeds);
        EXPECT_EQ(outcome.messages, c.messages);
    }
}

// What proving a backup asks of the server: its header and file list, a
// restore under another name with its files moved that refuses what a real
// server refuses, the consistency check, and a drop that deletes the files.
TEST(TdsServerRestore, RestoresChecksAndDropsCopiesAsARealServerDoes)
{
    fakes::TempFolder folder("corvella-tds-test");
    const std::string dir = folder.root();
    const std::string data = dir + "/data/";
    fs::create_directories(data);
    fakes::TdsTestServer::Options options;
    options.logins = {{"sa", "Pa;ss}"}};
    options.databases = {"Sales", "Ledger", "Stock"};
    options.damagedBackupsOf = {"Ledger"};
    options.consistencyErrorsIn = {"Stock"};
    options.backupSize = 3 * 65536 + 512 + 17;
    options.dataFiles = 2;
    options.dataPath = data;
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    OdbcSession session(Direct(server.port()), "sa", "Pa;ss}", "master");
    ASSERT_TRUE(session.connected());
    for (const std::string& statement :
         {"BACKUP DATABASE Sales TO DISK = N'" + dir + "/Sales.bak' WITH INIT, CHECKSUM",
          "BACKUP DATABASE Sales TO DISK = N'" + dir + "/Plain.bak' WITH INIT",
          "BACKUP DATABASE Ledger TO DISK = N'" + dir + "/Ledger.bak' WITH CHECKSUM",
          "BACKUP DATABASE Stock TO DISK = N'" + dir + "/Stock.bak'"}) {
        ASSERT_TRUE(session.run(statement).succeeded) << statement;
    }

    using Rows = std::vector<std::vector<std::string>>;
    EXPECT_EQ(session.run("SELECT SERVERPROPERTY('InstanceDefaultDataPath'), SERVERPROPERTY('InstanceDefaultLogPath'), "
                          "SERVERPROPERTY('NoSuchProperty')").rows,
              (Rows{{data, data, "NULL"}}));
    const auto header = session.run("RESTORE HEADERONLY FROM DISK = N'" + dir + "/Sales.bak'").rows;
    ASSERT_EQ(header.size(), 1u);
    EXPECT_EQ(header[0][5], "Sales");
    EXPECT_EQ(header[0][8], "1") << "taken WITH CHECKSUM";
    EXPECT_EQ(session.run("RESTORE HEADERONLY FROM DISK = N'" + dir + "/Plain.bak'").rows.at(0).at(8), "0");
    const auto files = session.run("RESTORE FILELISTONLY FROM DISK = N'" + dir + "/Sales.bak'").rows;
    ASSERT_EQ(files.size(), 3u);
    const std::vector<std::string> logical{files[0][0], files[1][0], files[2][0]};
    EXPECT_EQ(logical, (std::vector<std::string>{"Sales", "Sales_log", "Sales_data2"}));
    EXPECT_EQ((std::vector<std::string>{files[0][1], files[0][2], files[0][6]}),
              (std::vector<std::string>{data + "Sales.mdf", "D", "1"}));
    EXPECT_EQ((std::vector<std::string>{files[1][1], files[1][2], files[1][6]}),
              (std::vector<std::string>{data + "Sales_log.ldf", "L", "2"}));
    EXPECT_EQ(files[2][2], "D");
    EXPECT_EQ(Numbers(session.run("RESTORE FILELISTONLY FROM DISK = N'" + dir + "/none.bak'").messages),
              (std::vector<int>{3201, 3013}));

    // Restores `backup` (of database `source`) as `name`, every file moved into `folder`.
    const auto restore = [&](const std::string& name, const std::string& backup, const std::string& folder,
                             const std::string& extra = "") {
        const std::string source = backup == "Plain.bak" ? "Sales" : backup.substr(0, backup.find('.'));
        return session.run("RESTORE DATABASE [" + name + "] FROM DISK = N'" + dir + "/" + backup + "' WITH MOVE N'"
                           + source + "' TO N'" + folder + name + ".mdf', MOVE N'" + source + "_log' TO N'" + folder
                           + name + ".ldf', MOVE N'" + source + "_data2' TO N'" + folder + name + ".ndf'" + extra);
    };
    const Message terminating{3013, "RESTORE DATABASE is terminating abnormally."};
    const Message planning{3119, "Problems were identified while planning for the RESTORE statement. Previous "
                                 "messages provide details."};

    const auto restored = restore("Copy", "Sales.bak", data, ", CHECKSUM, RECOVERY");
    EXPECT_TRUE(restored.succeeded);
    EXPECT_EQ(Numbers(restored.messages), (std::vector<int>{4035, 4035, 4035, 3014}));
    EXPECT_EQ(fs::file_size(data + "Copy.mdf") + fs::file_size(data + "Copy.ndf"), 3u * 65536 + 17);
    EXPECT_EQ(session.run("SELECT state_desc FROM sys.databases WHERE name = 'Copy'").rows, (Rows{{"ONLINE"}}));

    // What a real server refuses.
    EXPECT_EQ(restore("Copy", "Sales.bak", data).messages,
              (std::vector<Message>{
                  {3154, "The backup set holds a backup of a database other than the existing 'Copy' database."},
                  terminating}));
    EXPECT_EQ(Numbers(restore("Copy2", "Plain.bak", data, ", CHECKSUM").messages), (std::vector<int>{3187, 3013}));
    EXPECT_EQ(session.run("RESTORE DATABASE Copy3 FROM DISK = N'" + dir + "/Sales.bak'").messages,
              (std::vector<Message>{
                  {1834, "The file '" + data + "Sales.mdf' cannot be overwritten.  It is being used by database 'Sales'."},
                  {3156, "File 'Sales' cannot be restored to '" + data + "Sales.mdf'. Use WITH MOVE to identify a valid "
                         "location for the file."},
                  planning, terminating}));
    EXPECT_EQ(restore("Copy4", "Sales.bak", dir + "/missing/").messages,
              (std::vector<Message>{
                  {5133, "Directory lookup for the file \"" + dir + "/missing/Copy4.mdf\" failed with the operating "
                         "system error 3(The system cannot find the path specified.)."},
                  {3156, "File 'Sales' cannot be restored to '" + dir + "/missing/Copy4.mdf'. Use WITH MOVE to "
                         "identify a valid location for the file."},
                  planning, terminating}));
    EXPECT_TRUE(session.run("SELECT name FROM sys.databases WHERE name = 'Copy2'").rows.empty());

    // A damaged backup leaves its copy restoring, files and all, until it is dropped.
    EXPECT_EQ(Numbers(restore("Broken", "Ledger.bak", data).messages), (std::vector<int>{3183, 3013}));
    EXPECT_EQ(session.run("SELECT state_desc FROM sys.databases WHERE name = 'Broken'").rows, (Rows{{"RESTORING"}}));
    EXPECT_EQ(Numbers(session.run("DBCC CHECKDB ([Broken]) WITH NO_INFOMSGS").messages), std::vector<int>{927});
    EXPECT_TRUE(fs::exists(data + "Broken.mdf"));

    // The consistency check: silent when clean and asked for no information.
    const auto clean = session.run("DBCC CHECKDB ([Copy]) WITH NO_INFOMSGS, ALL_ERRORMSGS");
    EXPECT_TRUE(clean.succeeded);
    EXPECT_TRUE(clean.messages.empty());
    EXPECT_EQ(Numbers(session.run("DBCC CHECKDB (N'Copy')").messages), (std::vector<int>{8989, 2528}));
    ASSERT_TRUE(restore("Stocktake", "Stock.bak", data).succeeded);
    const auto corrupt = session.run("DBCC CHECKDB ([Stocktake]) WITH NO_INFOMSGS, ALL_ERRORMSGS");
    EXPECT_FALSE(corrupt.succeeded);
    EXPECT_EQ(Numbers(corrupt.messages), (std::vector<int>{8928, 8939, 8990, 8989, 8958}));

    // Dropping deletes the files; nothing else is dropped.
    OdbcSession user(Direct(server.port()), "sa", "Pa;ss}", "master");
    ASSERT_TRUE(user.run("USE [Stocktake]").succeeded);
    EXPECT_EQ(Numbers(session.run("DROP DATABASE [Stocktake]").messages), std::vector<int>{3702});
    for (const char* name : {"Copy", "Broken"})
        EXPECT_TRUE(session.run(std::string("DROP DATABASE [") + name + "]").succeeded) << name;
    EXPECT_EQ(Numbers(session.run("DROP DATABASE [Copy]").messages), std::vector<int>{3701});
    EXPECT_EQ(Numbers(session.run("DROP DATABASE master").messages), std::vector<int>{3708});
    EXPECT_EQ(fakes::FilesIn(data), (std::vector<std::string>{"Stocktake.ldf", "Stocktake.mdf", "Stocktake.ndf"}));
}

// Polls `probe` every 20 ms until it gives true or `seconds` pass.
template <typename Probe>
bool WaitFor(Probe probe, double seconds = 10)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!probe()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

TEST(TdsServerProgress, RunningBackupShowsInAnotherSessionAndAKilledClientLeavesAPartialFile)
{
    if (system("command -v tsql >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tsql (freetds-bin) is not installed";
    constexpr std::uintmax_t kSize = 1 << 20;
    fakes::TdsTestServer::Options options;
    options.logins = {{"sa", "Pa;ss}"}};
    options.backupSize = kSize;
    options.backupDelayMs = 2000; // long enough for several polls on a loaded machine
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    fakes::TempFolder folder("corvella-tds-test");
    const fs::path done = fs::path(folder.root()) / "Sales.bak";

    OdbcSession watcher(server);
    OdbcSession worker(server);
    ASSERT_TRUE(watcher.connected() && worker.connected());
    const std::string spid = worker.run("SELECT @@SPID").rows.at(0).at(0);
    const std::string ownSpid = watcher.run("SELECT @@SPID").rows.at(0).at(0);
    ASSERT_NE(spid, ownSpid);
    const std::string progressQuery = "SELECT percent_complete FROM sys.dm_exec_requests WHERE session_id = " + spid;
    EXPECT_TRUE(watcher.run(progressQuery).rows.empty()) << "an idle session has no request";

    bool backedUp = false;
    std::thread backup([&] {
        backedUp = worker.run("BACKUP DATABASE Sales TO DISK = N'" + done.string() + "' WITH CHECKSUM").succeeded;
    });
    std::vector<double> seen;
    std::uintmax_t partialSize = kSize;
    std::vector<std::vector<std::string>> listed;
    ASSERT_TRUE(WaitFor([&] {
        auto rows = watcher.run(progressQuery).rows;
        if (rows.empty())
            return !seen.empty();
        seen.push_back(std::stod(rows[0][0]));
        std::error_code ec;
        if (seen.back() > 0 && seen.back() < 100) {
            partialSize = std::min(partialSize, fs::file_size(done, ec));
            if (listed.empty())
                listed = watcher.run("SELECT session_id, command FROM sys.dm_exec_requests").rows;
        }
        return false;
    }));
    backup.join();
    EXPECT_TRUE(backedUp);
    EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
    EXPECT_GE(std::count_if(seen.begin(), seen.end(), [](double p) { return p > 0 && p < 100; }), 3);
    EXPECT_LT(partialSize, kSize) << "the file grows while the backup runs";
    std::sort(listed.begin(), listed.end());
    std::vector<std::vector<std::string>> expected{{spid, "BACKUP DATABASE"}, {ownSpid, "SELECT"}};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(listed, expected) << "a session's own query is a request too";
    EXPECT_EQ(watcher.run("SELECT session_id, command FROM sys.dm_exec_requests").rows,
              (std::vector<std::vector<std::string>>{{ownSpid, "SELECT"}}));

    // A client killed halfway: the server stops writing and the file fails verification.
    const fs::path killed = fs::path(folder.root()) / "Killed.bak";
    const pid_t client = SpawnTsql(server, "BACKUP DATABASE Sales TO DISK = '" + killed.string() + "'\ngo", fs::path(folder.root()));
    ASSERT_GT(client, 0);
    const std::string backupsQuery =
        "SELECT percent_complete FROM sys.dm_exec_requests WHERE command = 'BACKUP DATABASE'";
    EXPECT_TRUE(WaitFor([&] {
        auto rows = watcher.run(backupsQuery).rows;
        return !rows.empty() && std::stod(rows[0][0]) > 20;
    }));
    kill(client, SIGKILL);
    waitpid(client, nullptr, 0);
    EXPECT_TRUE(WaitFor([&] { return watcher.run(backupsQuery).rows.empty(); }, 5));
    const auto leftSize = fs::file_size(killed);
    EXPECT_GT(leftSize, 0u);
    EXPECT_LT(leftSize, kSize);
    auto verify = watcher.run("RESTORE VERIFYONLY FROM DISK = N'" + killed.string() + "'");
    EXPECT_EQ(Numbers(verify.messages), (std::vector<int>{3203, 3013}));
    auto whole = watcher.run("RESTORE VERIFYONLY FROM DISK = N'" + done.string() + "'");
    EXPECT_EQ(Numbers(whole.messages), std::vector<int>{3262});
}

TEST(TdsServerProgress, RequestsViewNeedsServerStatePermission)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{"sa", "Pa;ss}"}};
    options.denyServerState = true;
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    OdbcSession session(server);
    ASSERT_TRUE(session.connected());
    auto outcome = session.run("SELECT session_id, command, percent_complete FROM sys.dm_exec_requests");
    EXPECT_FALSE(outcome.succeeded);
    // The driver lists the more severe message (297, severity 16) before 300 (severity 14).
    EXPECT_EQ(outcome.messages,
              (std::vector<Message>{
                  {297, "The user does not have permission to perform this action."},
                  {300, "VIEW SERVER STATE permission was denied on object 'server', database 'master'."}}));
}

// A server in a container or on Windows names the backup folder otherwise
// than the host: only the folders its map names are visible to it, under
// its own names, and RESTORE HEADERONLY tells a backup from a file that is
// none, a missing one and one it may not read.
TEST(TdsServerNames, SeesOnlyTheFoldersItsMapNamesUnderItsOwnNames)
{
    fakes::TempFolder folder("corvella-tds-test");
    const std::string root = fs::path(folder.root()).string();
    fs::create_directories(root + "/windows/Sales/temp");
    fs::create_directories(root + "/container/Sales/temp");
    fs::create_directories(root + "/closed");
    fs::permissions(root, fs::perms(0755));
    fs::permissions(root + "/closed", fs::perms(0700));
    std::ofstream(root + "/windows/Sales/temp/marker.chk") << "not a backup";

    fakes::TdsTestServer::Options options;
    options.logins = {{"sa", "Pa;ss}"}};
    options.backupSize = 64 * 1024;
    options.pathMap = {{"D:\\Backups", root + "/windows"}, {"/var/opt/mssql/backup", root + "/container"},
                       {"/var/opt/mssql/closed", root + "/closed"}};
    // The container's account: a numeric id without an entry, as in the image.
    const bool asContainer = geteuid() == 0;
    if (asContainer)
        options.runAs = "10001:" + std::to_string(getegid());
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    if (asContainer) {
        for (const char* sub : {"/windows", "/windows/Sales", "/windows/Sales/temp", "/container", "/container/Sales",
                                "/container/Sales/temp"})
            ASSERT_EQ(chown((root + sub).c_str(), 10001, getegid()), 0);
    }
    OdbcSession session(server);
    ASSERT_TRUE(session.connected());

    // Drive letters and folder names compare without regard to case, either separator.
    EXPECT_TRUE(session.run("BACKUP DATABASE Sales TO DISK = N'd:\\backups\\Sales\\temp\\Sales.bak'").succeeded);
    EXPECT_TRUE(fs::exists(root + "/windows/Sales/temp/Sales.bak"));
    EXPECT_TRUE(session.run("BACKUP DATABASE Sales TO DISK = N'/var/opt/mssql/backup/Sales/temp/Sales.bak'").succeeded);
    EXPECT_TRUE(fs::exists(root + "/container/Sales/temp/Sales.bak"));
    EXPECT_EQ(Numbers(session.run("RESTORE VERIFYONLY FROM DISK = N'D:/Backups/Sales/temp/Sales.bak'").messages),
              std::vector<int>{3262});

    // The host's own name is one the server cannot see.
    const std::string hostName = root + "/container/Sales/temp/Sales.bak";
    auto unseen = session.run("BACKUP DATABASE Sales TO DISK = N'" + hostName + "'");
    EXPECT_FALSE(unseen.succeeded);
    EXPECT_EQ(unseen.messages,
              (std::vector<Message>{{3201, "Cannot open backup device '" + hostName
                                               + "'. Operating system error 3(The system cannot find the path specified.)."},
                                    {3013, "BACKUP DATABASE is terminating abnormally."}}));

    const Message terminating{3013, "RESTORE HEADERONLY is terminating abnormally."};
    struct Case {
        std::string file;
        std::vector<Message> messages;
        std::vector<std::vector<std::string>> rows;
    };
    std::vector<Case> cases = {
        {"D:\\Backups\\Sales\\temp\\Sales.bak", {}, {{"Full  Backup of  Sales", "1", "Sales", "65536", "1"}}},
        {"D:\\Backups\\Sales\\temp\\marker.chk",
         {{3241, "The media family on device 'D:\\Backups\\Sales\\temp\\marker.chk' is incorrectly formed. SQL Server "
                 "cannot process this media family."},
          terminating},
         {}},
        {"D:\\Backups\\Sales\\temp\\none.chk",
         {{3201, "Cannot open backup device 'D:\\Backups\\Sales\\temp\\none.chk'. Operating system error 2(The system "
                 "cannot find the file specified.)."},
          terminating},
         {}},
        {"E:\\Backups\\Sales\\temp\\marker.chk",
         {{3201, "Cannot open backup device 'E:\\Backups\\Sales\\temp\\marker.chk'. Operating system error 3(The system "
                 "cannot find the path specified.)."},
          terminating},
         {}},
    };
    if (asContainer) {
        std::ofstream(root + "/closed/marker.chk") << "not a backup";
        cases.push_back({"/var/opt/mssql/closed/marker.chk",
                         {{3201, "Cannot open backup device '/var/opt/mssql/closed/marker.chk'. Operating system error "
                                 "5(Access is denied.)."},
                          terminating},
                         {}});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        auto outcome = session.run("RESTORE HEADERONLY FROM DISK = N'" + c.file + "'");
        EXPECT_EQ(outcome.succeeded, c.messages.empty());
        EXPECT_EQ(outcome.messages, c.messages);
        // BackupName, BackupType, DatabaseName, BackupSize, Position.
        std::vector<std::vector<std::string>> picked;
        for (const auto& row : outcome.rows) {
            ASSERT_GE(row.size(), 7u);
            picked.push_back({row[0], row[1], row[5], row[6], row[2]});
        }
        EXPECT_EQ(picked, c.rows);
    }
}

// A backup of a stalling database stops at its percentage and stays there,
// while the server goes on answering other sessions, until it is cancelled.
TEST(TdsServerStall, ABackupStopsAtItsPercentageUntilCancelled)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{"sa", "Pa;ss}"}};
    options.databases = {"Sales", "Stock"};
    options.backupSize = 1 << 20;
    options.stalledBackupsOf = {{"Stock", 40}};
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    fakes::TempFolder folder("corvella-tds-test");
    const std::string file = fs::path(folder.root()).string() + "/Stock.bak";

    OdbcSession watcher(server);
    OdbcSession worker(server);
    ASSERT_TRUE(watcher.connected() && worker.connected());
    OdbcSession::Outcome outcome;
    std::thread backup([&] { outcome = worker.run("BACKUP DATABASE Stock TO DISK = N'" + file + "'"); });
    const std::string query = "SELECT percent_complete FROM sys.dm_exec_requests WHERE command = 'BACKUP DATABASE'";
    EXPECT_TRUE(WaitFor([&] {
        auto rows = watcher.run(query).rows;
        return !rows.empty() && rows[0][0] == "40";
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(watcher.run(query).rows, (std::vector<std::vector<std::string>>{{"40"}}));
    EXPECT_EQ(fs::file_size(file), (1u << 20) * 40 / 100);
    EXPECT_TRUE(watcher.run("BACKUP DATABASE Sales TO DISK = N'" + file + ".other'").succeeded);

    EXPECT_TRUE(SQL_SUCCEEDED(SQLCancel(worker.statement())));
    backup.join();
    EXPECT_FALSE(outcome.succeeded);
    EXPECT_TRUE(WaitFor([&] { return watcher.run(query).rows.empty(); }));
}

TEST(TdsServerAccount, RunsAsTheServiceAccountWithItsUmask)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const passwd* nobody = getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;

    // Started by an ordinary user, the server refuses to pretend.
    int errors[2];
    ASSERT_EQ(pipe(errors), 0);
    const pid_t child = fork();
    if (child == 0) {
        dup2(errors[1], STDERR_FILENO);
        if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
            _exit(126);
        const std::string script = fakes::TdsTestServer::scriptPath();
        execl("/usr/bin/python3", "python3", script.c_str(), "--port", "0", "--run-as", "nobody",
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(errors[1]);
    std::string said;
    char buffer[512];
    for (ssize_t n; (n = read(errors[0], buffer, sizeof buffer)) > 0;)
        said.append(buffer, static_cast<std::size_t>(n));
    close(errors[0]);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << said;
    EXPECT_NE(said.find("--run-as nobody needs the server to be started as root"), std::string::npos) << said;

    fakes::TdsTestServer::Options options;
    options.logins = {{"sa", "Pa;ss}"}};
    options.backupSize = 8192;
    options.runAs = "nobody";
    options.umask = 027;
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();

    std::ifstream status_file("/proc/" + std::to_string(server.pid()) + "/status");
    std::string line, uids, gids;
    while (std::getline(status_file, line)) {
        if (line.rfind("Uid:", 0) == 0)
            uids = line;
        if (line.rfind("Gid:", 0) == 0)
            gids = line;
    }
    const std::string u = std::to_string(uid), g = std::to_string(gid);
    EXPECT_EQ(uids, "Uid:\t" + u + "\t" + u + "\t" + u + "\t" + u) << "real, effective, saved and file-system user";
    EXPECT_EQ(gids, "Gid:\t" + g + "\t" + g + "\t" + g + "\t" + g);

    fakes::TempFolder folder("corvella-tds-test");
    fs::permissions(fs::path(folder.root()), fs::perms(0755));
    const fs::path granted = fs::path(folder.root()) / "granted";
    const fs::path closed = fs::path(folder.root()) / "closed";
    fs::create_directory(granted);
    fs::create_directory(closed);
    ASSERT_EQ(chown(granted.c_str(), uid, gid), 0);
    fs::permissions(closed, fs::perms(0700));

    OdbcSession session(server);
    ASSERT_TRUE(session.connected());
    const fs::path file = granted / "Sales.bak";
    EXPECT_TRUE(session.run("BACKUP DATABASE Sales TO DISK = '" + file.string() + "'").succeeded);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, uid);
    EXPECT_EQ(info.st_gid, gid);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    EXPECT_EQ(Numbers(session.run("RESTORE VERIFYONLY FROM DISK = '" + file.string() + "'").messages),
              std::vector<int>{3262});

    auto refused = session.run("BACKUP DATABASE Sales TO DISK = '" + (closed / "Sales.bak").string() + "'");
    EXPECT_FALSE(refused.succeeded);
    EXPECT_EQ(refused.messages,
              (std::vector<Message>{{3201, "Cannot open backup device '" + (closed / "Sales.bak").string()
                                               + "'. Operating system error 5(Access is denied.)."},
                                    {3013, "BACKUP DATABASE is terminating abnormally."}}));
    // The journal was opened before the server gave up root.
    EXPECT_EQ(server.batches().size(), 3u);
}

} // namespace
