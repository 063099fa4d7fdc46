#include "engine/ServerFolder.h"

#include "db/DbConnection.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TempFolder.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using Outcome = engine::FolderVisibility::Outcome;

TEST(ServerFolder, NamesFollowTheStyleOfTheServersPath)
{
    const std::pair<std::string, std::string> cases[] = {
        {"/var/opt/mssql/backup", "/var/opt/mssql/backup/Sales/temp"},
        {"/var/opt/mssql/backup//", "/var/opt/mssql/backup/Sales/temp"},
        {"/", "/Sales/temp"},
        {"D:\\Backups", "D:\\Backups\\Sales\\temp"},
        {"d:\\backups\\", "d:\\backups\\Sales\\temp"},
        {"D:\\", "D:\\Sales\\temp"},
        {"D:/Backups/", "D:/Backups\\Sales\\temp"},
        {"\\\\fileserver\\backup", "\\\\fileserver\\backup\\Sales\\temp"},
    };
    for (const auto& [serverPath, expected] : cases)
        EXPECT_EQ(engine::ServerTempFolder(serverPath, "Sales", "/srv/backup/Sales/temp"), expected) << serverPath;
    EXPECT_EQ(engine::ServerTempFolder("", "Sales", "/srv/backup/Sales/temp"), "/srv/backup/Sales/temp");
}

// The check against the test server seeing the host's folder under another
// name, as a container does: each answer of the server in plain words, and
// the marker file gone afterwards.
TEST(ServerFolder, TheCheckTellsWhatTheServerSeesOfTheFolder)
{
    fakes::TempFolder folder("corvella-server-folder");
    const std::string root = folder.root() + "/backup";
    fs::create_directories(root + "/Sales/temp");
    fs::create_directories(root + "/Closed/temp");
    fs::permissions(folder.root(), fs::perms(0755));
    fakes::TdsTestServer::Options options;
    options.anyDatabase = true;
    options.pathMap = {{"/var/opt/mssql/backup", root}};
    const bool asContainer = geteuid() == 0;
    if (asContainer) {
        // The container's account, which may enter only what its group may.
        options.runAs = "10001:" + std::to_string(getegid());
        fs::permissions(root, fs::perms(0755));
        for (const char* sub : {"/Sales", "/Sales/temp"})
            fs::permissions(root + sub, fs::perms(0755));
        fs::permissions(root + "/Closed", fs::perms(0700));
    }
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();

    struct Case {
        std::string label;
        engine::ServerFolderNames names;
        Outcome outcome;
        std::string text;
    };
    std::vector<Case> cases = {
        {"seen", engine::FolderNamesFor(root, "/var/opt/mssql/backup", "Sales"), Outcome::Seen,
         "The SQL Server sees the backup folder '" + root
             + "/Sales/temp' (to the SQL Server '/var/opt/mssql/backup/Sales/temp')."},
        {"by the host's name", engine::FolderNamesFor(root, "", "Sales"), Outcome::NotSeen,
         "The SQL Server does not see the backup folder: it cannot find '" + root + "/Sales/temp', which is '" + root
             + "/Sales/temp' here. Set Server's Backup Path to the path under which the SQL Server sees " + root
             + "."},
        {"a wrong name", engine::FolderNamesFor(root, "/var/opt/mssql/data", "Sales"), Outcome::NotSeen,
         "The SQL Server does not see the backup folder: it cannot find '/var/opt/mssql/data/Sales/temp', which is '"
             + root + "/Sales/temp' here. Set Server's Backup Path to the path under which the SQL Server sees "
             + root + "."},
        {"no folder here", engine::FolderNamesFor("/proc/none", "/var/opt/mssql/backup", "Sales"), Outcome::Unchecked,
         "Corvella could not check whether the SQL Server sees the backup folder '/proc/none/Sales/temp' (to the SQL "
         "Server '/var/opt/mssql/backup/Sales/temp'): the folder cannot be created here."},
    };
    if (asContainer) {
        cases.push_back({"closed", engine::FolderNamesFor(root, "/var/opt/mssql/backup", "Closed"),
                         Outcome::NotReadable,
                         "The SQL Server finds the backup folder '/var/opt/mssql/backup/Closed/temp' (here '" + root
                             + "/Closed/temp') but may not read in it (operating system error 5): give its service "
                               "account the rights of "
                             + root + "."});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        db::DbConnection connection;
        std::string error;
        connection.Open(server.connectionString(), error);
        ASSERT_TRUE(connection.IsOpen()) << error;
        const engine::FolderVisibility found = engine::CheckServerSeesFolder(connection, c.names);
        EXPECT_EQ(found.outcome, c.outcome);
        EXPECT_EQ(found.text, c.text);
    }
    for (const char* sub : {"/Sales/temp", "/Closed/temp"})
        EXPECT_TRUE(fs::is_empty(root + sub)) << "the marker is removed";

    // A connection that is gone: the check says it could not be made.
    db::DbConnection closed;
    const engine::FolderVisibility refused
        = engine::CheckServerSeesFolder(closed, engine::FolderNamesFor(root, "", "Sales"));
    EXPECT_EQ(refused.outcome, Outcome::Unchecked);
    EXPECT_THAT(refused.text, ::testing::EndsWith(": the server gave no reason."));
}
