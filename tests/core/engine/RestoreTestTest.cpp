// The parts of a restore test that decide what is created and what is
// dropped on the server: scratch names, the commands, when a test is due,
// and the record that survives a restart.

#include "engine/RestoreTest.h"
#include "engine/RestoreTestRecord.h"

#include "fakes/TempFolder.h"
#include "fakes/TestFiles.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>

namespace {

std::tm At(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    return tm;
}

// UTF-16 code units of a UTF-8 text, as the server counts a name.
std::size_t Utf16Units(const std::string& text)
{
    std::size_t units = 0;
    for (unsigned char c : text) {
        if ((c & 0xC0) != 0x80)
            units += c >= 0xF0 ? 2 : 1;
    }
    return units;
}

} // namespace

TEST(RestoreTestNames, ScratchNamesSayWhatTheyAreAndNothingElseIsEverTakenForOne)
{
    const std::tm when = At(2014, 7, 14, 9, 5, 3);
    EXPECT_EQ(engine::ScratchDatabaseName("Sales", when), "Sales_restoretest_20140714090503");
    // A name written in brackets is the name inside them.
    EXPECT_EQ(engine::ScratchDatabaseName("[Q]]u'ote]", when), "Q]u'ote_restoretest_20140714090503");
    EXPECT_EQ(engine::ScratchDatabaseName("Verkäufe", when), "Verkäufe_restoretest_20140714090503");

    // The server's limit of 128 characters, cut between characters.
    const std::string longName = std::string(90, 'x') + std::string(20, 'y');
    const std::string cut = engine::ScratchDatabaseName(longName, when);
    EXPECT_EQ(Utf16Units(cut), 128u);
    EXPECT_TRUE(engine::IsScratchDatabaseName(cut, longName));
    std::string emoji;
    for (int i = 0; i < 60; ++i)
        emoji += "\xF0\x9F\x93\x9A"; // one character, two UTF-16 units
    const std::string emojiCut = engine::ScratchDatabaseName(emoji, when);
    EXPECT_LE(Utf16Units(emojiCut), 128u);
    EXPECT_EQ(emojiCut.substr(0, 4 * 50), emoji.substr(0, 4 * 50));
    EXPECT_TRUE(emojiCut.ends_with("_restoretest_20140714090503"));

    const std::string scratch = "Sales_restoretest_20140714090503";
    EXPECT_TRUE(engine::IsScratchDatabaseName(scratch, "Sales"));
    EXPECT_TRUE(engine::IsScratchDatabaseName(scratch, "[Sales]"));
    for (const std::string other : {"Sales", "Sales_restoretest_2014071409050", "Sales_restoretest_201407140905031",
                                    "Sales_restoretest_2014071409050x", "sales_restoretest_20140714090503",
                                    "Sales2_restoretest_20140714090503", "Sales_restoretest_20140714090503 ",
                                    "xSales_restoretest_20140714090503"}) {
        EXPECT_FALSE(engine::IsScratchDatabaseName(other, "Sales")) << other;
    }
    EXPECT_FALSE(engine::IsScratchDatabaseName(scratch, "Sale"));
}

TEST(RestoreTestCommands, NamesAndPathsAreQuotedAndFilesLandInTheServersFolders)
{
    const std::string scratch = "Q]u'ote_restoretest_20140714090503";
    EXPECT_EQ(engine::RestoreCommand(scratch, "/backups/Q]u'ote/Q]u'ote.Bak",
                                     {{"Q]u'ote", "/data/a.mdf"}, {"Q]u'ote_log", "/data/a_log.ldf"}}, true),
              "RESTORE DATABASE [Q]]u'ote_restoretest_20140714090503] FROM DISK = N'/backups/Q]u''ote/Q]u''ote.Bak' "
              "WITH MOVE N'Q]u''ote' TO N'/data/a.mdf', MOVE N'Q]u''ote_log' TO N'/data/a_log.ldf', CHECKSUM, "
              "RECOVERY");
    EXPECT_EQ(engine::RestoreCommand("S_restoretest_20140714090503", "D:\\B\\S.Bak", {{"S", "D:\\x.mdf"}}, false),
              "RESTORE DATABASE [S_restoretest_20140714090503] FROM DISK = N'D:\\B\\S.Bak' WITH MOVE N'S' TO "
              "N'D:\\x.mdf', RECOVERY");
    EXPECT_EQ(engine::CheckCommand(scratch),
              "DBCC CHECKDB ([Q]]u'ote_restoretest_20140714090503]) WITH NO_INFOMSGS, ALL_ERRORMSGS");
    EXPECT_EQ(engine::DropCommand(scratch), "DROP DATABASE [Q]]u'ote_restoretest_20140714090503]");
    EXPECT_EQ(engine::ExistsQuery(scratch),
              " SELECT name FROM sys.databases WHERE name = N'Q]u''ote_restoretest_20140714090503'");

    using engine::BackupFileEntry;
    const std::string s = "S_restoretest_20140714090503";
    EXPECT_EQ(engine::MovedFilePath("/var/opt/mssql/data/", s, {"S", 'D', "1"}, false),
              "/var/opt/mssql/data/S_restoretest_20140714090503.mdf");
    EXPECT_EQ(engine::MovedFilePath("/var/opt/mssql/data", s, {"S_log", 'L', "2"}, true),
              "/var/opt/mssql/data/S_restoretest_20140714090503_log.ldf");
    EXPECT_EQ(engine::MovedFilePath("D:\\SQLData", s, {"S2", 'D', "3"}, false),
              "D:\\SQLData\\S_restoretest_20140714090503_3.ndf");
    EXPECT_EQ(engine::MovedFilePath("D:\\SQLLogs\\", s, {"S_log2", 'L', "4"}, false),
              "D:\\SQLLogs\\S_restoretest_20140714090503_log4.ldf");
    EXPECT_EQ(engine::MovedFilePath("/data", s, {"Docs", 'S', "5"}, false), "/data/S_restoretest_20140714090503_5");
    // Characters no file system takes, in the name the file is made from.
    EXPECT_EQ(engine::MovedFilePath("/data", "a/b\\c:d*e?f\"g<h>i|j.", {"x", 'D', "1"}, false),
              "/data/a_b_c_d_e_f_g_h_i_j_.mdf");
}

TEST(RestoreTestSchedule, ADatabaseIsDueOnceItsDaysHavePassed)
{
    const std::time_t now = 1'700'000'000;
    EXPECT_TRUE(engine::IsRestoreTestDue(std::nullopt, now, 7));
    EXPECT_TRUE(engine::IsRestoreTestDue(now - 60, now, 0));
    EXPECT_FALSE(engine::IsRestoreTestDue(now - 7 * 86400 + 1, now, 7));
    EXPECT_TRUE(engine::IsRestoreTestDue(now - 7 * 86400, now, 7));
    EXPECT_TRUE(engine::IsRestoreTestDue(now + 3600, now, 7)) << "a clock set back does not postpone tests for good";
}

TEST(RestoreTestRecord, SurvivesARestartWithAnyNamesAndKeepsWhatItCannotRead)
{
    fakes::TempFolder folder("corvella-record");
    const std::string path = engine::RestoreTestStateFile::PathBesideLog(folder.path("BackupLog.log"));
    EXPECT_EQ(path, folder.path("RestoreTests.state"));
    const std::string sales = engine::RestoreTestKey("127.0.0.1,1433", "Sales");
    const std::string odd = engine::RestoreTestKey("db\\inst", "Tab\there\\ and\nline");
    std::string error;
    {
        engine::RestoreTestStateFile record(path);
        EXPECT_FALSE(record.lastTest(sales));
        EXPECT_TRUE(record.setLastTest(sales, 1000, error)) << error;
        EXPECT_TRUE(record.setLastTest(sales, 2000, error)) << error;
        EXPECT_TRUE(record.setLastTest(odd, 3000, error)) << error;
        EXPECT_TRUE(record.addScratchDatabase(odd, "Tab\there\\_restoretest_1", error)) << error;
        EXPECT_TRUE(record.addScratchDatabase(sales, "Sales_restoretest_1", error)) << error;
        EXPECT_TRUE(record.addScratchDatabase(sales, "Sales_restoretest_2", error)) << error;
    }
    // A line a later version may add, or a hand edit, stays.
    std::ofstream(path, std::ios::app) << "future\tsomething\n";

    engine::RestoreTestStateFile record(path);
    EXPECT_EQ(record.lastTest(sales), std::optional<std::time_t>(2000));
    EXPECT_EQ(record.lastTest(odd), std::optional<std::time_t>(3000));
    EXPECT_EQ(record.scratchDatabases(odd), std::vector<std::string>{"Tab\there\\_restoretest_1"});
    EXPECT_TRUE(record.removeScratchDatabase(sales, "Sales_restoretest_1", error));
    EXPECT_TRUE(record.removeScratchDatabase(sales, "Sales_restoretest_9", error));
    EXPECT_EQ(record.scratchDatabases(sales), std::vector<std::string>{"Sales_restoretest_2"});
    EXPECT_TRUE(record.scratchDatabases(engine::RestoreTestKey("127.0.0.1,1433", "sales")).empty());
    std::ifstream in(path);
    const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_NE(text.find("\nfuture\tsomething\n"), std::string::npos) << text;
    EXPECT_EQ(fakes::FilesIn(folder.root()), std::vector<std::string>{"RestoreTests.state"});
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A record that cannot be written says so: a test must then not create its database.
    engine::RestoreTestStateFile nowhere(folder.path("missing/RestoreTests.state"));
    EXPECT_FALSE(nowhere.addScratchDatabase(sales, "Sales_restoretest_3", error));
    EXPECT_NE(error.find("missing/RestoreTests.state"), std::string::npos) << error;
}
