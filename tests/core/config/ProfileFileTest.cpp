#include "config/ProfileFile.h"

#include "fakes/TempFolder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using config::ProfileFile;

TEST(ProfileFileTest, ReadsLineEndingsBomCommentsAndBlanksAroundEquals)
{
    const std::string text =
        "\xEF\xBB\xBF; written by hand\r\n"
        "[DBBackInfo]\r\n"
        "TOTAL_COUNT = 2\r\n"
        "# a comment line = not a key\r\n"
        "\r\n"
        "  db_name_0\t=\tPayroll  \r\n"
        "DB_NAME_0=second of the same name\r\n"
        "BACKUP_PATH_0=E:\\SqlBackups\n"
        "QUOTED_0=\"E:\\SqlBackups\\new\"\n"
        "EMPTY_0=\n"
        "[emailserverinfo]\n"
        "SVRPORT=25";
    const ProfileFile profile = ProfileFile::parse(text);

    struct Case {
        const char* section;
        const char* key;
        std::optional<std::string> value;
    };
    const Case cases[] = {
        {"DBBackInfo", "TOTAL_COUNT", "2"},
        {"dbbackinfo", "total_count", "2"},
        {"DBBackInfo", "DB_NAME_0", "Payroll"},
        {"DBBackInfo", "BACKUP_PATH_0", "E:\\SqlBackups"},
        {"DBBackInfo", "QUOTED_0", "E:\\SqlBackups\\new"},
        {"DBBackInfo", "EMPTY_0", ""},
        {"DBBackInfo", "# a comment line", std::nullopt},
        {"DBBackInfo", "SVRPORT", std::nullopt},
        {"EMAILSERVERINFO", "SVRPORT", "25"},
        {"missing", "TOTAL_COUNT", std::nullopt},
    };
    for (const Case& c : cases)
        EXPECT_EQ(profile.find(c.section, c.key), c.value) << c.section << "/" << c.key;

    EXPECT_EQ(profile.text(), text);
}

// A CR alone ends a line as CR LF and LF do (old files, or a file cut after
// its last CR); a key added after such a line leaves that line's value alone.
// Values a Windows installation wrote in code page 1252 come back as UTF-8.
TEST(ProfileFileTest, ALoneCarriageReturnEndsALineAndWindowsTextBecomesUtf8)
{
    ProfileFile profile = ProfileFile::parse("[DBBackInfo]\rTOTAL_COUNT=1\rBACKUP_PATH_0=/srv/b\r");
    EXPECT_EQ(profile.find("DBBackInfo", "TOTAL_COUNT"), "1");
    EXPECT_EQ(profile.find("DBBackInfo", "BACKUP_PATH_0"), "/srv/b");
    profile.write("DBBackInfo", "BACKUP_ZIP_0", "True");
    EXPECT_EQ(profile.text(), "[DBBackInfo]\rTOTAL_COUNT=1\rBACKUP_PATH_0=/srv/b\rBACKUP_ZIP_0=True\r");
    EXPECT_EQ(ProfileFile::parse(profile.text()).find("DBBackInfo", "BACKUP_PATH_0"), "/srv/b");

    const ProfileFile windows = ProfileFile::parse("[DBBackInfo]\r\nDB_NAME_0=Verk\xE4ufe\r\n"
                                                   "DB_USER_ID_0=b\xE9n\xE9\x64icte\r\nBACKUP_PATH_0=D:\\M\xE4rz\r\n"
                                                   "DB_URL_0=sch\xC3\xB6n\r\n");
    EXPECT_EQ(windows.find("DBBackInfo", "DB_NAME_0"), "Verkäufe");
    EXPECT_EQ(windows.find("DBBackInfo", "DB_USER_ID_0"), "bénédicte");
    EXPECT_EQ(windows.find("DBBackInfo", "BACKUP_PATH_0"), "D:\\März");
    EXPECT_EQ(windows.find("DBBackInfo", "DB_URL_0"), "schön"); // already UTF-8
}

TEST(ProfileFileTest, WritesReplaceInPlaceAppendToTheirSectionAndKeepEverythingElse)
{
    ProfileFile profile = ProfileFile::parse(
        "\xEF\xBB\xBF[DBBackInfo]\r\n"
        "; keep me\r\n"
        "Total_Count = 1\r\n"
        "DB_NAME_0=Old\r\n"
        "\r\n"
        "[EMAILSERVERINFO]\r\n"
        "SVRIP=mail.example\r\n"
        "SVRPORT=25");
    profile.write("dbbackinfo", "TOTAL_COUNT", "2");
    profile.write("DBBackInfo", "DB_NAME_1", "New");
    profile.write("EMAILSERVERINFO", "SVRID", "ops");
    profile.write("OPTIONS", "ZIP_COMPRESSION", "SMALLEST");

    EXPECT_EQ(profile.text(),
              "\xEF\xBB\xBF[DBBackInfo]\r\n"
              "; keep me\r\n"
              "Total_Count = 2\r\n"
              "DB_NAME_0=Old\r\n"
              "DB_NAME_1=New\r\n"
              "\r\n"
              "[EMAILSERVERINFO]\r\n"
              "SVRIP=mail.example\r\n"
              "SVRPORT=25\r\n"
              "SVRID=ops\r\n"
              "[OPTIONS]\r\n"
              "ZIP_COMPRESSION=SMALLEST\r\n");

    ProfileFile fresh;
    fresh.write("DBBackInfo", "TOTAL_COUNT", "0");
    EXPECT_EQ(fresh.text(), "[DBBackInfo]\nTOTAL_COUNT=0\n");
}

TEST(ProfileFileTest, ValuesThatWouldNotReadBackWholeAreQuotedAndEverythingElseIsStoredAsIs)
{
    const std::vector<std::string> values = {
        "Backup attached.\r\nRegards,\r\n\r\nthe DBA team",
        "unix\nlines\n",
        "\"quoted by the user\"",
        "  leading and trailing blanks\t",
        "back\\slash \\n not a break",
        "\"",
        "E:\\SqlBackups",
        "=equals=inside=",
        "",
    };
    ProfileFile profile;
    for (std::size_t i = 0; i < values.size(); ++i)
        profile.write("EMAILSERVERINFO", "KEY" + std::to_string(i), values[i]);

    const std::string text = profile.text();
    const ProfileFile reread = ProfileFile::parse(text);
    for (std::size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(reread.find("EMAILSERVERINFO", "KEY" + std::to_string(i)), values[i]) << i;

    // One key per line: the header and one line per value.
    std::size_t lineCount = 0;
    for (char ch : text)
        lineCount += ch == '\n';
    EXPECT_EQ(lineCount, values.size() + 1);

    EXPECT_NE(text.find("KEY0=\"Backup attached.\\r\\nRegards,\\r\\n\\r\\nthe DBA team\"\n"), std::string::npos);
    EXPECT_NE(text.find("KEY4=back\\slash \\n not a break\n"), std::string::npos);
    EXPECT_NE(text.find("KEY6=E:\\SqlBackups\n"), std::string::npos);
}

// Repeated sections and keys are text like any other: the first of a name
// is the one read and written, and a key added to a section goes before the
// blank lines that end it, not into a later section of the same name.
TEST(ProfileFileTest, RepeatedSectionsAndKeysStayAsTheyAreAndTheFirstWins)
{
    ProfileFile profile = ProfileFile::parse("[A]\nK=1\nk=2\n\n[]\n[b]\nX=1\n[a]\nK=3\nL=4\n[]\nY=5\n");
    EXPECT_EQ(profile.find("A", "K"), "1");
    EXPECT_EQ(profile.find("A", "L"), std::nullopt);
    EXPECT_EQ(profile.find("", "Y"), std::nullopt);
    EXPECT_EQ(profile.find("B", "X"), "1");
    EXPECT_EQ(profile.keys("a"), (std::vector<std::string> {"K"}));

    profile.write("a", "K", "one");
    profile.write("A", "M", "6");
    profile.write("B", "Z", "7");
    profile.write("A", "M", "six");
    profile.write("", "Y", "8");
    EXPECT_EQ(profile.text(), "[A]\nK=one\nk=2\nM=six\n\n[]\nY=8\n[b]\nX=1\nZ=7\n[a]\nK=3\nL=4\n[]\nY=5\n");
    EXPECT_EQ(profile.keys("A"), (std::vector<std::string> {"K", "M"}));
    EXPECT_EQ(ProfileFile::parse(profile.text()).find("", "Y"), "8");

    // A removal takes every line of the key from the first section of the
    // name, written lines too, and none from a repeated one.
    EXPECT_TRUE(profile.remove("a", "k"));
    EXPECT_TRUE(profile.remove("A", "M"));
    EXPECT_FALSE(profile.remove("A", "M"));
    EXPECT_FALSE(profile.remove("missing", "K"));
    EXPECT_EQ(profile.find("A", "K"), std::nullopt);
    EXPECT_EQ(profile.keys("A"), std::vector<std::string> {});
    profile.write("A", "K", "again");
    EXPECT_EQ(profile.text(), "[A]\nK=again\n\n[]\nY=8\n[b]\nX=1\nZ=7\n[a]\nK=3\nL=4\n[]\nY=5\n");
    EXPECT_EQ(profile.find("A", "K"), "again");
}

// Values are read whole, whatever their length: refusing the ones that are
// too long is the settings readers' part.
TEST(ProfileFileTest, ReadsValuesWhole)
{
    ProfileFile profile;
    profile.write("S", "FAR_OVER", std::string(5000, 'c'));
    EXPECT_EQ(profile.read("S", "FAR_OVER"), std::string(5000, 'c'));
    EXPECT_EQ(ProfileFile::parse(profile.text()).read("S", "FAR_OVER"), std::string(5000, 'c'));
    EXPECT_EQ(profile.read("S", "MISSING"), "");
}

// A file of the largest size allowed that holds little but blank lines, "[]"
// lines or repeated keys takes memory in proportion to its size, not to its
// number of lines, and still reads and writes as any other.
TEST(ProfileFileTest, OddFilesOfTheLargestSizeTakeMemoryInProportionToTheirSize)
{
    const std::string head = "[DBBackInfo]\r\nTOTAL_COUNT=1\r\nDB_NAME_0=Sales\r\n";
    const auto fill = [&head](const std::string& line) {
        std::string text = head;
        text.reserve(ProfileFile::kMaxFileSize);
        while (text.size() + line.size() <= ProfileFile::kMaxFileSize)
            text += line;
        return text;
    };
    // A new key goes after the section's last line that is not blank.
    const std::pair<std::string, bool> cases[] = {
        {"\r\n", true}, {"[]\r\n", true}, {"DB_NAME_0=again\r\n", false}, {"; note\r\n", false}};
    for (const auto& [line, afterHead] : cases) {
        std::string text = fill(line);
        const std::size_t size = text.size();
        const struct mallinfo2 before = ::mallinfo2();
        ProfileFile profile = ProfileFile::parse(std::move(text));
        const struct mallinfo2 after = ::mallinfo2();
        // Sanitizer builds keep their own books: mallinfo2 reports nothing there.
        if (before.uordblks + before.hblkhd != 0) {
            const std::size_t used = (after.uordblks + after.hblkhd) - (before.uordblks + before.hblkhd);
            EXPECT_LT(used, size / 4) << "beyond the text itself, for lines of " << line.size() << " bytes";
        }
        EXPECT_EQ(profile.find("DBBackInfo", "DB_NAME_0"), "Sales");
        profile.write("DBBackInfo", "DB_URL_0", "(local)");
        const std::string written = profile.text();
        EXPECT_EQ(written.size(), size + std::string("DB_URL_0=(local)\r\n").size());
        EXPECT_EQ(written.find("DB_URL_0=(local)\r\n"), afterHead ? head.size() : size) << line.size();
    }
}

TEST(ProfileFileTest, SavesAtomicallyWithPrivateModeForNewFilesAndTheOldModeOtherwise)
{
    fakes::TempFolder folder;
    const std::string path = folder.path("BackupConfig.ini");

    ProfileFile profile;
    profile.write("DBBackInfo", "TOTAL_COUNT", "0");
    std::string error;
    ASSERT_TRUE(profile.save(path, &error)) << error;
    EXPECT_EQ(folder.read("BackupConfig.ini"), "[DBBackInfo]\nTOTAL_COUNT=0\n");
    EXPECT_EQ(folder.mode("BackupConfig.ini"), 0600u);

    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(config::UpdateProfileFile(path, [](ProfileFile& p) { p.write("DBBackInfo", "TOTAL_COUNT", "3"); }, &error))
        << error;
    EXPECT_EQ(folder.read("BackupConfig.ini"), "[DBBackInfo]\nTOTAL_COUNT=3\n");
    EXPECT_EQ(folder.mode("BackupConfig.ini"), 0640u);

    // Through a link, the file it points to is replaced and the link stays.
    folder.write("real.ini", "[A]\nK=1\n");
    ASSERT_EQ(::symlink(folder.path("real.ini").c_str(), folder.path("link.ini").c_str()), 0);
    ASSERT_TRUE(config::UpdateProfileFile(folder.path("link.ini"), [](ProfileFile& p) { p.write("A", "K", "2"); }));
    EXPECT_EQ(folder.read("real.ini"), "[A]\nK=2\n");
    struct stat linkStatus {};
    ASSERT_EQ(::lstat(folder.path("link.ini").c_str(), &linkStatus), 0);
    EXPECT_TRUE(S_ISLNK(linkStatus.st_mode));

    EXPECT_EQ(folder.entries(), (std::vector<std::string> {"BackupConfig.ini", "link.ini", "real.ini"}))
        << "no temporary file is left behind";
}

TEST(ProfileFileTest, AFailedLoadOrSaveLeavesTheFileAsItWas)
{
    fakes::TempFolder folder;
    std::string error;

    // A folder where the file should be cannot be read: nothing is written.
    ASSERT_TRUE(std::filesystem::create_directory(folder.path("BackupConfig.ini")));
    EXPECT_FALSE(config::UpdateProfileFile(folder.path("BackupConfig.ini"),
                                           [](ProfileFile& p) { p.write("A", "K", "v"); }, &error));
    EXPECT_NE(error.find(folder.path("BackupConfig.ini")), std::string::npos) << error;
    EXPECT_TRUE(std::filesystem::is_directory(folder.path("BackupConfig.ini")));

    error.clear();
    ProfileFile profile;
    profile.write("A", "K", "v");
    EXPECT_FALSE(profile.save(folder.path("missing/BackupConfig.ini"), &error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;

    ProfileFile loaded;
    EXPECT_EQ(ProfileFile::load(folder.path("absent.ini"), loaded), ProfileFile::LoadStatus::Missing);
    EXPECT_EQ(loaded.text(), "");
}

} // namespace
