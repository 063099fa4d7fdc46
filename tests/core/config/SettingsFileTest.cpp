#include "config/ProfileFile.h"
#include "config/RunOptions.h"
#include "config/SettingsFile.h"

#include "fakes/TempFolder.h"
#include "config/PasswordCodec.h"
#include "log/Log.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using config::DatabaseList;

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

DatabaseList::Row databaseRow(const std::string& name)
{
    return {"", "(local)", name, "backupuser", "uLGr", "12 Hours", "/srv/backups", "True", "False", "False"};
}

void append(DatabaseList& list, const DatabaseList::Row& row)
{
    int r = list.insertRow(list.rowCount());
    for (int c = 0; c < config::kConfigColumnCount; ++c)
        list.setCell(r, c, row[static_cast<std::size_t>(c)]);
}

class SettingsFileTest : public ::testing::Test {
protected:
    std::string ini() const { return m_folder.path("BackupConfig.ini"); }

    fakes::TempFolder m_folder;
    logging::Log m_log {m_folder.path("BackupLog.log")};
};

TEST_F(SettingsFileTest, NoFileLoadsNothingAndSavingAnEmptyListWritesOnlyTheCount)
{
    DatabaseList list;
    config::LoadDatabaseList(ini(), list);
    EXPECT_EQ(list.rowCount(), 0);

    ASSERT_TRUE(config::SaveDatabaseList(ini(), list, m_log));
    EXPECT_EQ(m_folder.read("BackupConfig.ini"), "[DBBackInfo]\nTOTAL_COUNT=0\n");
    EXPECT_NE(m_folder.read("BackupLog.log").find("  Saved Database Configurations\r\n"), std::string::npos);
}

TEST_F(SettingsFileTest, TheCountIsReadAsALeadingDecimalNumber)
{
    struct Case {
        const char* count;
        int rows;
    };
    const Case cases[] = {
        {"letters", 0}, {"3x", 3}, {"-2", 0}, {"  2", 2}, {"+1", 1}, {"", 0}, {"0", 0}, {"99999999999999999999", 10000},
    };
    for (const Case& c : cases) {
        m_folder.write("BackupConfig.ini", std::string("[DBBackInfo]\r\nDB_NAME_0=Payroll\r\nTOTAL_COUNT=") + c.count + "\r\n");
        DatabaseList list;
        config::LoadDatabaseList(ini(), list);
        EXPECT_EQ(list.rowCount(), c.rows) << c.count;
        if (c.rows > 0) {
            EXPECT_EQ(list.cell(0, config::ColDatabaseName), "Payroll");
            EXPECT_EQ(list.cell(c.rows - 1, config::ColSerial), std::to_string(c.rows));
        }
    }
}

TEST_F(SettingsFileTest, MissingGroupsAndKeysGiveRowsWithEmptyCells)
{
    m_folder.write("BackupConfig.ini",
                   "[DBBackInfo]\n"
                   "TOTAL_COUNT=4\n"
                   "DB_URL_0=srv0\nDB_NAME_0=A\nBACKUP_DEL_0=True\n"
                   "DB_URL_1=srv1\nDB_NAME_1=B\n"
                   "DB_URL_2=srv2\nDB_NAME_2=C\nBACKUP_DEL_2=False\n");
    DatabaseList list;
    config::LoadDatabaseList(ini(), list);
    ASSERT_EQ(list.rowCount(), 4);
    const std::vector<DatabaseList::Row> expected = {
        {"1", "srv0", "A", "", "", "", "", "", "", "True"},
        {"2", "srv1", "B", "", "", "", "", "", "", ""},
        {"3", "srv2", "C", "", "", "", "", "", "", "False"},
        {"4", "", "", "", "", "", "", "", "", ""},
    };
    for (int r = 0; r < 4; ++r)
        EXPECT_EQ(list.row(r), expected[static_cast<std::size_t>(r)]) << "row " << r;
}

// The groups of deleted rows leave the file with their stored passwords;
// what is not a group key of the list, and the other sections, stay.
TEST_F(SettingsFileTest, ACutListRemovesLaterGroupsAndReloadsWithFreshSerials)
{
    DatabaseList list;
    for (const char* name : {"A", "B", "C", "D", "E"})
        append(list, databaseRow(name));
    list.setCell(2, config::ColSerial, "77");
    list.setCell(1, config::ColUserName, "");
    ASSERT_TRUE(config::SaveDatabaseList(ini(), list, m_log));
    std::string text = m_folder.read("BackupConfig.ini");
    // Added by hand: a duplicate in other letter case, keys the program does
    // not know, and another section.
    text += "db_initer_4=uLGr\nDB_NAME_03=kept\nNOTE_4=kept\n[EMAILSERVERINFO]\nSVRPD=mail\nDB_NAME_4=other\n";
    m_folder.write("BackupConfig.ini", text);
    list.removeRow(4);
    list.removeRow(3);
    ASSERT_TRUE(config::SaveDatabaseList(ini(), list, m_log));

    text = m_folder.read("BackupConfig.ini");
    EXPECT_NE(text.find("TOTAL_COUNT=3\n"), std::string::npos);
    EXPECT_NE(text.find("DB_USER_ID_1=\n"), std::string::npos);
    EXPECT_NE(text.find("DB_INITER_2=uLGr\n"), std::string::npos);
    for (const char* gone : {"_3=", "_4=E", "DB_INITER_4", "db_initer_4"})
        EXPECT_EQ(text.find(gone), std::string::npos) << gone;
    for (const char* kept : {"DB_NAME_03=kept\n", "NOTE_4=kept\n", "SVRPD=mail\n", "DB_NAME_4=other\n"})
        EXPECT_NE(text.find(kept), std::string::npos) << kept;

    DatabaseList reloaded;
    config::LoadDatabaseList(ini(), reloaded);
    ASSERT_EQ(reloaded.rowCount(), 3);
    for (int r = 0; r < 3; ++r) {
        EXPECT_EQ(reloaded.cell(r, config::ColSerial), std::to_string(r + 1));
        for (int c = 1; c < config::kConfigColumnCount; ++c)
            EXPECT_EQ(reloaded.cell(r, c), list.cell(r, c)) << r << "/" << c;
    }
}

TEST_F(SettingsFileTest, AFirstSaveLaysOutTheFileKeyByKey)
{
    DatabaseList list;
    append(list, {"1", "(local)", "Payroll", "backupuser", "moC7vPygpbE=", "12 Hours", "E:\\SqlBackups", "True", "False", "False"});
    ASSERT_TRUE(config::SaveDatabaseList(ini(), list, m_log));

    config::MailSettings mail;
    mail.serverAddress = "mail.example.org";
    mail.account = "backups@example.org";
    mail.password = "abc";
    mail.recipient = "dba@example.org";
    mail.security = "SIMPLE";
    mail.subject = "Nightly backup";
    mail.mailingServerName = "Office mailer";
    mail.messageText = "Backup attached.";
    ASSERT_TRUE(config::SaveMailSettings(ini(), mail, "25"));

    const std::vector<std::string> expected = {
        "[DBBackInfo]",
        "DB_URL_0=(local)",
        "DB_NAME_0=Payroll",
        "DB_USER_ID_0=backupuser",
        "DB_INITER_0=moC7vPygpbE=",
        "TIME_INTERVAL_0=12 Hours",
        "BACKUP_PATH_0=E:\\SqlBackups",
        "BACKUP_ZIP_0=True",
        "BACKUP_EMAIL_0=False",
        "BACKUP_DEL_0=False",
        "TOTAL_COUNT=1",
        "[EMAILSERVERINFO]",
        "SVRIP=mail.example.org",
        "SVRPORT=25",
        "SVRID=backups@example.org",
        "SVRPD=uLGr",
        "SVRSENDER=dba@example.org",
        "SECURITY=SIMPLE",
        "SVRSUBJECT=Nightly backup",
        "SVRNAME=Office mailer",
        "SVRMSG=Backup attached.",
    };
    EXPECT_EQ(lines(m_folder.read("BackupConfig.ini")), expected);
    EXPECT_EQ(m_folder.mode("BackupConfig.ini"), 0600u);

    config::MailSettings loaded;
    loaded.security = "";
    config::LoadMailSettings(ini(), loaded);
    mail.port = 25;
    EXPECT_EQ(loaded, mail);
}

TEST_F(SettingsFileTest, MailSettingsFollowTheStoredRules)
{
    config::MailSettings mail;
    mail.serverAddress = "smtp.example.org";
    mail.password = "s3cret ä";
    mail.messageText = "Hello,\r\n\r\nthe backup is attached.\r\nRegards";
    ASSERT_TRUE(config::SaveMailSettings(ini(), mail, "587"));

    // An empty password leaves the stored one in place.
    config::MailSettings withoutPassword = mail;
    withoutPassword.password = "";
    withoutPassword.subject = "changed";
    ASSERT_TRUE(config::SaveMailSettings(ini(), withoutPassword, "587"));

    config::MailSettings loaded;
    config::LoadMailSettings(ini(), loaded);
    EXPECT_EQ(loaded.password, "s3cret ä");
    EXPECT_EQ(loaded.messageText, mail.messageText);
    EXPECT_EQ(loaded.subject, "changed");
    EXPECT_EQ(loaded.port, 587u);
    EXPECT_EQ(loaded.serverAddress, "smtp.example.org");

    // The file keeps one key per line.
    for (const std::string& line : lines(m_folder.read("BackupConfig.ini")))
        EXPECT_TRUE(line.front() == '[' || line.find('=') != std::string::npos) << line;

    // Without SVRPORT the address is not taken; a SVRPD that does not decode
    // and values not stored keep what the settings held.
    m_folder.write("BackupConfig.ini",
                   "[EMAILSERVERINFO]\r\nSVRIP=ignored.example\r\nSVRPD= \r\nSVRSENDER=dba@example.org\r\n");
    config::MailSettings defaults;
    defaults.password = "kept";
    defaults.subject = "kept subject";
    config::LoadMailSettings(ini(), defaults);
    EXPECT_EQ(defaults.serverAddress, "");
    EXPECT_EQ(defaults.port, 0u);
    EXPECT_EQ(defaults.password, "kept");
    EXPECT_EQ(defaults.subject, "kept subject");
    EXPECT_EQ(defaults.recipient, "dba@example.org");
    EXPECT_EQ(defaults.security, "SIMPLE");
}

namespace {

std::string ZipCompressionOf(const std::string& path)
{
    config::ProfileFile profile;
    config::ProfileFile::load(path, profile);
    return config::ReadRunOptions(profile).zipCompression;
}

} // namespace

TEST_F(SettingsFileTest, MailOnFailureIsStoredInOptionsOnlyOnceItWasTurnedOn)
{
    config::MailSettings mail;
    mail.serverAddress = "smtp.example.org";
    m_folder.write("BackupConfig.ini", "[OPTIONS]\nZIP_COMPRESSION=SMALLEST\n");
    ASSERT_TRUE(config::SaveMailSettings(ini(), mail, "25"));
    const std::string neverSet = m_folder.read("BackupConfig.ini");
    EXPECT_EQ(neverSet.find("MAIL_ON_FAILURE"), std::string::npos) << neverSet;

    mail.mailOnFailure = true;
    ASSERT_TRUE(config::SaveMailSettings(ini(), mail, "25"));
    EXPECT_EQ(m_folder.read("BackupConfig.ini"),
              "[OPTIONS]\nZIP_COMPRESSION=SMALLEST\nMAIL_ON_FAILURE=TRUE\n" + neverSet.substr(neverSet.find("[EMAILSERVERINFO]")));
    config::MailSettings loaded;
    config::LoadMailSettings(ini(), loaded);
    EXPECT_TRUE(loaded.mailOnFailure);
    EXPECT_EQ(ZipCompressionOf(ini()), "SMALLEST");

    // Once stored, turning it off writes FALSE in its place.
    mail.mailOnFailure = false;
    ASSERT_TRUE(config::SaveMailSettings(ini(), mail, "25"));
    EXPECT_NE(m_folder.read("BackupConfig.ini").find("ZIP_COMPRESSION=SMALLEST\nMAIL_ON_FAILURE=FALSE\n"), std::string::npos);
    config::LoadMailSettings(ini(), loaded);
    EXPECT_FALSE(loaded.mailOnFailure);

    // Edited by hand: only TRUE, in any case, turns it on; outside OPTIONS it does not count.
    const std::vector<std::pair<std::string, bool>> cases = {
        {"[options]\nmail_on_failure=true\n", true},
        {"[OPTIONS]\nMAIL_ON_FAILURE = True \n", true},
        {"[OPTIONS]\nMAIL_ON_FAILURE=yes\n", false},
        {"[OPTIONS]\nMAIL_ON_FAILURE=1\n", false},
        {"[OPTIONS]\nMAIL_ON_FAILURE=\n", false},
        {"[EMAILSERVERINFO]\nMAIL_ON_FAILURE=TRUE\n", false},
    };
    for (const auto& [text, on] : cases) {
        m_folder.write("BackupConfig.ini", text);
        config::MailSettings read;
        config::LoadMailSettings(ini(), read);
        EXPECT_EQ(read.mailOnFailure, on) << text;
    }
}

TEST_F(SettingsFileTest, AFailedSaveIsReportedAndLogged)
{
    DatabaseList list;
    append(list, databaseRow("Payroll"));
    const std::string unreachable = m_folder.path("no such folder/BackupConfig.ini");
    std::string listError;
    std::string mailError;
    EXPECT_FALSE(config::SaveDatabaseList(unreachable, list, m_log, &listError));
    EXPECT_FALSE(config::SaveMailSettings(unreachable, config::MailSettings {}, "25", &mailError));
    const std::string reason = "Cannot write settings file '" + unreachable + "': No such file or directory";
    EXPECT_EQ(listError, reason);
    EXPECT_EQ(mailError, reason);
    // A failed save is logged as failed, never as saved.
    const std::string logText = m_folder.read("BackupLog.log");
    EXPECT_EQ(logText.find("Saved Database Configurations"), std::string::npos) << logText;
    EXPECT_NE(logText.find("Saving the database configurations failed. " + reason), std::string::npos) << logText;
}

// A value too long for the format is refused with its key's name, on the
// way in and on the way out, and never cut: nothing of the file is loaded,
// and the file is not replaced by what could be loaded.
TEST_F(SettingsFileTest, AValueTooLongIsRefusedByNameAndNeverCut)
{
    const std::string fits(config::ProfileFile::kMaxValueLength, 'p');
    const std::string tooLong(2000, 'p');
    const auto tooLongText = [this](const char* section, const char* key, std::size_t length) {
        return "The value of " + std::string(key) + " in section [" + section + "] of the settings file '" + ini()
            + "' is " + std::to_string(length) + " bytes long; a value may hold at most 1023 bytes.";
    };

    struct Case {
        std::string text;
        bool listLoads;
        bool mailLoads;
        std::string problem;
    };
    const std::string group = "[DBBackInfo]\r\nTOTAL_COUNT=1\r\nDB_NAME_0=Sales\r\n";
    const Case cases[] = {
        {group + "BACKUP_PATH_0=/" + fits.substr(1) + "\r\n", true, true, ""},
        {group + "BACKUP_PATH_0=/" + tooLong.substr(1) + "\r\n", false, true,
         tooLongText("DBBackInfo", "BACKUP_PATH_0", 2000)},
        // Groups beyond the count are never read.
        {group + "BACKUP_PATH_1=" + tooLong + "\r\n", true, true, ""},
        {group + "[OPTIONS]\r\nDB_CA_FILE=" + tooLong + "\r\n", false, true,
         tooLongText("OPTIONS", "DB_CA_FILE", 2000)},
        {group + "[EMAILSERVERINFO]\r\nSVRPORT=25\r\nSVRMSG=\"" + tooLong + "\"\r\n", true, false,
         tooLongText("EMAILSERVERINFO", "SVRMSG", 2000)},
    };
    for (const Case& c : cases) {
        m_folder.write("BackupConfig.ini", c.text);
        DatabaseList list;
        std::string listError;
        EXPECT_EQ(config::LoadDatabaseList(ini(), list, &listError), c.listLoads) << c.text.substr(0, 80);
        EXPECT_EQ(list.rowCount(), c.listLoads ? 1 : 0);
        config::MailSettings mail;
        std::string mailError;
        EXPECT_EQ(config::LoadMailSettings(ini(), mail, &mailError), c.mailLoads);
        EXPECT_EQ(c.listLoads ? mailError : listError, c.problem);
        if (c.listLoads) {
            EXPECT_EQ(list.cell(0, config::ColBackupPath), &c == cases ? "/" + fits.substr(1) : "");
        }

        DatabaseList replacement;
        append(replacement, databaseRow("Stock"));
        std::string saveError;
        EXPECT_EQ(config::SaveDatabaseList(ini(), replacement, m_log, &saveError), c.listLoads);
        if (!c.listLoads) {
            EXPECT_EQ(saveError, c.problem + " Correct it in the file first.");
            EXPECT_EQ(m_folder.read("BackupConfig.ini"), c.text);
        }
    }

    // What the program would write too long is refused the same way.
    DatabaseList list;
    append(list, databaseRow("Sales"));
    list.setCell(0, config::ColBackupPath, tooLong);
    m_folder.write("BackupConfig.ini", group);
    std::string error;
    EXPECT_FALSE(config::SaveDatabaseList(ini(), list, m_log, &error));
    EXPECT_EQ(error, tooLongText("DBBackInfo", "BACKUP_PATH_0", 2000));
    config::MailSettings mail;
    mail.messageText = tooLong;
    EXPECT_FALSE(config::SaveMailSettings(ini(), mail, "25", &error));
    EXPECT_EQ(error, tooLongText("EMAILSERVERINFO", "SVRMSG", 2000));
    EXPECT_EQ(m_folder.read("BackupConfig.ini"), group);
}

TEST_F(SettingsFileTest, TheZipCompressionLivesInItsOwnSection)
{
    EXPECT_EQ(ZipCompressionOf(ini()), "");
    m_folder.write("BackupConfig.ini", "[DBBackInfo]\nTOTAL_COUNT=0\nZIP_COMPRESSION=SMALLEST\n");
    EXPECT_EQ(ZipCompressionOf(ini()), "") << "the key counts only in OPTIONS";
    m_folder.write("BackupConfig.ini", "[DBBackInfo]\nTOTAL_COUNT=0\n[OPTIONS]\nZIP_COMPRESSION=SMALLEST\n");
    EXPECT_EQ(ZipCompressionOf(ini()), "SMALLEST");

    // Edited by hand: names in any case; the value comes back as written, for the engine to map.
    m_folder.write("BackupConfig.ini", "[options]\r\nzip_compression = Balanced \r\n");
    EXPECT_EQ(ZipCompressionOf(ini()), "Balanced");
}

TEST(ProgramFolderTest, IsTheFolderOfTheRunningExecutable)
{
    char buffer[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", buffer, sizeof buffer - 1), 0);
    std::string exe = buffer;
    EXPECT_EQ(config::ProgramFolder() + "corvella_config_tests", exe);
    EXPECT_EQ(config::DefaultSettingsPath(), config::ProgramFolder() + "BackupConfig.ini");
}

} // namespace
