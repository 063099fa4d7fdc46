#include "db/DbConnection.h"
#include "db/ResultTable.h"
#include "fakes/DescriptorLimit.h"
#include "fakes/TdsTestServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <cstdio>
#include <cstdlib>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <thread>
#include <vector>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr const char* kUser = "backup";
constexpr const char* kPassword = "Backup#2024";
constexpr const char* kOddPassword = "a;b}c\"d";
constexpr std::uint64_t kBackupBytes = 300000;

class DbConnectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        fakes::TdsTestServer::Options options;
        options.logins = {{kUser, kPassword}, {"odd", kOddPassword}};
        options.databases = {"Sales", "Na]me"};
        options.backupSize = kBackupBytes;
        s_server = new fakes::TdsTestServer(options);
        ASSERT_TRUE(s_server->start()) << s_server->error();
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(s_server, nullptr);
        m_folder = fs::temp_directory_path()
            / ("corvella-db-" + std::to_string(getpid()) + "-"
               + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_folder);
        fs::create_directories(m_folder);
    }
    void TearDown() override { fs::remove_all(m_folder); }

    db::DbConnectionOptions countingOptions()
    {
        db::DbConnectionOptions options;
        options.sleeper = [this](std::chrono::milliseconds pause) {
            EXPECT_EQ(pause.count(), 20);
            ++m_pauses;
        };
        return options;
    }

    std::string connectionString(const std::string& database = "Sales", const std::string& user = kUser,
                                 const std::string& password = kPassword)
    {
        return s_server->connectionString(database, user, password);
    }

    static fakes::TdsTestServer* s_server;
    fs::path m_folder;
    std::atomic<int> m_pauses{0};
};

fakes::TdsTestServer* DbConnectionTest::s_server = nullptr;

TEST_F(DbConnectionTest, LoginOutcomesAndTheirTexts)
{
    struct Case {
        std::string database, user, password;
        bool opens;
        std::string errorText;
    };
    const Case cases[] = {
        {"Sales", kUser, kPassword, true, ""},
        {"sales", "BACKUP", kPassword, true, ""},
        {"Sales", kUser, "backup#2024", false,
         "Error Object : [FreeTDS][SQL Server] Error Contents : Login failed for user 'backup'."},
        {"Sales", "nobody", kPassword, false,
         "Error Object : [FreeTDS][SQL Server] Error Contents : Login failed for user 'nobody'."},
        {"Archive", kUser, kPassword, false,
         "Error Object : [FreeTDS][SQL Server] Error Contents : Cannot open database \"Archive\" requested by the "
         "login. The login failed."},
        {"Sales", "odd", kOddPassword, true, ""},
        {"Na]me", kUser, kPassword, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user + "/" + c.password + "@" + c.database);
        db::DbConnection connection;
        std::string errorText;
        db::HRESULT hr = connection.Open(connectionString(c.database, c.user, c.password), errorText);
        EXPECT_EQ(connection.IsOpen(), c.opens);
        EXPECT_EQ(db::Failed(hr), !c.opens);
        EXPECT_EQ(errorText, c.errorText);

        std::string failure;
        bool checked = db::CheckConnection(connectionString(c.database, c.user, c.password), failure);
        EXPECT_EQ(checked, c.opens);
        EXPECT_EQ(failure, c.errorText);
    }
}

TEST_F(DbConnectionTest, DataSourceFormsReachTheServer)
{
    const std::string port = std::to_string(s_server->port());
    for (const std::string& dataSource : {"127.0.0.1," + port, "tcp:127.0.0.1," + port, "(local)," + port,
                                          "." + std::string(",") + port, " localhost , " + port}) {
        std::string failure;
        EXPECT_TRUE(db::CheckConnection(db::BuildConnectionString(dataSource, "Sales", kUser, kPassword), failure))
            << dataSource;
    }
}

TEST_F(DbConnectionTest, OpenRefusesWhatItCannotUse)
{
    struct Case {
        std::string connectionString;
        db::HRESULT hr;
        std::string errorText;
    };
    const Case cases[] = {
        {"", db::E_INVALIDARG, "untouched"},
        {"Provider=SQLOLEDB.1;Data Source=\"127.0.0.1;Password=x;", db::DB_E_BADINITSTRING, db::kBadInitStringText},
        {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=c:\\x.mdb;", db::REGDB_E_CLASSNOTREG,
         db::kProviderNotFoundText},
        {db::BuildConnectionString("127.0.0.1,notaport", "Sales", kUser, kPassword), db::DB_E_BADINITSTRING,
         "The port in the server address '127.0.0.1,notaport' is not a number from 1 to 65535"},
        {connectionString("Sales", kUser, "cut};here"), db::DB_E_BADINITSTRING,
         "The password contains \"};\", which cannot be passed to the ODBC driver intact; the connection was not "
         "attempted."},
    };
    for (const auto& c : cases) {
        db::DbConnection connection;
        std::string errorText = "untouched";
        EXPECT_EQ(connection.Open(c.connectionString, errorText), c.hr) << c.connectionString;
        EXPECT_EQ(errorText, c.errorText);
        EXPECT_FALSE(connection.IsOpen());
    }

    db::DbConnectionOptions noDriver;
    noDriver.odbc.driver = "NoSuchDriver";
    db::DbConnection connection(noDriver);
    std::string errorText;
    EXPECT_EQ(connection.Open(connectionString(), errorText), db::REGDB_E_CLASSNOTREG);
    EXPECT_EQ(errorText, db::kProviderNotFoundText);
    std::string failure;
    EXPECT_FALSE(db::CheckConnection(connectionString(), failure, noDriver));
    EXPECT_EQ(failure, db::kProviderNotFoundText);
}

TEST_F(DbConnectionTest, BackupWritesItsFileAndKeepsTheConnection)
{
    db::DbConnection connection;
    std::string errorText;
    connection.Open(connectionString(), errorText);
    ASSERT_TRUE(connection.IsOpen()) << errorText;

    const fs::path target = m_folder / "Sales.bak";
    const std::string command = "BACKUP DATABASE Sales TO DISK ='" + target.string()
        + "' WITH INIT, NAME = 'Full  Backup of  Sales'";
    db::ResultTable table;
    table.AddHeaderCell(false, "stale");
    EXPECT_EQ(connection.ExecuteCommand(command, table, errorText), db::S_OK);
    EXPECT_EQ(errorText, "");
    EXPECT_TRUE(connection.IsOpen());
    EXPECT_TRUE(table.header().cells().empty());
    EXPECT_TRUE(table.rows().empty());

    ASSERT_TRUE(fs::exists(target));
    EXPECT_EQ(fs::file_size(target), kBackupBytes);
    std::ifstream in(target, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_NE(content.find_first_not_of('\0'), std::string::npos);
    EXPECT_EQ(s_server->commandsStartingWith("BACKUP").back(), command);

    // The bracketed name and N'' literals a careful caller sends.
    const fs::path odd = m_folder / "it's.bak";
    const std::string safe = "BACKUP DATABASE [Na]]me] TO DISK = N'" + m_folder.string()
        + "/it''s.bak' WITH INIT, NAME = N'Full  Backup of  Na]me'";
    EXPECT_EQ(connection.ExecuteCommand(safe, table, errorText), db::S_OK) << errorText;
    EXPECT_TRUE(fs::exists(odd));
    EXPECT_EQ(s_server->commandsStartingWith("BACKUP").back(), safe);
}

TEST_F(DbConnectionTest, FailedBackupGivesTheServerTextAndClosesTheConnection)
{
    struct Case {
        std::string command;
        std::string errorText;
    };
    const std::string missing = (m_folder / "no such folder" / "Sales.bak").string();
    const Case cases[] = {
        {"BACKUP DATABASE Sales TO DISK ='" + missing + "' WITH INIT, NAME = 'Full  Backup of  Sales'",
         "Error Object : [FreeTDS][SQL Server] Error Contents : Cannot open backup device '" + missing
             + "'. Operating system error 3(The system cannot find the path specified.)."},
        {"BACKUP DATABASE Archive TO DISK ='" + (m_folder / "Archive.bak").string() + "' WITH INIT",
         "Error Object : [FreeTDS][SQL Server] Error Contents : Database 'Archive' does not exist. Make sure that "
         "the name is entered correctly."},
        // A later statement of the text failing fails the whole command.
        {"SET NOCOUNT ON; BACKUP DATABASE Sales TO DISK ='" + missing + "'",
         "Error Object : [FreeTDS][SQL Server] Error Contents : Cannot open backup device '" + missing
             + "'. Operating system error 3(The system cannot find the path specified.)."},
    };
    for (const auto& c : cases) {
        db::DbConnection connection;
        std::string errorText;
        connection.Open(connectionString(), errorText);
        ASSERT_TRUE(connection.IsOpen()) << errorText;
        db::ResultTable table;
        EXPECT_TRUE(db::Failed(connection.ExecuteCommand(c.command, table, errorText)));
        EXPECT_EQ(errorText, c.errorText);
        EXPECT_FALSE(connection.IsOpen());

        std::string untouched = "as before";
        EXPECT_EQ(connection.ExecuteCommand("SELECT 1", table, untouched), db::E_POINTER);
        EXPECT_EQ(untouched, "as before");
    }
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(DbConnectionTest, SelectReadsNullsEmptyTextsLongTextsAndPausesEveryTenRows)
{
    db::DbConnection connection(countingOptions());
    std::string errorText;
    connection.Open(connectionString(), errorText);
    ASSERT_TRUE(connection.IsOpen()) << errorText;

    db::ResultTable table;
    ASSERT_EQ(connection.ExecuteCommand("SELECT TOP 25 n, NULL AS nothing, '' AS empty, REPLICATE('x', 600) AS long, "
                                        "N'Grüße 😀' AS greeting FROM dbo.Numbers",
                                        table, errorText),
              db::S_OK)
        << errorText;
    std::vector<std::string> header;
    for (const auto& cell : table.header().cells()) {
        header.push_back(cell.text);
        EXPECT_FALSE(cell.isNull);
    }
    EXPECT_EQ(header, (std::vector<std::string>{"n", "nothing", "empty", "long", "greeting"}));
    ASSERT_EQ(table.rows().size(), 25u);
    for (std::size_t i = 0; i < 25; ++i) {
        const auto& cells = table.rows()[i].cells();
        ASSERT_EQ(cells.size(), 5u);
        EXPECT_EQ(cells[0].text, std::to_string(i + 1));
        EXPECT_TRUE(cells[1].isNull);
        EXPECT_EQ(cells[1].text, "");
        EXPECT_FALSE(cells[2].isNull);
        EXPECT_EQ(cells[2].text, "");
        EXPECT_EQ(cells[3].text, std::string(499, 'x'));
        EXPECT_EQ(cells[4].text, "Grüße 😀");
    }
    EXPECT_EQ(m_pauses.load(), 3);

    // Only the rows of the latest command remain.
    m_pauses = 0;
    ASSERT_EQ(connection.ExecuteCommand("select TOP 0 n, label FROM Numbers", table, errorText), db::S_OK);
    EXPECT_EQ(table.header().cells().size(), 2u);
    EXPECT_TRUE(table.rows().empty());
    EXPECT_EQ(m_pauses.load(), 0);
    ASSERT_EQ(connection.ExecuteCommand("SET NOCOUNT ON", table, errorText), db::S_OK);
    EXPECT_TRUE(table.header().cells().empty());
    EXPECT_TRUE(connection.IsOpen());
}

TEST_F(DbConnectionTest, LongResultsArriveCompleteAndInOrder)
{
    db::DbConnection connection(countingOptions());
    std::string errorText;
    connection.Open(connectionString(), errorText);
    ASSERT_TRUE(connection.IsOpen()) << errorText;
    db::ResultTable table;
    ASSERT_EQ(connection.ExecuteCommand("SELECT TOP 1234 label, n FROM dbo.Numbers", table, errorText), db::S_OK);
    ASSERT_EQ(table.rows().size(), 1234u);
    for (std::size_t i = 0; i < table.rows().size(); ++i) {
        ASSERT_EQ(table.rows()[i].cells()[1].text, std::to_string(i + 1));
        ASSERT_EQ(table.rows()[i].cells()[0].text, "Row " + std::to_string(i + 1));
    }
    EXPECT_EQ(m_pauses.load(), 124);
}

// The journal entries a command added, beginning at entry `from`.
std::vector<fakes::TdsBatch> JournalSince(const fakes::TdsTestServer& server, std::size_t from)
{
    auto all = server.batches();
    return std::vector<fakes::TdsBatch>(all.begin() + static_cast<std::ptrdiff_t>(std::min(from, all.size())),
                                        all.end());
}

TEST_F(DbConnectionTest, RowQueriesReadThroughAScrollableServerCursor)
{
    const std::string backup = "BACKUP DATABASE Sales TO DISK ='" + (m_folder / "Sales.bak").string() + "' WITH INIT";
    struct Case {
        std::string command;
        bool cursor;
        std::size_t rows;
    };
    const Case cases[] = {
        {"SELECT TOP 3 n, label FROM dbo.Numbers", true, 3},
        {"select TOP 1234 label, n FROM Numbers", true, 1234},
        {"SeLeCt 'it''s' AS quoted", true, 1},
        {"SELECT TOP 0 n FROM dbo.Numbers", true, 0},
        {" select TOP 3 n FROM dbo.Numbers", false, 3},
        {"\tSELECT 1", false, 1},
        {backup, false, 0},
        {"SET NOCOUNT ON", false, 0},
    };
    db::DbConnection connection(countingOptions());
    std::string errorText;
    connection.Open(connectionString(), errorText);
    ASSERT_TRUE(connection.IsOpen()) << errorText;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        const std::size_t before = s_server->batches().size();
        db::ResultTable table;
        ASSERT_EQ(connection.ExecuteCommand(c.command, table, errorText), db::S_OK) << errorText;
        EXPECT_EQ(table.rows().size(), c.rows);
        const auto journal = JournalSince(*s_server, before);
        ASSERT_FALSE(journal.empty());
        std::string trace;
        for (const auto& entry : journal)
            trace += entry.kind + ": " + entry.text + "\n";
        SCOPED_TRACE(trace);

        if (!c.cursor) {
            ASSERT_EQ(journal.size(), 1u);
            EXPECT_EQ(journal[0].kind, "batch");
            EXPECT_EQ(journal[0].text, c.command);
            continue;
        }
        // Opened scrollable (keyset or static) and read-only, fetched forward
        // in rowsets of 100, closed; nothing is sent as a plain batch.
        std::string quoted;
        for (char ch : c.command)
            quoted += ch == '\'' ? std::string("''") : std::string(1, ch);
        const std::string openPrefix = "sp_cursoropen NULL OUTPUT, N'" + quoted + "', ";
        const std::string& open = journal.front().text;
        ASSERT_EQ(open.substr(0, openPrefix.size()), openPrefix);
        int scroll = 0, concurrency = 0, end = 0;
        ASSERT_EQ(std::sscanf(open.c_str() + openPrefix.size(), "%d OUTPUT, %d OUTPUT, 0 OUTPUT%n", &scroll,
                              &concurrency, &end),
                  2);
        EXPECT_EQ(open.size(), openPrefix.size() + static_cast<std::size_t>(end));
        EXPECT_TRUE((scroll & 0x1F) == 0x01 || (scroll & 0x1F) == 0x08) << "scroll option " << scroll;
        EXPECT_EQ(concurrency & 0x0F, 0x01) << "not read-only";

        long long handle = 0, fetchHandle = 0;
        ASSERT_EQ(std::sscanf(journal.back().text.c_str(), "sp_cursorclose %lld%n", &handle, &end), 1);
        EXPECT_EQ(journal.back().text.size(), static_cast<std::size_t>(end));
        std::size_t fetches = 0;
        for (const auto& entry : journal) {
            EXPECT_EQ(entry.kind, "rpc");
            int rowset = 0;
            if (std::sscanf(entry.text.c_str(), "sp_cursorfetch %lld, 2, NULL, %d%n", &fetchHandle, &rowset, &end) == 2
                && entry.text.size() == static_cast<std::size_t>(end)) {
                ++fetches;
                EXPECT_EQ(fetchHandle, handle);
                EXPECT_EQ(rowset, 100);
            }
        }
        EXPECT_GE(fetches, (c.rows + 99) / 100);
    }
}

TEST_F(DbConnectionTest, CursorRowsArriveCompleteInEveryTdsVersion)
{
    for (const char* version : {"7.1", "7.2", "7.3", "7.4"}) {
        SCOPED_TRACE(version);
        db::DbConnectionOptions options = countingOptions();
        options.odbc.tdsVersion = version;
        db::DbConnection connection(options);
        std::string errorText;
        connection.Open(connectionString(), errorText);
        ASSERT_TRUE(connection.IsOpen()) << errorText;
        m_pauses = 0;
        const std::size_t before = s_server->batches().size();
        db::ResultTable table;
        ASSERT_EQ(connection.ExecuteCommand("SELECT TOP 205 n, NULL AS gap, label, REPLICATE(N'é', 700) AS long "
                                            "FROM dbo.Numbers",
                                            table, errorText),
                  db::S_OK)
            << errorText;
        ASSERT_EQ(table.header().cells().size(), 4u);
        EXPECT_EQ(table.header().cells()[2].text, "label");
        ASSERT_EQ(table.rows().size(), 205u);
        for (std::size_t i = 0; i < table.rows().size(); ++i) {
            const auto& cells = table.rows()[i].cells();
            ASSERT_EQ(cells.size(), 4u);
            ASSERT_EQ(cells[0].text, std::to_string(i + 1));
            ASSERT_TRUE(cells[1].isNull);
            ASSERT_EQ(cells[2].text, "Row " + std::to_string(i + 1));
            std::string accents;
            for (int k = 0; k < 499; ++k)
                accents += "é";
            ASSERT_EQ(cells[3].text, accents);
        }
        EXPECT_EQ(m_pauses.load(), 21);
        const auto journal = JournalSince(*s_server, before);
        ASSERT_FALSE(journal.empty());
        EXPECT_EQ(journal.front().text.rfind("sp_cursoropen ", 0), 0u) << journal.front().text;
        EXPECT_EQ(journal.back().text.rfind("sp_cursorclose ", 0), 0u) << journal.back().text;
    }
}

TEST_F(DbConnectionTest, FailingRowQueryGivesTheServerTextAndClosesTheConnection)
{
    struct Case {
        std::string command;
        std::string contents;
    };
    const Case cases[] = {
        {"SELECT nope FROM dbo.Numbers", "Invalid column name 'nope'."},
        {"SELECT * FROM dbo.Missing", "Invalid object name 'dbo.Missing'."},
        {"SELECT 1; SELECT 2", "A server cursor cannot be opened on the given statement or statements. Use a default "
                               "result set or client cursor."},
    };
    for (const auto& c : cases) {
        db::DbConnection connection;
        std::string errorText;
        connection.Open(connectionString(), errorText);
        ASSERT_TRUE(connection.IsOpen()) << errorText;
        db::ResultTable table;
        EXPECT_TRUE(db::Failed(connection.ExecuteCommand(c.command, table, errorText))) << c.command;
        EXPECT_EQ(errorText, "Error Object : [FreeTDS][SQL Server] Error Contents : " + c.contents);
        EXPECT_FALSE(connection.IsOpen());
        EXPECT_TRUE(table.rows().empty());
    }
}

TEST_F(DbConnectionTest, ConcurrentBackupsEachGetTheirFile)
{
    constexpr int kThreads = 6;
    std::atomic<int> succeeded{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&, i] {
            std::string failure;
            auto connection = db::OdbcConnector().OpenBackupConnection(connectionString(), failure);
            if (!connection)
                return;
            db::ResultTable table;
            std::string errorText;
            const std::string target = (m_folder / ("Sales-" + std::to_string(i) + ".bak")).string();
            if (connection->ExecuteCommand("BACKUP DATABASE Sales TO DISK ='" + target + "' WITH INIT", table,
                                           errorText)
                    == db::S_OK
                && fs::file_size(target) == kBackupBytes) {
                ++succeeded;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(succeeded.load(), kThreads);
}

TEST_F(DbConnectionTest, ConnectorReportsWhyItFailed)
{
    db::OdbcConnector connector;
    std::string failure;
    auto connection = connector.OpenBackupConnection(connectionString("Sales", kUser, "wrong"), failure);
    EXPECT_EQ(connection, nullptr);
    EXPECT_EQ(failure, "Error Object : [FreeTDS][SQL Server] Error Contents : Login failed for user 'backup'.");

    // A process with no descriptor left (ulimit -n) is named as the cause,
    // not the server. The open session keeps the driver loaded.
    auto open = connector.OpenBackupConnection(connectionString(), failure);
    ASSERT_NE(open, nullptr) << failure;
    {
        fakes::NoFreeDescriptors noneLeft;
        ASSERT_TRUE(noneLeft.lowered());
        connection = connector.OpenBackupConnection(connectionString(), failure);
    }
    EXPECT_EQ(connection, nullptr);
    EXPECT_TRUE(failure.ends_with(". Cannot open a connection: Too many open files")) << failure;
}

// Open sockets of this process: every session holds one while it lives.
int OpenSockets()
{
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec).string().rfind("socket:", 0) == 0)
            ++count;
    }
    return count;
}

TEST_F(DbConnectionTest, NoSessionOutlivesItsUse)
{
    const int before = OpenSockets();
    std::string failure;
    EXPECT_TRUE(db::CheckConnection(connectionString(), failure));
    EXPECT_FALSE(db::CheckConnection(connectionString("Sales", kUser, "wrong"), failure));
    EXPECT_FALSE(db::CheckConnection(connectionString("Archive"), failure));
    EXPECT_EQ(OpenSockets(), before);

    db::DbConnection connection;
    std::string errorText;
    connection.Open(connectionString(), errorText);
    ASSERT_TRUE(connection.IsOpen());
    EXPECT_EQ(OpenSockets(), before + 1);
    db::ResultTable table;
    connection.ExecuteCommand("BACKUP DATABASE Sales TO DISK ='/nonexistent/x.bak'", table, errorText);
    EXPECT_EQ(OpenSockets(), before) << "a failed command closes its session";

    connection.Open(connectionString(), errorText);
    connection.Open(connectionString(), errorText);
    EXPECT_EQ(OpenSockets(), before + 1) << "a new Open closes the earlier session";
    connection.Close();
    connection.Close();
    EXPECT_EQ(OpenSockets(), before);
}

// The sockets of this process connected to `port` on 127.0.0.1.
std::vector<int> SocketsTo(int port)
{
    std::vector<int> found;
    for (const auto& entry : fs::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        if (fs::read_symlink(entry.path(), ec).string().rfind("socket:", 0) != 0)
            continue;
        const int fd = std::stoi(entry.path().filename().string());
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0 && peer.sin_family == AF_INET
            && ntohs(peer.sin_port) == port)
            found.push_back(fd);
    }
    return found;
}

// A server that stops answering (frozen, as a hung host looks from here):
// the driver keeps the connection alive with TCP keepalive (idle 40 s,
// probes every 2 s), which ends it in about a minute once the host is gone;
// the program's own one-value queries give up on their own, and say that the
// connection is lost rather than refused.
TEST(DbConnectionSilentServer, QueriesGiveUpAndTheDriverKeepsTheConnectionAlive)
{
    fakes::TdsTestServer server;
    ASSERT_TRUE(server.start()) << server.error();
    db::DbConnectionOptions options;
    options.valueQueryTimeoutSeconds = 1;
    db::DbConnection connection(options);
    std::string errorText;
    connection.Open(server.connectionString(), errorText);
    ASSERT_TRUE(connection.IsOpen()) << errorText;

    const std::vector<int> sockets = SocketsTo(server.port());
    ASSERT_EQ(sockets.size(), 1u);
    int on = 0, idle = 0, interval = 0;
    socklen_t size = sizeof on;
    getsockopt(sockets[0], SOL_SOCKET, SO_KEEPALIVE, &on, &size);
    getsockopt(sockets[0], IPPROTO_TCP, TCP_KEEPIDLE, &idle, &size);
    getsockopt(sockets[0], IPPROTO_TCP, TCP_KEEPINTVL, &interval, &size);
    EXPECT_EQ(on, 1);
    EXPECT_EQ(idle, 40);
    EXPECT_EQ(interval, 2);

    std::string value;
    ASSERT_FALSE(db::Failed(connection.QueryValue(" SELECT @@SPID", value, errorText))) << errorText;
    ASSERT_TRUE(server.freeze());
    const auto started = std::chrono::steady_clock::now();
    const db::HRESULT hr = connection.QueryValue(" SELECT @@SPID", value, errorText);
    const auto elapsed = std::chrono::steady_clock::now() - started;
    server.thaw();
    EXPECT_EQ(hr, db::E_CONNECTION_ABORTED) << errorText;
    EXPECT_LT(elapsed, std::chrono::seconds(30)) << "it gives up, where it used to wait for good";
    EXPECT_FALSE(connection.IsOpen());

    // A refusal of the server is no lost connection.
    fakes::TdsTestServer::Options denied;
    denied.denyServerState = true;
    fakes::TdsTestServer strict(denied);
    ASSERT_TRUE(strict.start()) << strict.error();
    db::DbConnection other;
    other.Open(strict.connectionString(), errorText);
    ASSERT_TRUE(other.IsOpen()) << errorText;
    const db::HRESULT refused = other.QueryValue(" SELECT percent_complete FROM sys.dm_exec_requests", value, errorText);
    EXPECT_TRUE(db::Failed(refused));
    EXPECT_NE(refused, db::E_CONNECTION_ABORTED);
}

// Run by the next test inside a network namespace of its own, where it may
// cut the network: a backup under way, then every packet dropped (a pulled
// cable, a firewall that swallows everything). Prints how long the call took
// to give up.
TEST(CutNetwork, DISABLED_InsideANetworkOfItsOwn)
{
    fakes::TdsTestServer::Options options;
    options.backupDelayMs = 600000;
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();
    db::DbConnection connection;
    std::string errorText;
    connection.Open(server.connectionString(), errorText);
    ASSERT_TRUE(connection.IsOpen()) << errorText;

    std::atomic<bool> done{false};
    db::HRESULT hr = db::S_OK;
    std::thread backup([&] {
        db::ResultTable table;
        hr = connection.ExecuteCommand("BACKUP DATABASE Sales TO DISK = N'/tmp/corvella-cut-" + std::to_string(getpid())
                                           + ".bak'",
                                       table, errorText);
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_EQ(std::system("tc qdisc add dev lo root blackhole"), 0);
    const auto cut = std::chrono::steady_clock::now();
    while (!done && std::chrono::steady_clock::now() - cut < std::chrono::minutes(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - cut).count();
    std::printf("CUT-NETWORK %s %.1f %s\n", db::Failed(hr) ? "failed" : "answered", seconds, errorText.c_str());
    std::fflush(stdout);
    if (!done)
        std::_Exit(0); // the call is still blocked: nothing more to learn
    backup.join();
    std::system("tc qdisc del dev lo root");
    fs::remove("/tmp/corvella-cut-" + std::to_string(getpid()) + ".bak");
}

// A backup under way when the network to the server is cut (modelled as
// root: a network namespace whose loopback drops every packet) ends in about
// a minute, through the driver's TCP keepalive, instead of waiting for good.
TEST(CutNetwork, ABackupOnACutNetworkEndsInAboutAMinute)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for a network namespace";
    if (std::system("command -v unshare >/dev/null && command -v tc >/dev/null") != 0)
        GTEST_SKIP() << "needs unshare (util-linux) and tc (iproute2)";
    const std::string self = fs::read_symlink("/proc/self/exe").string();
    const std::string command = "unshare --net sh -c 'ip link set lo up && exec \"$0\" "
                                "--gtest_also_run_disabled_tests --gtest_filter=CutNetwork.DISABLED_InsideANetworkOfItsOwn' '"
        + self + "' 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            output.append(buffer, n);
        pclose(pipe);
    }
    const std::size_t at = output.find("CUT-NETWORK ");
    ASSERT_NE(at, std::string::npos) << output;
    char outcome[16] = {};
    double seconds = 0;
    ASSERT_EQ(std::sscanf(output.c_str() + at, "CUT-NETWORK %15s %lf", outcome, &seconds), 2) << output;
    std::printf("A backup on a cut network ended after %.1f s\n", seconds);
    EXPECT_STREQ(outcome, "failed") << output;
    // 40 s without traffic, then nine probes 2 s apart.
    EXPECT_GT(seconds, 30) << output;
    EXPECT_LT(seconds, 120) << output;
}

TEST(DbConnectionTimeout, SilentServerFailsAfterTheLoginTimeout)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    socklen_t length = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string dataSource = "127.0.0.1," + std::to_string(ntohs(address.sin_port));

    db::DbConnectionOptions options;
    options.loginTimeoutSeconds = 2;
    db::DbConnection connection(options);
    std::string errorText;
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(db::Failed(connection.Open(db::BuildConnectionString(dataSource, "Sales", "sa", "pw"), errorText)));
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_FALSE(connection.IsOpen());
    EXPECT_LT(elapsed, std::chrono::seconds(12));
    EXPECT_NE(errorText.find("Error Object : "), std::string::npos) << errorText;
    close(listener);
}

} // namespace
