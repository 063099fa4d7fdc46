// The Debian packages as an administrator gets them: corvella-cli (the
// program without a window, the manual page and the service, no Qt) and
// corvella (the desktop program, which depends on it). Built with the
// build's `package` target, unpacked with dpkg-deb, checked by lintian,
// desktop-file-validate and appstreamcli, and the unpacked programs back up a
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

// One of the two packages, unpacked.
struct Unpacked {
    std::string file;    // the .deb
    std::string root;    // its files
    std::string control; // its control files
};

class Package : public ::testing::Test {
protected:
    // Builds and unpacks the packages once for every test: the build takes a
    // while, and each test looks at the same result.
    static void SetUpTestSuite()
    {
        std::string pattern = (fs::temp_directory_path() / "corvella-package-XXXXXX").string();
        if (!::mkdtemp(pattern.data())) {
            s_problem = "cannot create a scratch folder";
            return;
        }
        s_scratch = pattern;
        s_cli = {CORVELLA_CLI_PACKAGE_FILE, s_scratch + "/cli", s_scratch + "/cli-control"};
        s_desktop = {CORVELLA_PACKAGE_FILE, s_scratch + "/desktop", s_scratch + "/desktop-control"};

        std::error_code ec;
        fs::remove(CORVELLA_PACKAGE_FILE, ec);
        fs::remove(CORVELLA_CLI_PACKAGE_FILE, ec);
        const Outcome build = Shell(Quote(CORVELLA_CMAKE_COMMAND) + " --build " + Quote(CORVELLA_BINARY_DIR)
                                  + " --target package");
        for (const Unpacked* package : {&s_cli, &s_desktop}) {
            if (build.exitCode != 0 || !fs::exists(package->file)) {
                s_problem = "`cmake --build --target package` exited with " + std::to_string(build.exitCode)
                    + " and left no " + package->file + ":\n" + Tail(build.output);
                return;
            }
            const Outcome unpack = Shell("dpkg-deb -x " + Quote(package->file) + " " + Quote(package->root)
                                       + " && dpkg-deb -e " + Quote(package->file) + " " + Quote(package->control));
            if (unpack.exitCode != 0) {
                s_problem = "dpkg-deb cannot unpack " + package->file + ":\n" + unpack.output;
                return;
            }
        }
    }

    static void TearDownTestSuite()
    {
        std::error_code ec;
        if (!s_scratch.empty())
            fs::remove_all(s_scratch, ec);
    }

    void SetUp() override { ASSERT_TRUE(s_problem.empty()) << s_problem; }

    // The version the program reports; checks the binary's form on the way.
    static std::string CheckBinary(const std::string& binary, const std::string& name)
    {
        struct stat st {};
        EXPECT_EQ(::stat(binary.c_str(), &st), 0) << "no " << binary;
        EXPECT_EQ(st.st_mode & 0777, 0755u);
        const Outcome sections = Shell("readelf -S -W " + Quote(binary));
        EXPECT_EQ(sections.exitCode, 0) << sections.output;
        EXPECT_THAT(sections.output, ::testing::Not(HasSubstr(".symtab"))) << "not stripped";
        EXPECT_THAT(sections.output, ::testing::Not(HasSubstr(".debug_"))) << "not stripped";
        const Outcome dynamic = Shell("readelf -d -W " + Quote(binary));
        EXPECT_EQ(dynamic.exitCode, 0) << dynamic.output;
        EXPECT_THAT(dynamic.output, ::testing::Not(::testing::ContainsRegex("RPATH|RUNPATH")));
        const Outcome version = Shell("QT_QPA_PLATFORM=offscreen " + Quote(binary) + " --version");
        EXPECT_EQ(version.exitCode, 0) << version.output;
        std::smatch match;
        if (!std::regex_search(version.output, match, std::regex("^" + name + " ([0-9][0-9A-Za-z.+~]*)")))
            ADD_FAILURE() << version.output;
        return match.size() > 1 ? match[1].str() : std::string();
    }

    // Debian's documents and the control data agree on the version.
    static void CheckDocuments(const Unpacked& package, const std::string& name, const std::string& version)
    {
        EXPECT_THAT(ReadFile(package.root + "/usr/share/doc/" + name + "/copyright"), HasSubstr("License: MIT"));
        const Outcome changelog = Shell("gzip -dc " + Quote(package.root + "/usr/share/doc/" + name + "/changelog.gz"));
        EXPECT_THAT(changelog.output, ::testing::StartsWith("corvella (" + version + ") "));
        const std::string control = ReadFile(package.control + "/control");
        EXPECT_EQ(KeyValue(control, "Package", ": "), name);
        EXPECT_THAT(control, HasSubstr("\nVersion: " + version + "\n"));
    }

    static std::string s_scratch;
    static Unpacked s_cli;
    static Unpacked s_desktop;
    static std::string s_problem;
};

std::string Package::s_scratch;
Unpacked Package::s_cli;
Unpacked Package::s_desktop;
std::string Package::s_problem;

// corvella-cli: the program, its manual page and the service, and nothing of
// Qt or a desktop.
TEST_F(Package, TheCliPackageHoldsTheProgramManualAndUnitWithoutQt)
{
    const std::string binary = s_cli.root + "/usr/bin/corvella-cli";
    const std::string version = CheckBinary(binary, "corvella-cli");
    ASSERT_FALSE(version.empty());
    CheckDocuments(s_cli, "corvella-cli", version);
    const std::string depends = KeyValue(ReadFile(s_cli.control + "/control"), "Depends", ": ");
    for (const std::string package :
         {"tdsodbc", "unixodbc", "odbcinst", "adduser", "libodbc2", "libcurl4", "libsqlite3-0"})
        EXPECT_THAT(depends, ::testing::ContainsRegex("(^|, )" + package + "( |,|$)")) << depends;
    EXPECT_THAT(depends, ::testing::Not(::testing::ContainsRegex("qt|libx|libgl"))) << depends;
    EXPECT_THAT(Shell("ldd " + Quote(binary)).output, ::testing::Not(HasSubstr("libQt")));
    for (const std::string desktopFile : {"/usr/bin/corvella", "/usr/share/applications", "/usr/share/icons"})
        EXPECT_FALSE(fs::exists(s_cli.root + desktopFile)) << desktopFile;

    // The manual page has an entry for every option that --help lists, of
    // both programs.
    const Outcome manual = Shell("gzip -dc " + Quote(s_cli.root + "/usr/share/man/man1/corvella-cli.1.gz"));
    ASSERT_EQ(manual.exitCode, 0) << manual.output;
    EXPECT_THAT(manual.output, ::testing::StartsWith(".TH CORVELLA-CLI 1 "));
    std::set<std::string> options;
    const std::regex option("--([a-z][a-z-]*)");
    for (const std::string& program : {binary, s_desktop.root + "/usr/bin/corvella"}) {
        const Outcome help = Shell("QT_QPA_PLATFORM=offscreen " + Quote(program) + " --help");
        ASSERT_EQ(help.exitCode, 0) << help.output;
        for (std::sregex_iterator it(help.output.begin(), help.output.end(), option), end; it != end; ++it)
            options.insert((*it)[1]);
    }
    EXPECT_GE(options.size(), 6u);
    for (const std::string& name : options) {
        const std::string roff = std::regex_replace(name, std::regex("-"), R"(\\-)");
        const std::regex entry(R"(\.TP\n\.BI? \\-\\-)" + roff + R"(([^a-z\\]|$))");
        EXPECT_TRUE(std::regex_search(manual.output, entry)) << "--" << name << " is not documented";
    }
    for (const char* topic : {"SQL SERVER ON THE SAME HOST", "EXIT STATUS", "SIGNALS", "BACKUP FOLDERS"})
        EXPECT_THAT(manual.output, HasSubstr(".SH " + std::string(topic)));

    // The service runs the packaged program on the system settings file.
    const std::string unit = ReadFile(s_cli.root + "/lib/systemd/system/corvella.service");
    EXPECT_EQ(KeyValue(unit, "ExecStart"), "/usr/bin/corvella-cli --service --config /etc/corvella/BackupConfig.ini");
    EXPECT_EQ(KeyValue(unit, "Documentation"), "man:corvella-cli(1)");
    EXPECT_EQ(KeyValue(unit, "User"), "corvella");
    EXPECT_EQ(KeyValue(unit, "RestartPreventExitStatus"), "2");
    // The weekly restore test runs the same program on the same settings;
    // the package enables neither it nor its timer.
    const std::string restoreTest = ReadFile(s_cli.root + "/lib/systemd/system/corvella-restore-test.service");
    EXPECT_EQ(KeyValue(restoreTest, "ExecStart"),
              "/usr/bin/corvella-cli --restore-test --config /etc/corvella/BackupConfig.ini");
    EXPECT_EQ(KeyValue(restoreTest, "User"), "corvella");
    EXPECT_EQ(KeyValue(restoreTest, "WorkingDirectory"), KeyValue(unit, "WorkingDirectory"));
    const std::string timer = ReadFile(s_cli.root + "/lib/systemd/system/corvella-restore-test.timer");
    EXPECT_EQ(KeyValue(timer, "OnCalendar"), "weekly");
    EXPECT_EQ(KeyValue(timer, "WantedBy"), "timers.target");

    // The example alert rules for the metrics file are valid rules.
    const std::string rules = s_cli.root + "/usr/share/doc/corvella-cli/examples/corvella-alerts.yml";
    const Outcome checked = Shell("promtool check rules " + Quote(rules));
    EXPECT_EQ(checked.exitCode, 0) << checked.output;

    // postinst registers the driver and creates the account; nothing starts
    // the service before it has settings.
    const std::string postinst = ReadFile(s_cli.control + "/postinst");
    EXPECT_THAT(postinst, HasSubstr("odbcinst -i -d -f /usr/share/tdsodbc/odbcinst.ini"));
    EXPECT_THAT(postinst, HasSubstr("adduser --system --group"));
    EXPECT_THAT(postinst, ::testing::Not(::testing::ContainsRegex("enable --now|invoke start|systemctl start")));
    EXPECT_THAT(postinst, HasSubstr("was-enabled corvella-restore-test.timer"));
}

// corvella: the desktop program with its entry, icons and metainfo, over the
// cli package of the same version.
TEST_F(Package, TheDesktopPackageHoldsTheWindowAndDependsOnTheCliPackage)
{
    const std::string version = CheckBinary(s_desktop.root + "/usr/bin/corvella", "corvella");
    ASSERT_FALSE(version.empty());
    CheckDocuments(s_desktop, "corvella", version);
    const std::string depends = KeyValue(ReadFile(s_desktop.control + "/control"), "Depends", ": ");
    EXPECT_THAT(depends, HasSubstr("corvella-cli (= " + version + ")"));
    for (const std::string package : {"libqt6widgets6", "libqt6charts6"})
        EXPECT_THAT(depends, ::testing::ContainsRegex("(^|, )" + package + "( |,|$)")) << depends;
    EXPECT_FALSE(fs::exists(s_desktop.root + "/usr/bin/corvella-cli"));
    EXPECT_FALSE(fs::exists(s_desktop.root + "/lib/systemd"));
    EXPECT_FALSE(fs::exists(s_desktop.control + "/postinst"));
    // Its manual page is the cli package's.
    EXPECT_EQ(Shell("gzip -dc " + Quote(s_desktop.root + "/usr/share/man/man1/corvella.1.gz")).output,
              ".so man1/corvella-cli.1\n");

    // The desktop entry starts the packaged program and names an icon that
    // every size of the icon theme has.
    const std::string appId = "org.corvella.Corvella";
    const std::string desktop = ReadFile(s_desktop.root + "/usr/share/applications/" + appId + ".desktop");
    ASSERT_FALSE(desktop.empty()) << "no desktop entry " << appId << ".desktop";
    EXPECT_EQ(KeyValue(desktop, "Exec"), "corvella");
    EXPECT_EQ(KeyValue(desktop, "StartupWMClass"), "corvella");
    const std::string icon = KeyValue(desktop, "Icon");
    ASSERT_FALSE(icon.empty());
    for (int size : {16, 32, 48, 64, 128, 256}) {
        const std::string px = std::to_string(size);
        const std::string path = s_desktop.root + "/usr/share/icons/hicolor/" + px + "x" + px + "/apps/" + icon + ".png";
        EXPECT_EQ(PngSize(path), std::make_pair(size, size)) << path;
    }
    EXPECT_THAT(ReadFile(s_desktop.root + "/usr/share/icons/hicolor/scalable/apps/" + icon + ".svg"), HasSubstr("<svg"));

    // The metainfo launches that desktop entry and lists the program's release.
    const std::string metainfo = ReadFile(s_desktop.root + "/usr/share/metainfo/" + appId + ".metainfo.xml");
    EXPECT_THAT(metainfo, HasSubstr("<launchable type=\"desktop-id\">" + appId + ".desktop</launchable>"));
    EXPECT_THAT(metainfo, HasSubstr("<release version=\"" + version + "\""));
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
        {"lintian", "lintian --fail-on error,warning " + Quote(s_cli.file) + " " + Quote(s_desktop.file),
         errorsAndWarnings},
        {"desktop-file-validate",
         "desktop-file-validate " + Quote(s_desktop.root + "/usr/share/applications/" + appId + ".desktop"),
         errorsAndWarnings},
        {"appstreamcli validate",
         "appstreamcli validate --no-net " + Quote(s_desktop.root + "/usr/share/metainfo/" + appId + ".metainfo.xml"),
         errorsAndWarnings},
        // The metainfo together with the desktop entry and icons it refers to.
        {"appstreamcli validate-tree", "appstreamcli validate-tree --no-net " + Quote(s_desktop.root),
         errorsAndWarnings},
        {"man",
         "LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "
             + Quote(s_cli.root + "/usr/share/man/man1/corvella-cli.1.gz") + " 2>&1 >/dev/null",
         anything},
    };
    for (const Check& check : checks) {
        const Outcome outcome = Shell(check.command);
        EXPECT_EQ(outcome.exitCode, 0) << check.name << ":\n" << outcome.output;
        EXPECT_EQ(LinesMatching(outcome.output, check.complaint), "") << check.name;
    }
}

// The unpacked programs back up a database: corvella-cli, as the service
// and scripts run it, and corvella with the same command.
TEST_F(Package, UnpackedProgramsBackUpADatabase)
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
    const auto environment = [&work](const std::string& program) {
        return "cd " + Quote(work) + " && env -u CORVELLA_CONFIG HOME=" + Quote(work + "/home")
            + " XDG_CONFIG_HOME=" + Quote(work + "/home/.config") + " XDG_STATE_HOME=" + Quote(work + "/home/.state")
            + " QT_QPA_PLATFORM=offscreen " + Quote(program);
    };
    const std::string cli = environment(s_cli.root + "/usr/bin/corvella-cli");

    std::ofstream(work + "/password.txt") << "Backup#2024\n";
    const Outcome encoded = Shell(cli + " --encode-password < " + Quote(work + "/password.txt"));
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

    for (const std::string& program : {cli, environment(s_desktop.root + "/usr/bin/corvella")}) {
        const Outcome backup = Shell(program + " --backup-now --config " + Quote(settings));
        EXPECT_EQ(backup.exitCode, 0) << backup.output;
        EXPECT_THAT(backup.output, HasSubstr("Backup completed"));
        std::error_code ec;
        EXPECT_EQ(fs::file_size(work + "/backups/Sales/Sales.Bak", ec), 4096u) << ec.message();
        EXPECT_TRUE(fs::is_empty(work + "/backups/Sales/temp", ec)) << ec.message();
    }
    EXPECT_THAT(ReadFile(work + "/BackupLog.log"), HasSubstr("Manual backup taken."));
    EXPECT_EQ(server.commandsStartingWith("BACKUP DATABASE").size(), 2u);
}

// Purge takes the settings folder, and the passwords it holds, with it;
// remove leaves it. The script runs in a mount namespace of its own over
// scratch folders, so the machine's /etc and /var/lib are never touched.
TEST_F(Package, PurgeRemovesTheSettingsFolderAndRemoveKeepsIt)
{
    if (Shell("unshare -m true").exitCode != 0)
        GTEST_SKIP() << "this machine offers no mount namespaces";
    const std::string postrm = s_cli.control + "/postrm";
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
