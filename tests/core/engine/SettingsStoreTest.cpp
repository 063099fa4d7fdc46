#include "engine/SettingsStore.h"
#include "engine/SystemServices.h"

#include "config/DatabaseList.h"
#include "config/ProfileFile.h"
#include "fakes/TempFolder.h"
#include "log/Log.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

// Everybody reads the settings through one store: it parses the file once
// per change, sees every save (even one that keeps the size), and a file that
// turns unreadable fails the connections instead of losing their encryption.
TEST(SettingsStore, OneParsePerChangeEverySaveSeenAndAnUnreadableFileRefusesConnections)
{
    fakes::TempFolder folder;
    const std::string path = folder.path("BackupConfig.ini");
    auto store = std::make_shared<engine::SettingsStore>(path);

    const auto missing = store->current();
    EXPECT_TRUE(missing->readable);
    EXPECT_EQ(missing->databaseList.rowCount(), 0);

    folder.write("BackupConfig.ini", "[DBBackInfo]\nTOTAL_COUNT=1\nDB_URL_0=srv\nDB_NAME_0=Sales\n"
                                     "TIME_INTERVAL_0=30 Minutes\nBACKUP_ZIP_0=True\n"
                                     "[EMAILSERVERINFO]\nSVRSENDER=dba@example.org\n"
                                     "[OPTIONS]\nVERIFY_BACKUP=true\nZIP_COMPRESSION=FAST\nDB_ENCRYPTION=off\n"
                                     "DB_CA_FILE=issuer.pem\nMAIL_ON_FAILURE=TRUE\n");
    const auto first = store->current();
    ASSERT_EQ(first->databases.size(), 1u);
    EXPECT_EQ(first->databases[0].databaseName, "Sales");
    EXPECT_EQ(first->databases[0].intervalMinutes, 30);
    EXPECT_TRUE(first->databases[0].zip);
    EXPECT_EQ(first->databaseList.cell(0, config::ColInterval), "30 Minutes");
    EXPECT_EQ(first->mail.recipient, "dba@example.org");
    EXPECT_TRUE(first->mail.mailOnFailure);
    EXPECT_TRUE(first->options.verifyBackup);
    EXPECT_EQ(first->options.zipCompression, "FAST");
    EXPECT_EQ(first->options.connection.encryption, config::DbEncryption::Off);
    EXPECT_EQ(first->options.connection.caFile, folder.root() + "/issuer.pem");
    EXPECT_EQ(store->current(), first); // unchanged: the same parse

    // A save through the store is seen at once, and one of the same size by
    // anybody's hand at the next call.
    config::DatabaseList list = first->databaseList;
    list.setCell(0, config::ColDatabaseName, "Stock");
    {
        logging::Log log(folder.path("BackupLog.log"));
        ASSERT_TRUE(store->saveDatabaseList(list, log));
    }
    EXPECT_EQ(store->current()->databases[0].databaseName, "Stock");
    config::ProfileFile edited;
    ASSERT_EQ(config::ProfileFile::load(path, edited), config::ProfileFile::LoadStatus::Loaded);
    edited.write("DBBackInfo", "DB_NAME_0", "Money");
    ASSERT_TRUE(edited.save(path));
    EXPECT_EQ(store->current()->databases[0].databaseName, "Money");
    EXPECT_EQ(first->databases[0].databaseName, "Sales"); // a snapshot never changes

    db::DbConnectionOptions options;
    std::string failure;
    EXPECT_TRUE(engine::LoadConnectionOptions(*store, options, failure)) << failure;
    ::unlink(path.c_str());
    ::mkdir(path.c_str(), 0700);
    const auto unreadable = store->current();
    EXPECT_FALSE(unreadable->readable);
    EXPECT_NE(unreadable->problem.find("not a regular file"), std::string::npos) << unreadable->problem;
    EXPECT_EQ(unreadable->databaseList.rowCount(), 0);
    EXPECT_FALSE(engine::LoadConnectionOptions(*store, options, failure));
    EXPECT_NE(failure.find("no database connection is made without the encryption settings it holds"),
              std::string::npos)
        << failure;
    // Readable again: the next call sees it.
    ::rmdir(path.c_str());
    folder.write("BackupConfig.ini", "[OPTIONS]\nDB_ENCRYPTION=REQUIRE\n");
    EXPECT_TRUE(engine::LoadConnectionOptions(*store, options, failure));
    EXPECT_EQ(options.encryption.mode, db::EncryptionOptions::Mode::Require);
}
