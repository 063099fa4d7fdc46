// The program without a window as a process (corvella-cli, and the same
// commands through corvella): configuration file in, status table out, exit
// codes.

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "log/Log.h"

#include "fakes/RecordingOwner.h"
#include "fakes/TdsTestServer.h"
#include "fakes/TempFolder.h"

#include <gmock/gmock.h>

#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

#ifdef CORVELLA_CLI_BINARY

#include "ProgramRunner.h"
#include "SettingsFiles.h"

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using integration::StartProgram;
using integration::WaitForExit;

namespace {

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs the program (corvella-cli unless told) in `folder` (its working
// folder) with stdout and stderr captured in files.
Outcome RunProgram(const std::string& folder, const std::vector<std::string>& args,
                   const std::string& input = "/dev/null", const std::string& environment = "",
                   const std::string& program = CORVELLA_CLI_BINARY)
{
    const std::string command = "cd '" + folder + "' && " + environment + " QT_QPA_PLATFORM=offscreen '"
        + program + "'";
    std::string line = command;
    for (const std::string& arg : args)
        line += " '" + arg + "'";
    line += " >'" + folder + "/out.txt' 2>'" + folder + "/err.txt' <'" + input + "'";
    const int status = std::system(line.c_str());
    Outcome outcome;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.out = ReadFile(folder + "/out.txt");
    outcome.err = ReadFile(folder + "/err.txt");
    return outcome;
}

// Output files named after the process's role.
integration::Launch Named(const std::string& name)
{
    integration::Launch launch;
    launch.outputName = name;
    return launch;
}

// Waits (up to 15 s) until `predicate` holds.
template <typename Predicate>
bool WaitFor(Predicate predicate)
{
    for (int i = 0; i < 1500; ++i) {
        if (predicate())
            return true;
        usleep(10 * 1000);
    }
    return predicate();
}

} // namespace

class HeadlessIntegration : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = std::make_unique<fakes::TempFolder>("corvella-headless");
        m_root = m_folder->root();
        fakes::TdsTestServer::Options options;
        options.logins = {{"backup", "Backup#2024"}};
        options.databases = {"Sales", "Stock"};
        options.backupSize = 4096;
        m_server = std::make_unique<fakes::TdsTestServer>(options);
        ASSERT_TRUE(m_server->start()) << m_server->error();
    }
    void TearDown() override
    {
        m_server.reset();
        m_folder.reset();
    }

    std::string writeConfig(const std::vector<std::pair<std::string, std::string>>& databases,
                            const std::string& path = {})
    {
        const std::string file = path.empty() ? m_root + "/BackupConfig.ini" : path;
        integration::WriteSettings(file, m_server->dataSource(), databases, m_root + "/backups");
        return file;
    }

    std::unique_ptr<fakes::TempFolder> m_folder;
    std::string m_root;
    std::unique_ptr<fakes::TdsTestServer> m_server;
};

TEST_F(HeadlessIntegration, BackupNowPrintsEveryRunAndExitsByTheOutcome)
{
    const std::string config = writeConfig({{"Sales", "Backup#2024"}, {"Stock", "Backup#2024"}});
    Outcome ok = RunProgram(m_root, {"--backup-now", "--config", config});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    const std::vector<std::string> lines = [&] {
        std::vector<std::string> v;
        std::istringstream in(ok.out);
        for (std::string l; std::getline(in, l);)
            v.push_back(l);
        return v;
    }();
    ASSERT_EQ(lines.size(), 4u) << ok.out;
    EXPECT_THAT(lines[0], ::testing::MatchesRegex("Serial +Database Name +Backup Status +File Size +Backup Time +Email Status"));
    EXPECT_THAT(lines[2], ::testing::MatchesRegex("1 +S[a-z]+ +Backup completed +4096 +[0-9/]+  [0-9:]+"));
    EXPECT_THAT(lines[3], ::testing::MatchesRegex("2 +S[a-z]+ +Backup completed +4096 +[0-9/]+  [0-9:]+"));
    EXPECT_TRUE(fs::exists(m_root + "/backups/Sales/Sales.Bak"));
    EXPECT_TRUE(fs::exists(m_root + "/backups/Stock/Stock.Bak"));
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "Manual backup taken.");

    writeConfig({{"Sales", "Backup#2024"}, {"Stock", "wrong"}});
    Outcome failed = RunProgram(m_root, {"--backup-now", "--config", config});
    EXPECT_EQ(failed.exitCode, 1);
    EXPECT_THAT(failed.out, HasSubstr("Database Connection failed. Please check the DB info..."));
    EXPECT_THAT(failed.out, HasSubstr("Backup completed"));
}

// A hand-edited name with control characters is refused, and the table
// prints it as the log spells it: one line per run.
TEST_F(HeadlessIntegration, ControlCharactersOfANameArePrintedSpelledOut)
{
    const std::string name("Sa\nl\0es\x1B[2J", 11);
    const std::string config = writeConfig({{name, "Backup#2024"}});
    Outcome outcome = RunProgram(m_root, {"--backup-now", "--config", config});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_EQ(std::count(outcome.out.begin(), outcome.out.end(), '\n'), 3) << outcome.out;
    EXPECT_THAT(outcome.out, HasSubstr("1       Sa\\nl\\x00es\\x1B[2J  Database name cannot be used as a folder name"));
    EXPECT_THAT(fakes::ReadLogMessages(m_root + "/BackupLog.log"),
                ::testing::Contains("Backup Started for Database Sa\\nl\\x00es\\x1B[2J"));
}

TEST_F(HeadlessIntegration, BadOrMissingConfigurationExitsWithTwo)
{
    Outcome missing = RunProgram(m_root, {"--backup-now", "--config", m_root + "/absent.ini"});
    EXPECT_EQ(missing.exitCode, 2);
    EXPECT_THAT(missing.err,
                HasSubstr("cannot read the configuration file '" + m_root + "/absent.ini': No such file or directory"));
    EXPECT_EQ(missing.out, "");

    std::ofstream(m_root + "/empty.ini") << "[EMAILSERVERINFO]\r\nSVRIP=127.0.0.1\r\n";
    Outcome empty = RunProgram(m_root, {"--service", "--config", m_root + "/empty.ini"});
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_THAT(empty.err, HasSubstr("lists no database"));

    // A value too long is refused by its key's name, never cut: nothing is
    // backed up into a folder named by the first part of the path.
    const std::string config = writeConfig({{"Sales", "Backup#2024"}});
    const std::string longPath = m_root + "/" + std::string(2000 - m_root.size() - 1, 'p');
    std::string text = ReadFile(config);
    text.replace(text.find(m_root + "/backups"), (m_root + "/backups").size(), longPath);
    std::ofstream(config, std::ios::trunc) << text;
    for (const char* mode : {"--backup-now", "--service"}) {
        Outcome tooLong = RunProgram(m_root, {mode, "--config", config});
        EXPECT_EQ(tooLong.exitCode, 2) << mode;
        EXPECT_THAT(tooLong.err, HasSubstr("The value of BACKUP_PATH_0 in section [DBBackInfo] of the settings file '"
                                           + config + "' is 2000 bytes long; a value may hold at most 1023 bytes."));
    }
    for (const auto& entry : fs::directory_iterator(m_root))
        EXPECT_FALSE(entry.path().filename().string().starts_with("ppp")) << entry.path();

    Outcome usage = RunProgram(m_root, {"--backup-now", "--service"});
    EXPECT_EQ(usage.exitCode, 2);
    EXPECT_THAT(usage.err, HasSubstr("cannot be combined"));

    Outcome version = RunProgram(m_root, {"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_THAT(version.out, ::testing::StartsWith("corvella-cli "));
}

// Mistakes on the command line never reach the window: no display is
// needed to hear about them. Qt's options are the desktop program's alone.
TEST_F(HeadlessIntegration, CommandLineMistakesPrintTheUsageAndExitWithTwo)
{
    std::vector<std::pair<std::string, bool>> programs = {{CORVELLA_CLI_BINARY, false}};
#ifdef CORVELLA_BINARY
    programs.push_back({CORVELLA_BINARY, true});
#endif
    for (const auto& [program, desktop] : programs) {
        SCOPED_TRACE(program);
        const std::pair<std::vector<std::string>, std::string> mistakes[] = {
            {{"--bogus"}, "unknown option '--bogus'"},
            {{"--config"}, "--config needs a file name"},
            {{"--config", m_root + "/a.ini", "-platform"},
             desktop ? "-platform needs a value" : "unknown option '-platform'"},
            {{"stray"}, "unexpected argument 'stray'"},
            {{"--backup-now", "-style", "Fusion"}, "unknown option '-style'"},
        };
        for (const auto& [args, error] : mistakes) {
            Outcome outcome = RunProgram(m_root, args, "/dev/null", "", program);
            EXPECT_EQ(outcome.exitCode, 2) << error;
            EXPECT_THAT(outcome.err, HasSubstr(error));
            EXPECT_THAT(outcome.err, HasSubstr("Usage: corvella"));
            EXPECT_EQ(outcome.out, "");
        }
    }

#ifdef CORVELLA_BINARY
    // Without any display the window is not even tried.
    const std::string bare = "cd '" + m_root + "' && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '"
        + std::string(CORVELLA_BINARY) + "' --config '" + m_root + "/BackupConfig.ini' 2>'" + m_root + "/err.txt'";
    const int status = std::system(bare.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    EXPECT_THAT(ReadFile(m_root + "/err.txt"), HasSubstr("no display to open the window on"));
#endif
}

TEST_F(HeadlessIntegration, EncodePasswordPrintsTheStoredFormOfStandardInput)
{
    config::PasswordCodec codec;
    for (const std::string password : {"Backup#2024", "Kennwo\xC3\xA4rter;}"}) {
        std::ofstream(m_root + "/password.txt") << password << "\n";
        Outcome encoded = RunProgram(m_root, {"--encode-password"}, m_root + "/password.txt");
        ASSERT_EQ(encoded.exitCode, 0) << encoded.err;
        ASSERT_FALSE(encoded.out.empty());
        EXPECT_EQ(encoded.out.back(), '\n');
        std::string decoded;
        EXPECT_EQ(codec.Decode(encoded.out.substr(0, encoded.out.size() - 1), decoded), 0);
        EXPECT_EQ(decoded, password);
        EXPECT_EQ(encoded.err.find(password), std::string::npos);
    }

    Outcome empty = RunProgram(m_root, {"--encode-password"});
    EXPECT_EQ(empty.exitCode, 2);
    EXPECT_THAT(empty.err, HasSubstr("no password on standard input"));
    EXPECT_EQ(empty.out, "");
}

TEST_F(HeadlessIntegration, ServiceRunsAtOnceAndStopsCleanlyOnSigterm)
{
    const std::string config = writeConfig({{"Sales", "Backup#2024"}});
    const pid_t pid = StartProgram(m_root, {"--service", "--config", config}, Named("service"));
    ASSERT_GT(pid, 0);

    const std::string backup = m_root + "/backups/Sales/Sales.Bak";
    for (int i = 0; i < 300 && !fs::exists(backup); ++i)
        usleep(50 * 1000);
    EXPECT_TRUE(fs::exists(backup));
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitForExit(pid), 0);
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), "Auto backup service started");
    EXPECT_EQ(log.back(), "Auto backup service stopped");
}

// VERIFY_BACKUP=TRUE in the settings file: a backup the server cannot read
// back fails the run, and with it the exit code.
TEST_F(HeadlessIntegration, AVerificationFailureFailsBackupNow)
{
    fakes::TdsTestServer::Options options;
    options.logins = {{"backup", "Backup#2024"}};
    options.databases = {"Sales", "Stock"};
    options.damagedBackupsOf = {"Stock"};
    options.backupSize = 4096;
    m_server = std::make_unique<fakes::TdsTestServer>(options);
    ASSERT_TRUE(m_server->start()) << m_server->error();
    const std::string config = writeConfig({{"Sales", "Backup#2024"}, {"Stock", "Backup#2024"}});
    std::ofstream(config, std::ios::app) << "[OPTIONS]\r\nVERIFY_BACKUP=true\r\n";

    Outcome outcome = RunProgram(m_root, {"--backup-now", "--config", config});
    EXPECT_EQ(outcome.exitCode, 1);
    EXPECT_THAT(outcome.out, HasSubstr("Backup verification failed: "));
    EXPECT_TRUE(fs::exists(m_root + "/backups/Sales/Sales.Bak"));
    EXPECT_FALSE(fs::exists(m_root + "/backups/Stock/Stock.Bak"));
    EXPECT_THAT(fakes::ReadLogMessages(m_root + "/BackupLog.log"),
                ::testing::Contains("Backup verified for Database Sales"));
}

// One copy per settings file: a second headless copy on a file in use exits
// with 2 and names the other; another settings file runs beside it; a second
// desktop copy brings the first forward and ends.
TEST_F(HeadlessIntegration, OneCopyRunsPerSettingsFile)
{
    const std::string config = writeConfig({{"Sales", "Backup#2024"}});
    const pid_t service = StartProgram(m_root, {"--service", "--config", config}, Named("service"));
    ASSERT_GT(service, 0);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(m_root + "/backups/Sales/Sales.Bak"); }));

    Outcome second = RunProgram(m_root, {"--backup-now", "--config", config});
    EXPECT_EQ(second.exitCode, 2);
    EXPECT_THAT(second.err, HasSubstr("the settings file '" + config + "' is in use by another copy of Corvella (process "
                                      + std::to_string(service) + ")"));
    // The same file reached by another path, a symbolic link or a hard link
    // is the same file.
    fs::create_directories(m_root + "/sub");
    Outcome viaOtherPath = RunProgram(m_root + "/sub", {"--service", "--config", "../BackupConfig.ini"});
    EXPECT_EQ(viaOtherPath.exitCode, 2);
    fs::create_symlink(config, m_root + "/sub/linked.ini");
    fs::create_hard_link(config, m_root + "/sub/hard.ini");
    for (const char* name : {"linked.ini", "hard.ini"}) {
        Outcome viaLink = RunProgram(m_root + "/sub", {"--backup-now", "--config", name});
        EXPECT_EQ(viaLink.exitCode, 2) << name;
        EXPECT_THAT(viaLink.err, HasSubstr("is in use by another copy of Corvella (process " + std::to_string(service)
                                           + ")")) << name;
    }

    fs::create_directories(m_root + "/other");
    const std::string otherConfig = writeConfig({{"Stock", "Backup#2024"}}, m_root + "/other/BackupConfig.ini");
    Outcome other = RunProgram(m_root + "/other", {"--backup-now", "--config", otherConfig});
    EXPECT_EQ(other.exitCode, 0) << other.err;

    kill(service, SIGTERM);
    EXPECT_EQ(WaitForExit(service), 0);
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    // The second copy opened no log of its own: the file is the service's alone.
    EXPECT_EQ(std::count(log.begin(), log.end(), "Manual backup taken."), 0);

#ifdef CORVELLA_BINARY
    fs::create_directories(m_root + "/desk");
    const std::string deskConfig = writeConfig({{"Sales", "Backup#2024"}}, m_root + "/desk/BackupConfig.ini");
    integration::Launch desk = Named("desktop");
    desk.program = CORVELLA_BINARY;
    const pid_t desktop = StartProgram(m_root + "/desk", {"--config", deskConfig}, desk);
    ASSERT_TRUE(WaitFor([&] {
        const auto lines = fakes::ReadLogMessages(m_root + "/desk/BackupLog.log");
        return std::find(lines.begin(), lines.end(), "Backup Manager Started") != lines.end();
    }));
    Outcome raise = RunProgram(m_root + "/desk", {"--config", deskConfig}, "/dev/null", "", CORVELLA_BINARY);
    EXPECT_EQ(raise.exitCode, 0) << raise.err;
    fs::create_hard_link(deskConfig, m_root + "/desk.ini");
    Outcome raiseViaHardLink = RunProgram(m_root, {"--config", m_root + "/desk.ini"}, "/dev/null", "", CORVELLA_BINARY);
    EXPECT_EQ(raiseViaHardLink.exitCode, 0) << raiseViaHardLink.err;
    Outcome headless = RunProgram(m_root + "/desk", {"--backup-now", "--config", deskConfig});
    EXPECT_EQ(headless.exitCode, 2);
    kill(desktop, SIGTERM);
    WaitForExit(desktop);
#endif
}

// SIGHUP makes the service read its settings again: a new database runs at
// once, a removed one gets no further run, and the reload is logged.
TEST_F(HeadlessIntegration, ServiceReloadsItsSettingsOnSighup)
{
    const std::string config = writeConfig({{"Sales", "Backup#2024"}});
    const pid_t service = StartProgram(m_root, {"--service", "--config", config}, Named("service"));
    ASSERT_TRUE(WaitFor([&] { return fs::exists(m_root + "/backups/Sales/Sales.Bak"); }));

    writeConfig({{"Stock", "Backup#2024"}});
    kill(service, SIGHUP);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(m_root + "/backups/Stock/Stock.Bak"); }));
    kill(service, SIGTERM);
    EXPECT_EQ(WaitForExit(service), 0);
    const auto log = fakes::ReadLogMessages(m_root + "/BackupLog.log");
    EXPECT_THAT(log, ::testing::Contains("Settings reloaded on SIGHUP: 1 database(s) new or changed, 1 removed, 0 unchanged"));
    EXPECT_THAT(log, ::testing::Contains("Stopping on SIGTERM"));
    EXPECT_EQ(std::count(log.begin(), log.end(), "Backup Started for Database Sales"), 1);
}

// An installed copy started without options keeps its settings and its log
// where Linux keeps them, and says so.
TEST_F(HeadlessIntegration, WithoutOptionsTheUsersFoldersAreUsed)
{
    const std::string home = m_root + "/home";
    fs::create_directories(home);
    const std::string environment
        = "env -u CORVELLA_CONFIG -u XDG_CONFIG_HOME -u XDG_STATE_HOME HOME='" + home + "'";
    Outcome help = RunProgram(m_root, {"--help"}, "/dev/null", environment);
    EXPECT_EQ(help.exitCode, 0);
    // Unless a settings file lies beside the program, as in a build folder with the demo.
    if (!fs::exists(fs::path(CORVELLA_CLI_BINARY).parent_path() / "BackupConfig.ini")) {
        EXPECT_THAT(help.out, HasSubstr("Settings file in use: " + home
                                        + "/.config/corvella/BackupConfig.ini (the user's settings folder)"));
        EXPECT_THAT(help.out, HasSubstr("Log file in use: " + home + "/.local/state/corvella/BackupLog.log"));

        fs::create_directories(home + "/.config/corvella");
        writeConfig({{"Sales", "Backup#2024"}}, home + "/.config/corvella/BackupConfig.ini");
        Outcome run = RunProgram(m_root, {"--backup-now"}, "/dev/null", environment);
        EXPECT_EQ(run.exitCode, 0) << run.err;
        EXPECT_THAT(fakes::ReadLogMessages(home + "/.local/state/corvella/BackupLog.log"),
                    ::testing::Contains("Manual backup taken."));
        EXPECT_FALSE(fs::exists(m_root + "/BackupLog.log"));
    }

    Outcome withEnvironment = RunProgram(m_root, {"--help"}, "/dev/null",
                                         "CORVELLA_CONFIG='" + m_root + "/c.ini' HOME='" + home + "'");
    EXPECT_THAT(withEnvironment.out, HasSubstr("Settings file in use: " + m_root + "/c.ini (named by $CORVELLA_CONFIG)"));
    EXPECT_THAT(withEnvironment.out, HasSubstr("Log file in use: BackupLog.log"));
}

#ifdef CORVELLA_BINARY
// The desktop program takes every command as corvella-cli does, and only it
// needs Qt: corvella-cli is linked to the core alone.
TEST_F(HeadlessIntegration, TheDesktopProgramTakesTheSameCommandsAndOnlyItLinksQt)
{
    const std::string config = writeConfig({{"Sales", "Backup#2024"}});
    Outcome ok = RunProgram(m_root, {"--backup-now", "--config", config}, "/dev/null", "", CORVELLA_BINARY);
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_THAT(ok.out, ::testing::ContainsRegex("1 +Sales +Backup completed +4096"));
    // That run is in the history, which either program reads.
    for (const char* program : {CORVELLA_BINARY, CORVELLA_CLI_BINARY}) {
        Outcome check = RunProgram(m_root, {"--check", "--config", config}, "/dev/null", "", program);
        EXPECT_EQ(check.exitCode, 0) << program << ": " << check.out << check.err;
        EXPECT_THAT(check.out, ::testing::StartsWith("CORVELLA OK")) << program;
    }

    Outcome desktopHelp = RunProgram(m_root, {"--help"}, "/dev/null", "", CORVELLA_BINARY);
    Outcome cliHelp = RunProgram(m_root, {"--help"});
    EXPECT_THAT(desktopHelp.out, HasSubstr("Usage: corvella [--config FILE] [--log FILE] [--history FILE]\n"));
    EXPECT_THAT(desktopHelp.out, HasSubstr("Without a command, opens the desktop window."));
    EXPECT_THAT(cliHelp.out, HasSubstr("Usage: corvella-cli --backup-now [--config FILE] [--log FILE] [--history FILE]\n"));
    EXPECT_THAT(cliHelp.out, ::testing::Not(HasSubstr("desktop")));
    for (const std::string command : {"--backup-now", "--service", "--encode-password", "--status", "--check"}) {
        EXPECT_THAT(desktopHelp.out, HasSubstr("  " + command));
        EXPECT_THAT(cliHelp.out, HasSubstr("  " + command));
    }
    // Without a command the window opens; corvella-cli has none to open.
    Outcome noCommand = RunProgram(m_root, {"--config", config});
    EXPECT_EQ(noCommand.exitCode, 2);
    EXPECT_THAT(noCommand.err, HasSubstr("no command given"));

    std::ofstream(m_root + "/ldd.sh") << "ldd \"$1\" > '" << m_root << "/ldd.txt' 2>&1\n";
    ASSERT_EQ(std::system(("sh '" + m_root + "/ldd.sh' '" + std::string(CORVELLA_CLI_BINARY) + "'").c_str()), 0);
    const std::string cliLibraries = ReadFile(m_root + "/ldd.txt");
    EXPECT_THAT(cliLibraries, HasSubstr("libodbc"));
    EXPECT_THAT(cliLibraries, ::testing::Not(::testing::ContainsRegex("libQt|libX11|libGL")));
    ASSERT_EQ(std::system(("sh '" + m_root + "/ldd.sh' '" + std::string(CORVELLA_BINARY) + "'").c_str()), 0);
    EXPECT_THAT(ReadFile(m_root + "/ldd.txt"), HasSubstr("libQt6Widgets"));
}
#endif

#endif
