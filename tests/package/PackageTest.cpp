// The Debian package as an administrator gets it: built with the build's
// `package` target, unpacked with dpkg-deb, checked by lintian,
// desktop-file-validate and appstreamcli, and the unpacked program backs up a
// database on the SQL Server wire-protocol test server.

#include "config/DatabaseList.h"
#include "config/SettingsFile.h"
#include "log/Log.h"

#include "fakes/TdsTestServer.h"

#include <gmock/gmock.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>

namespace fs = std::filesystem;
using ::testing::HasSubstr;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string output; // stdout and stderr together
};

// Runs a shell command line; stdin is /dev/null unless the line redirects it.
Outcome Shell(const std::string& line)
{
    Outcome outcome;
    FILE* pipe = ::popen(("exec 2>&1 </dev/null; " + line).c_str(), "r");
    if (!pipe) {
        outcome.output = "cannot start: " + line;
        return outcome;
    }
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        outcome.output.append(buffer, n);
    const int status = ::pclose(pipe);
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

std::string Quote(const std::string& text)
{
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Tail(const std::string& text, size_t bytes = 6000)
{
    return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

// Lines of `text` that match `pattern`, joined.
std::string LinesMatching(const std::string& text, const std::regex& pattern)
{
    std::string found;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (std::regex_search(line, pattern))
            found += line + "\n";
    }
    return found;
}

// Width and height from a PNG's IHDR chunk; {0, 0} for anything else.
std::pair<int, int> PngSize(const std::string& path)
{
    const std::string data = ReadFile(path);
    if (data.size() < 24 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || data.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    auto be32 = [&data](size_t at) {
        int value = 0;
        for (size_t i = 0; i < 4; ++i)
            value = (value << 8) | static_cast<unsigned char>(data[at + i]);
        return value;
    };
    return {be32(16), be32(20)};
}

// The value of `key` in a text of `key<separator>value` lines (desktop entry,
// unit, control file); empty if absent.
std::string KeyValue(const std::string& text, const std::string& key, const std::string& separator = "=")
{
    std::smatch match;
    if (std::regex_search(text, match, std::regex("(^|\n)" + key + separator + "([^\n]*)")))
        return match[2];
    return {};
}

} // namespace

class Package : public ::testing::Test {
protected:
    // Builds and unpacks the package once for every test: the build takes a
    // while, and each test looks at the same result.
    static void SetUpTestSuite()
    {
        std::string pattern = (fs::temp_directory_path() / "corvella-package-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            s_problem = "cannot create a scratch folder";
            return;
        }
        s_scratch = pattern;
        s_root = s_scratch + "/root";

        std::error_code ec;
        fs::remove(CORVELLA_PACKAGE_FILE, ec);
        const Outcome build = Shell(Quote(CORVELLA_CMAKE_COMMAND) + " --build " + Quote(CORVELLA_BINARY_DIR)
                                  + " --target package");
        if (build.exitCode != 0 || !fs::exists(CORVELLA_PACKAGE_FILE)) {
            s_problem = "`cmake --build --target package` exited with " + std::to_string(build.exitCode)
                + " and left no " CORVELLA_PACKAGE_FILE ":\n" + Tail(build.output);
            return;
        }
        const Outcome unpack = Shell("dpkg-deb -x " + Quote(CORVELLA_PACKAGE_FILE) + " " + Quote(s_root)
                                   + " && dpkg-deb -e " + Quote(CORVELLA_PACKAGE_FILE) + " "
                                   + Quote(s_scratch + "/control"));
        if (unpack.exitCode != 0)
            s_problem = "dpkg-deb cannot unpack the package:\n" + unpack.output;
    }

    static void TearDownTestSuite()
    {
        std::error_code ec;
        if (!s_scratch.empty())
            fs::remove_all(s_scratch, ec);
    }

    void SetUp() override { ASSERT_TRUE(s_problem.empty()) << s_problem; }

    static std::string program() { return s_root + "/usr/bin/corvella"; }

    static std::string s_scratch;
    static std::string s_root;
    static std::string s_problem;
};

std::string Package::s_scratch;
std::string Package::s_root;
std::string Package::s_problem;

TEST_F(Package, InstallsTheProgramWithItsDesktopEntryIconsMetainfoManualAndUnit)
{
    const std::string binary = program();
    struct stat st {};
    ASSERT_EQ(::stat(binary.c_str(), &st), 0) << "no usr/bin/corvella";
    EXPECT_EQ(st.st_mode & 0777, 0755u);
    const Outcome sections = Shell("readelf -S -W " + Quote(binary));
    ASSERT_EQ(sections.exitCode, 0) << sections.output;
    EXPECT_THAT(sections.output, ::testing::Not(HasSubstr(".symtab"))) << "not stripped";
    EXPECT_THAT(sections.output, ::testing::Not(HasSubstr(".debug_"))) << "not stripped";
    const Outcome dynamic = Shell("readelf -d -W " + Quote(binary));
    ASSERT_EQ(dynamic.exitCode, 0) << dynamic.output;
    EXPECT_THAT(dynamic.output, ::testing::Not(::testing::ContainsRegex("RPATH|RUNPATH")));

    const Outcome version = Shell(Quote(binary) + " --version");
    ASSERT_EQ(version.exitCode, 0) << version.output;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(version.output, match, std::regex("^corvella ([0-9][0-9A-Za-z.+~]*)")))
        << version.output;
    const std::string programVersion = match[1];

    // The desktop entry starts the packaged program and names an icon that
    // every size of the icon theme has.
    const std::string appId = "org.corvella.Corvella";
    const std::string desktop = ReadFile(s_root + "/usr/share/applications/" + appId + ".desktop");
    ASSERT_FALSE(desktop.empty()) << "no desktop entry " << appId << ".desktop";
    EXPECT_EQ(KeyValue(desktop, "Exec"), "corvella");
    EXPECT_EQ(KeyValue(desktop, "StartupWMClass"), "corvella");
    const std::string icon = KeyValue(desktop, "Icon");
    ASSERT_FALSE(icon.empty());
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const std::string px = std::to_string(size);
        const std::string path = s_root + "/usr/share/icons/hicolor/" + px + "x" + px + "/apps/" + icon + ".png";
        EXPECT_EQ(PngSize(path), std::make_pair(size, size)) << path;
    }
    EXPECT_THAT(ReadFile(s_root + "/usr/share/icons/hicolor/scalable/apps/" + icon + ".svg"), HasSubstr("<svg"));

    // The metainfo launches that desktop entry and lists the program's release.
    const std::string metainfo = ReadFile(s_root + "/usr/share/metainfo/" + appId + ".metainfo.xml");
    EXPECT_THAT(metainfo, HasSubstr("<launchable type=\"desktop-id\">" + appId + ".desktop</launchable>"));
    EXPECT_THAT(metainfo, HasSubstr("<release version=\"" + programVersion + "\""));

    // The manual page has an entry for every option that --help lists.
    const Outcome help = Shell(Quote(binary) + " --help");
    ASSERT_EQ(help.exitCode, 0) << help.output;
    const Outcome manual = Shell("gzip -dc " + Quote(s_root + "/usr/share/man/man1/corvella.1.gz"));
    ASSERT_EQ(manual.exitCode, 0) << manual.output;
    EXPECT_THAT(manual.output, ::testing::StartsWith(".TH CORVELLA 1 "));
    std::set<std::string> options;
    const std::regex option("--([a-z][a-z-]*)");
    for (std::sregex_iterator it(help.output.begin(), help.output.end(), option), end; it != end; ++it)
        options.insert((*it)[1]);
    EXPECT_GE(options.size(), 6u) << help.output;
    for (const std::string& name : options) {
        const std::string roff = std::regex_replace(name, std::regex("-"), R"(\\-)");
        const std::regex entry(R"(\.TP\n\.BI? \\-\\-)" + roff + R"(([^a-z\\]|$))");
        EXPECT_TRUE(std::regex_search(manual.output, entry))
            << "--" << name << " is not documented";
    }
    for (const char* topic : {"SQL SERVER ON THE SAME HOST", "EXIT STATUS", "SIGNALS", "BACKUP FOLDERS"})
        EXPECT_THAT(manual.output, HasSubstr(".SH " + std::string(topic)));

    // The service runs the packaged program on the system settings file.
    const std::string unit = ReadFile(s_root + "/lib/systemd/system/corvella.service");
    EXPECT_EQ(KeyValue(unit, "ExecStart"), "/usr/bin/corvella --service --config /etc/corvella/BackupConfig.ini");
    EXPECT_EQ(KeyValue(unit, "User"), "corvella");
    EXPECT_EQ(KeyValue(unit, "RestartPreventExitStatus"), "2");

    // The example alert rules for the metrics file are valid rules.
    const std::string rules = s_root + "/usr/share/doc/corvella/examples/corvella-alerts.yml";
    const Outcome checked = Shell("promtool check rules " + Quote(rules));
    EXPECT_EQ(checked.exitCode, 0) << checked.output;

    // Debian's documents and the control data agree on the version.
    EXPECT_THAT(ReadFile(s_root + "/usr/share/doc/corvella/copyright"), HasSubstr("License: MIT"));
    const Outcome changelog = Shell("gzip -dc " + Quote(s_root + "/usr/share/doc/corvella/changelog.gz"));
    EXPECT_THAT(changelog.output, ::testing::StartsWith("corvella (" + programVersion + ") "));
    const std::string control = ReadFile(s_scratch + "/control/control");
    EXPECT_THAT(control, HasSubstr("\nVersion: " + programVersion + "\n"));
    const std::string depends = KeyValue(control, "Depends", ": ");
    for (const std::string package : {"tdsodbc", "unixodbc", "odbcinst", "adduser", "libodbc2", "libcurl4",
                                      "libqt6widgets6", "libqt6charts6", "libsqlite3-0"})
        EXPECT_THAT(depends, ::testing::ContainsRegex("(^|, )" + package + "( |,|$)")) << depends;

    // postinst registers the driver and creates the account; nothing starts
    // the service before it has settings.
    const std::string postinst = ReadFile(s_scratch + "/control/postinst");
    EXPECT_THAT(postinst, HasSubstr("odbcinst -i -d -f /usr/share/tdsodbc/odbcinst.ini"));
    EXPECT_THAT(postinst, HasSubstr("adduser --system --group"));
    EXPECT_THAT(postinst, ::testing::Not(::testing::ContainsRegex("enable --now|invoke start|systemctl start")));
}

TEST_F(Package, PassesLintianAndTheDesktopAndAppStreamValidators)
{
    const std::string appId = "org.corvella.Corvella";
    // Each tool's error and warning lines; infos, hints and notes pass. man
    // prints nothing but its complaints.
    const std::regex errorsAndWarnings(R"(^(E|W): |(error|warning):)");
    const std::regex anything(".");
    struct Check {
        std::string name;
        std::string command;
        const std::regex& complaint;
    };
    const Check checks[] = {
        {"lintian", "lintian --fail-on error,warning " + Quote(CORVELLA_PACKAGE_FILE), errorsAndWarnings},
        {"desktop-file-validate",
         "desktop-file-validate " + Quote(s_root + "/usr/share/applications/" + appId + ".desktop"), errorsAndWarnings},
        {"appstreamcli validate",
         "appstreamcli validate --no-net " + Quote(s_root + "/usr/share/metainfo/" + appId + ".metainfo.xml"),
         errorsAndWarnings},
        // The metainfo together with the desktop entry and icons it refers to.
        {"appstreamcli validate-tree", "appstreamcli validate-tree --no-net " + Quote(s_root), errorsAndWarnings},
        {"man",
         "LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "
             + Quote(s_root + "/usr/share/man/man1/corvella.1.gz") + " 2>&1 >/dev/null",
         anything},
    };
    for (const Check& check : checks) {
        const Outcome outcome = Shell(check.command);
        EXPECT_EQ(outcome.exitCode, 0) << check.name << ":\n" << outcome.output;
        EXPECT_EQ(LinesMatching(outcome.output, check.complaint), "") << check.name;
    }
}

TEST_F(Package, UnpackedProgramBacksUpADatabase)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{"backup", "Backup#2024"}};
    options.databases = {"Sales"};
    options.backupSize = 4096;
    fakes::TdsTestServer server(options);
    ASSERT_TRUE(server.start()) << server.error();

    // A home of its own, so that nothing of the user running the test is read
    // or written.
    const std::string work = s_scratch + "/work";
    fs::create_directories(work + "/home");
    const std::string environment = "cd " + Quote(work) + " && env -u CORVELLA_CONFIG HOME=" + Quote(work + "/home")
        + " XDG_CONFIG_HOME=" + Quote(work + "/home/.config") + " XDG_STATE_HOME=" + Quote(work + "/home/.state")
        + " QT_QPA_PLATFORM=offscreen " + Quote(program());

    std::ofstream(work + "/password.txt") << "Backup#2024\n";
    const Outcome encoded = Shell(environment + " --encode-password < " + Quote(work + "/password.txt"));
    ASSERT_EQ(encoded.exitCode, 0) << encoded.output;
    ASSERT_FALSE(encoded.output.empty());
    const std::string storedPassword = encoded.output.substr(0, encoded.output.find('\n'));

    config::DatabaseList list;
    const int row = list.insertRow(0);
    const std::string cells[] = {"1", server.dataSource(), "Sales", "backup", storedPassword,
                                 "1 Hours", work + "/backups", "False", "False", "False"};
    for (int column = 0; column < config::kConfigColumnCount; ++column)
        list.setCell(row, column, cells[column]);
    const std::string settings = work + "/BackupConfig.ini";
    logging::Log log(work + "/settings.log");
    ASSERT_TRUE(config::SaveDatabaseList(settings, list, log));

    const Outcome backup = Shell(environment + " --backup-now --config " + Quote(settings));
    EXPECT_EQ(backup.exitCode, 0) << backup.output;
    EXPECT_THAT(backup.output, HasSubstr("Backup completed"));
    std::error_code ec;
    EXPECT_EQ(fs::file_size(work + "/backups/Sales/Sales.Bak", ec), 4096u) << ec.message();
    EXPECT_TRUE(fs::is_empty(work + "/backups/Sales/temp", ec)) << ec.message();
    EXPECT_THAT(ReadFile(work + "/BackupLog.log"), HasSubstr("Manual backup taken."));
    EXPECT_EQ(server.commandsStartingWith("BACKUP DATABASE").size(), 1u);
}

// Purge takes the settings folder, and the passwords it holds, with it;
// remove leaves it. The script runs in a mount namespace of its own over
// scratch folders, so the machine's /etc and /var/lib are never touched.
TEST_F(Package, PurgeRemovesTheSettingsFolderAndRemoveKeepsIt)
{
    if (Shell("unshare -m true").exitCode != 0)
        GTEST_SKIP() << "this machine offers no mount namespaces";
    const std::string postrm = s_scratch + "/control/postrm";
    ASSERT_TRUE(fs::exists(postrm));
    for (const std::string action : {"remove", "purge"}) {
        SCOPED_TRACE(action);
        const std::string etc = s_scratch + "/" + action + "-etc";
        const std::string lib = s_scratch + "/" + action + "-lib";
        fs::create_directories(etc + "/corvella");
        fs::create_directories(lib + "/corvella");
        std::ofstream(etc + "/corvella/BackupConfig.ini") << "[EMAILSERVERINFO]\nSVRPD=stored\n";
        std::ofstream(lib + "/corvella/BackupLog.log") << "log\n";
        const Outcome run = Shell("unshare -m sh -c " + Quote("mount --bind " + Quote(etc) + " /etc && mount --bind "
                                                               + Quote(lib) + " /var/lib && sh " + Quote(postrm) + " "
                                                               + action));
        EXPECT_EQ(run.exitCode, 0) << run.output;
        EXPECT_EQ(fs::exists(etc + "/corvella"), action == "remove");
        EXPECT_EQ(fs::exists(lib + "/corvella/BackupLog.log"), action == "remove");
    }
}
