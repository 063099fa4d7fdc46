#include "db/Connection.h"
#include "db/ConnectionString.h"
#include "db/DbConnection.h"

#include <gtest/gtest.h>

namespace {

TEST(ConnectionString, PlainValuesComeOutExactlyAndOthersAreQuoted)
{
    struct Case {
        const char* server;
        const char* database;
        const char* user;
        const char* password;
        const char* expected;
    };
    const Case cases[] = {
        {"db01", "Sales", "backup", "s3cret",
         "Provider=SQLOLEDB.1;Data Source=db01;Initial Catalog=Sales;User ID=backup;Password=s3cret;Persist Security Info=True;"},
        {"(local)\\SQLEXPRESS", "Sales", "sa", "",
         "Provider=SQLOLEDB.1;Data Source=(local)\\SQLEXPRESS;Initial Catalog=Sales;User ID=sa;Password=;Persist Security Info=True;"},
        {"db01", "Sales", "sa", "a;b",
         "Provider=SQLOLEDB.1;Data Source=db01;Initial Catalog=Sales;User ID=sa;Password=\"a;b\";Persist Security Info=True;"},
        {"db01", "Sales", "sa", "say \"hi\"",
         "Provider=SQLOLEDB.1;Data Source=db01;Initial Catalog=Sales;User ID=sa;Password=\"say \"\"hi\"\"\";Persist Security Info=True;"},
        {"db01", "O'Brien", "sa", " pad ",
         "Provider=SQLOLEDB.1;Data Source=db01;Initial Catalog=\"O'Brien\";User ID=sa;Password=\" pad \";Persist Security Info=True;"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(db::BuildConnectionString(c.server, c.database, c.user, c.password), c.expected) << c.password;
}

TEST(ConnectionString, EveryValueSurvivesTheRoundTrip)
{
    const std::string values[] = {"", "plain", "a;b", "x\"y", "it's", "  both  ", "{a}b}", "p=w;d", "\"", "'",
                                  "ünïcödé;", "x};y"};
    for (const auto& value : values) {
        db::ConnectionProperties properties;
        std::string error;
        ASSERT_TRUE(db::ParseConnectionString(db::BuildConnectionString("srv", value, "user", value), properties, error))
            << value << ": " << error;
        EXPECT_EQ(properties.Find({"Password"}).value_or("<missing>"), value);
        EXPECT_EQ(properties.Find({"initial catalog"}).value_or("<missing>"), value);
        EXPECT_EQ(properties.Find({"Data Source"}).value_or("<missing>"), "srv");
    }
}

TEST(ConnectionString, MalformedStringsAreRefused)
{
    const char* bad[] = {
        "Data Source=x;Password=\"open",
        "Data Source=x;Password=\"a\"b;",
        "Data Source=x;Password;",
        "=value;",
    };
    for (const char* text : bad) {
        db::ConnectionProperties properties;
        std::string error;
        EXPECT_FALSE(db::ParseConnectionString(text, properties, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

TEST(ConnectionString, DataSourceFormsTranslateForTheDriver)
{
    struct Case {
        const char* dataSource;
        const char* host;
        const char* port;
    };
    const Case cases[] = {
        {"(local)", "127.0.0.1", ""},
        {"(LOCAL)\\SQLEXPRESS", "127.0.0.1\\SQLEXPRESS", ""},
        {".", "127.0.0.1", ""},
        {".\\INST", "127.0.0.1\\INST", ""},
        {"", "127.0.0.1", ""},
        {"tcp:db.example.org,1433", "db.example.org", "1433"},
        {"TCP:10.1.2.3", "10.1.2.3", ""},
        {" db01 , 01500 ", "db01", "1500"},
        {"db01\\REPORTING", "db01\\REPORTING", ""},
        {"(local),14330", "127.0.0.1", "14330"},
    };
    for (const auto& c : cases) {
        db::ServerAddress address;
        std::string error;
        ASSERT_TRUE(db::TranslateDataSource(c.dataSource, address, error)) << c.dataSource << ": " << error;
        EXPECT_EQ(address.host, c.host) << c.dataSource;
        EXPECT_EQ(address.port, c.port) << c.dataSource;
    }
    for (const char* bad : {"db01,", "db01,abc", "db01,0", "db01,65536", "db01,-5"}) {
        db::ServerAddress address;
        std::string error;
        EXPECT_FALSE(db::TranslateDataSource(bad, address, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
}

TEST(ConnectionString, DriverStringBracesWhatNeedsItAndRefusesWhatItCannotCarry)
{
    db::ConnectionProperties properties;
    std::string error;
    ASSERT_TRUE(db::ParseConnectionString(
        db::BuildConnectionString("tcp:(local),1433", "Sales", "backup", "a;b}c"), properties, error));
    std::string odbc;
    ASSERT_TRUE(db::BuildOdbcConnectionString(properties, {}, odbc, error)) << error;
    EXPECT_EQ(odbc, "DRIVER={FreeTDS};SERVER=127.0.0.1;PORT=1433;DATABASE=Sales;UID=backup;PWD={a;b}c};"
                    "TDS_Version=7.4;ClientCharset=UTF-8;");

    const std::pair<const char*, const char*> braced[] = {
        {"plain", "plain"}, {"", ""}, {"a}b", "{a}b}"}, {"ends}", "{ends}}"}, {"{x", "{{x}"}, {" pad", "{ pad}"}};
    for (const auto& [value, expected] : braced)
        EXPECT_EQ(db::BraceOdbcValue(value).value_or("<refused>"), expected) << value;

    db::ConnectionProperties cut;
    ASSERT_TRUE(db::ParseConnectionString(db::BuildConnectionString("db01", "Sales", "sa", "x};y"), cut, error));
    EXPECT_FALSE(db::BuildOdbcConnectionString(cut, {}, odbc, error));
    EXPECT_NE(error.find("password"), std::string::npos) << error;
}

TEST(ConnectionString, RowQueryIsSelectInTheFirstSixCharacters)
{
    const std::pair<const char*, bool> cases[] = {
        {"SELECT 1", true}, {"select name from sys.databases", true}, {"SeLeCt", true},
        {" SELECT 1", false}, {"SELEC", false}, {"BACKUP DATABASE x TO DISK='y'", false}, {"", false}};
    for (const auto& [command, expected] : cases)
        EXPECT_EQ(db::DbConnection::IsRowQuery(command), expected) << '"' << command << '"';
}

TEST(ConnectionString, ErrorTextSplitsSourceAndContentsAndIsCutBetweenCharacters)
{
    EXPECT_EQ(db::DbConnection::FormatErrorText("[FreeTDS][SQL Server]Login failed for user 'sa'."),
              "Error Object : [FreeTDS][SQL Server] Error Contents : Login failed for user 'sa'.");
    EXPECT_EQ(db::DbConnection::FormatErrorText("plain message"),
              "Error Object : No Source Description Error Contents : plain message");
    EXPECT_EQ(db::DbConnection::FormatErrorText("[unixODBC][Driver Manager]"),
              "Error Object : [unixODBC][Driver Manager] Error Contents : No Error Description");

    std::string longText = "[FreeTDS][SQL Server]";
    for (int i = 0; i < 300; ++i)
        longText += "\xC3\xA9"; // é, two bytes each
    std::string cut = db::DbConnection::FormatErrorText(longText);
    EXPECT_LE(cut.size(), 511u);
    EXPECT_GE(cut.size(), 510u);
    EXPECT_NE(static_cast<unsigned char>(cut.back()), 0xC3u) << "a character was split";
}

} // namespace
