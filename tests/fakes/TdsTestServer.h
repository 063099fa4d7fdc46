#pragma once

#include "fakes/ServerProcess.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace fakes {

// One SQL batch as the test server received it.
struct TdsBatch {
    std::string login;    // the login of the session that sent it
    std::string database; // the session's current database at that moment
    std::string kind;     // "batch", or "rpc" for a procedure call (text: the procedure and its parameters)
    std::string text;     // the command text, exactly as sent
};

// One login attempt as the test server received it.
struct TdsLogin {
    std::string login;      // the user name, exactly as sent
    std::string database;   // the database asked for, empty when none was
    std::string password;   // the password, exactly as sent
    bool accepted = false;
    std::string encryption; // "none", "login" (only the login packet) or "full"
};

// The SQL Server wire-protocol test server (tools/tdsserver/tds_server.py),
// run as a child process on 127.0.0.1 with a free port. It checks logins and
// database names, writes real backup files for BACKUP DATABASE, verifies them
// for RESTORE VERIFYONLY, restores, checks and drops copies of them, answers
// simple SELECTs (see the script's header for what it understands) and
// records every login attempt, batch and procedure call in a journal that
// logins() and batches() read.
//
// start() blocks until the server listens (at most 15 s; on failure error()
// says why, with what the server printed); stop() and the destructor end it
// by its process id (SIGTERM, then SIGKILL after 5 s; a server a test has
// frozen with SIGSTOP is continued first) and wait for it. The
// server answers a login or a batch only after journaling it, so logins() and
// batches() see it as soon as the call that sent it has returned. The child
// is also sent SIGTERM should the thread that started it die first, also
// after it has become another user. Not thread-safe; one thread drives a
// server, while any number of connections may talk to it at once.
class TdsTestServer {
public:
    struct Options {
        std::vector<std::pair<std::string, std::string>> logins{{"backup", "Backup#2024"}};
        std::vector<std::string> databases{"Sales"};
        std::uint64_t backupSize = 1 << 20; // bytes of each backup file
        int backupDelayMs = 0;              // server-side time of each backup, spent writing it
        bool anyDatabase = false;           // every database name exists, besides `databases`
        std::vector<std::string> damagedBackupsOf; // backups of these fail RESTORE VERIFYONLY
        bool denyServerState = false;       // sys.dm_exec_requests answers error 300 then 297
        // Restore tests: the server's default data and log folders
        // (SERVERPROPERTY; empty: NULL, the log folder then the data folder),
        // the data files of every backup, the time each restore takes, and
        // the databases whose consistency check (and that of copies restored
        // from their backups) finds errors.
        std::string dataPath;
        std::string logPath;
        int dataFiles = 1;
        int restoreDelayMs = 0;
        std::vector<std::string> consistencyErrorsIn;
        // Backups of these databases stop progressing at the percentage and
        // wait until they are cancelled.
        std::vector<std::pair<std::string, int>> stalledBackupsOf;
        // (server path, real folder): the server sees the folder under the
        // name it gives it (as a container or a Windows server does) and no
        // other path; empty: every path is its own.
        std::vector<std::pair<std::string, std::string>> pathMap;
        // "USER" or "USER:GROUP": the server listens, then becomes that user for
        // good, as a database service runs under its own account. Needs root.
        std::string runAs;
        int umask = -1;                     // the server's umask; -1 keeps the inherited one
        // PEM files; with both the server offers encryption in its pre-login answer.
        std::string tlsCertificateFile;
        std::string tlsKeyFile;
        bool forceEncryption = false;       // answer ENCRYPT_REQ and refuse plain logins
    };

    TdsTestServer();
    explicit TdsTestServer(Options options);
    ~TdsTestServer();

    TdsTestServer(const TdsTestServer&) = delete;
    TdsTestServer& operator=(const TdsTestServer&) = delete;

    bool start();
    void stop();

    // Stops the server as a frozen host looks: freeze() returns once every
    // thread of it has stopped, so nothing it was about to send gets out.
    bool freeze() { return m_process.freeze(); }
    void thaw() { m_process.thaw(); }

    bool isRunning() const { return m_process.pid() > 0; }
    pid_t pid() const { return m_process.pid(); }
    int port() const { return m_port; }
    const std::string& error() const { return m_error; }

    // "127.0.0.1,<port>", the server address as an operator types it.
    std::string dataSource() const;
    // The program's connection string to this server.
    std::string connectionString(const std::string& database, const std::string& user,
                                 const std::string& password) const;
    // With the first configured login and database.
    std::string connectionString() const;

    // Every batch and procedure call received so far, oldest first.
    std::vector<TdsBatch> batches() const;
    // Every login attempt so far, oldest first.
    std::vector<TdsLogin> logins() const;
    // The texts of the batches that start with `prefix` (any case), oldest first.
    std::vector<std::string> commandsStartingWith(const std::string& prefix) const;

    // The script the server runs: $CORVELLA_TDS_SERVER, else the one in the
    // source tree.
    static std::string scriptPath();

private:
    Options m_options;
    ServerProcess m_process;
    int m_port = 0;
    std::string m_folder;
    std::string m_journal;
    std::string m_errors;
    std::string m_error;
};

} // namespace fakes
