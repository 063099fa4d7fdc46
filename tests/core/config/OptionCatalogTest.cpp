#include "config/OptionCatalog.h"
#include "config/PasswordCodec.h"
#include "config/ProfileFile.h"

#include "fakes/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

namespace {

using config::OptionEntry;
using config::OptionKind;

std::string Upper(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::toupper(c); });
    return text;
}

// Every entry, whoever adds it, must be usable by the dialog and the help:
// a unique key, a default its own check accepts, a group and one line of
// explanation, choices in the stored (upper-case) form.
TEST(OptionCatalogTest, EveryEntryIsCompleteAndConsistent)
{
    std::set<std::string> keys;
    for (const OptionEntry& entry : config::OptionCatalog()) {
        SCOPED_TRACE(entry.key);
        EXPECT_TRUE(keys.insert(Upper(entry.key)).second) << "key listed twice";
        EXPECT_EQ(entry.key, Upper(entry.key));
        EXPECT_FALSE(entry.group.empty());
        EXPECT_FALSE(entry.explanation.empty());
        EXPECT_EQ(entry.explanation.find('\n'), std::string::npos);
        EXPECT_EQ(config::CheckOptionValue(entry, entry.defaultValue), "");
        EXPECT_EQ(config::FindOption(Upper(entry.key)), &entry);
        if (entry.kind == OptionKind::Choice) {
            EXPECT_GE(entry.choices.size(), 2u);
            for (const std::string& choice : entry.choices)
                EXPECT_EQ(choice, Upper(choice));
            EXPECT_NE(std::find(entry.choices.begin(), entry.choices.end(), entry.defaultValue), entry.choices.end());
        }
        if (entry.kind == OptionKind::Number) {
            EXPECT_LT(entry.minimum, entry.maximum);
        }
    }
    // The keys the program reads today; each must be editable.
    for (const char* key : {"ZIP_COMPRESSION", "VERIFY_BACKUP", "MAIL_ON_FAILURE", "DB_ENCRYPTION", "DB_CA_FILE",
                            "DB_TRUST_SERVER_CERTIFICATE", "START_SERVICE_ON_LAUNCH", "METRICS_FILE"})
        EXPECT_NE(config::FindOption(key), nullptr) << key;
    EXPECT_NE(config::FindOption(" verify_backup "), nullptr);
    EXPECT_EQ(config::FindOption("NO_SUCH_KEY"), nullptr);
}

TEST(OptionCatalogTest, ValuesAreCheckedByKind)
{
    const OptionEntry& verify = *config::FindOption("VERIFY_BACKUP");
    const OptionEntry& zip = *config::FindOption("ZIP_COMPRESSION");
    const OptionEntry minutes{.key = "WAIT_MINUTES", .kind = OptionKind::Number, .minimum = 0.5, .maximum = 1440,
                              .fractions = true};
    const OptionEntry days{.key = "EVERY_DAYS", .kind = OptionKind::Number, .minimum = 1, .maximum = 365};
    const OptionEntry path{.key = "SOME_FILE", .kind = OptionKind::Path};

    struct Case {
        const OptionEntry* entry;
        std::string value;
        std::string refusal;
    };
    const Case cases[] = {
        {&verify, "true", ""},
        {&verify, " False ", ""},
        {&verify, "", ""},
        {&verify, "yes", "VERIFY_BACKUP must be TRUE or FALSE."},
        {&verify, "1", "VERIFY_BACKUP must be TRUE or FALSE."},
        {&zip, "fast", ""},
        {&zip, "ULTRA", "ZIP_COMPRESSION must be BALANCED, FAST or SMALLEST."},
        {&minutes, "0.5", ""},
        {&minutes, "1440", ""},
        {&minutes, "0.4", "WAIT_MINUTES must be a number from 0.5 to 1440."},
        {&minutes, "1441", "WAIT_MINUTES must be a number from 0.5 to 1440."},
        {&minutes, ".5", "WAIT_MINUTES must be a number from 0.5 to 1440."},
        {&minutes, "5.", "WAIT_MINUTES must be a number from 0.5 to 1440."},
        {&minutes, "1e2", "WAIT_MINUTES must be a number from 0.5 to 1440."},
        {&minutes, "0,5", "WAIT_MINUTES must be a number from 0.5 to 1440."},
        {&days, "7", ""},
        {&days, "7.5", "EVERY_DAYS must be a whole number from 1 to 365."},
        {&days, "-1", "EVERY_DAYS must be a whole number from 1 to 365."},
        {&days, "0", "EVERY_DAYS must be a whole number from 1 to 365."},
        {&days, "99999999999999999999999", "EVERY_DAYS must be a whole number from 1 to 365."},
        {&path, "/etc/ssl/ca é.pem", ""},
        {&path, "/tmp/a\nb", "SOME_FILE must be on one line."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(config::CheckOptionValue(*c.entry, c.value), c.refusal) << c.entry->key << "=" << c.value;

    EXPECT_EQ(config::NormalizedOptionValue(verify, " true "), "TRUE");
    EXPECT_EQ(config::NormalizedOptionValue(path, " /srv/Ca.pem "), "/srv/Ca.pem");
}

TEST(OptionCatalogTest, SecretsAreStoredEncodedAndReadBackPlain)
{
    const OptionEntry secret{.key = "SOME_SECRET", .kind = OptionKind::Secret};
    const std::string stored = config::StoredOptionValue(secret, "s3cr3t Passwört");
    EXPECT_NE(stored, "s3cr3t Passwört");
    std::string plain;
    config::PasswordCodec codec;
    ASSERT_EQ(codec.Decode(stored, plain), config::PasswordCodec::kOk);
    EXPECT_EQ(plain, "s3cr3t Passwört");
    EXPECT_EQ(config::StoredOptionValue(secret, ""), "");
}

// A file written by hand or by another version: its other sections, comments,
// unknown keys and odd spellings survive a save that changes one key, and
// only that key's line changes.
TEST(OptionCatalogTest, SavingChangesOnlyTheGivenKeysAndKeepsTheRestOfTheFile)
{
    fakes::TempFolder folder;
    const std::string ini = folder.path("BackupConfig.ini");
    const std::string original = "[DBBackInfo]\r\n"
                                 "TOTAL_COUNT=0\r\n"
                                 "[options]\r\n"
                                 "; written by hand\r\n"
                                 "zip_compression = fast\r\n"
                                 "verify_backup=yes\r\n"
                                 "FUTURE_KEY=keep me\r\n"
                                 "[EMAILSERVERINFO]\r\n"
                                 "SVRIP=mail.example.org\r\n";
    folder.write("BackupConfig.ini", original);

    config::ProfileFile profile;
    ASSERT_EQ(config::ProfileFile::load(ini, profile), config::ProfileFile::LoadStatus::Loaded);
    const std::vector<config::OptionValue> values = config::ReadOptionValues(profile);
    ASSERT_EQ(values.size(), config::OptionCatalog().size());
    const auto valueOf = [&values](const std::string& key) {
        return *std::find_if(values.begin(), values.end(), [&](const auto& v) { return v.entry->key == key; });
    };
    EXPECT_EQ(valueOf("ZIP_COMPRESSION").value, "FAST");
    EXPECT_TRUE(valueOf("ZIP_COMPRESSION").stored);
    EXPECT_EQ(valueOf("VERIFY_BACKUP").value, "yes");
    EXPECT_FALSE(valueOf("VERIFY_BACKUP").understood);
    EXPECT_EQ(valueOf("DB_ENCRYPTION").value, "REQUEST");
    EXPECT_FALSE(valueOf("DB_ENCRYPTION").stored);

    // A refused value writes nothing at all, not even the good one beside it.
    std::string error;
    EXPECT_FALSE(config::SaveOptionValues(ini, {{"DB_ENCRYPTION", "off"}, {"ZIP_COMPRESSION", "ultra"}}, &error));
    EXPECT_EQ(error, "ZIP_COMPRESSION must be BALANCED, FAST or SMALLEST.");
    EXPECT_FALSE(config::SaveOptionValues(ini, {{"FUTURE_KEY", "x"}}, &error));
    EXPECT_EQ(error, "FUTURE_KEY is not an option of this program.");
    EXPECT_EQ(folder.read("BackupConfig.ini"), original);

    ASSERT_TRUE(config::SaveOptionValues(ini, {{"VERIFY_BACKUP", "true"}, {"DB_ENCRYPTION", "require"}}, &error))
        << error;
    EXPECT_EQ(folder.read("BackupConfig.ini"), "[DBBackInfo]\r\n"
                                               "TOTAL_COUNT=0\r\n"
                                               "[options]\r\n"
                                               "; written by hand\r\n"
                                               "zip_compression = fast\r\n"
                                               "verify_backup=TRUE\r\n"
                                               "FUTURE_KEY=keep me\r\n"
                                               "DB_ENCRYPTION=REQUIRE\r\n"
                                               "[EMAILSERVERINFO]\r\n"
                                               "SVRIP=mail.example.org\r\n");
}

} // namespace
