#include "app/DesktopMain.h"

#include "app/Commands.h"
#include "app/InstanceLock.h"
#include "app/StartUp.h"
#include "config/SettingsLocation.h"
#include "db/DbConnection.h"
#include "engine/BackupSession.h"
#include "engine/ServerFolder.h"
#include "engine/SystemServices.h"
#include "mail/BackupMail.h"
#include "ui/DBBackupDlg.h"
#include "ui/Prompter.h"

#include <QApplication>
#include <QSocketNotifier>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

// Where the window keeps its size and column widths: beside the user's
// settings, in the XDG way ($XDG_CONFIG_HOME/corvella/window.conf).
std::string WindowStatePath()
{
    const char* configHome = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    std::string folder;
    if (configHome && *configHome == '/')
        folder = configHome;
    else if (home && *home)
        folder = std::string(home) + "/.config";
    else
        return {};
    return folder + "/corvella/window.conf";
}

// The real implementations behind the session and the window. Backup runs
// use them until they end, so they are freed only when no run is left.
struct RealServices {
    explicit RealServices(const std::string& settingsPath)
        : backup(settingsPath)
    {
    }

    ui::MessageBoxPrompter prompter;
    engine::SystemServices backup;
};

// The application object: one session, one window, run until it closes.
class DBBackup final : public QApplication {
public:
    DBBackup(int& argc, char** argv)
        : QApplication(argc, argv)
    {
        // No display name: the platform would append it to every window
        // title, and the main window's caption is fixed as it stands.
        setApplicationName(QStringLiteral("corvella"));
        setApplicationVersion(QStringLiteral(CORVELLA_VERSION));
        setDesktopFileName(QStringLiteral("org.corvella.Corvella"));
        // The window hides in the tray and dialogs close while it is hidden:
        // only the window's own close ends the program.
        setQuitOnLastWindowClosed(false);
    }

    int run(const app::CommandLine& commandLine)
    {
        ui::MessageBoxPrompter prompter;
        const QString caption = ui::ApplicationCaption();
        // One copy per settings file: a second one brings the first forward.
        app::InstanceLock lock;
        const app::StartUp start = app::Start(commandLine.configPath, commandLine.logPath, commandLine.historyPath, &lock);
        const config::SettingsLocation& location = start.location;
        switch (start.result) {
        case app::StartUp::Result::Ready:
            break;
        case app::StartUp::Result::InUse: {
            pid_t holder = start.holder;
            if (app::InstanceLock::askHolderToRaise(location.settingsPath, holder))
                return app::kExitOk;
            prompter.inform(nullptr, caption,
                            QStringLiteral("The settings file %1 is in use by another copy of Corvella%2 that has no "
                                           "window (the service, or a backup started from the command line). Stop it "
                                           "first, or start Corvella with another settings file (--config).")
                                .arg(QString::fromStdString(location.settingsPath),
                                     holder > 0 ? QStringLiteral(" (process %1)").arg(holder) : QString()));
            return app::kExitBadConfiguration;
        }
        case app::StartUp::Result::Failed:
            prompter.inform(nullptr, caption, QString::fromStdString(start.error));
            return app::kExitBadConfiguration;
        }

        auto* real = new RealServices(location.settingsPath);
        auto* session = new engine::BackupSession(
            {location.settingsPath, location.logPath, location.historyPath}, real->backup.services(engine::kDisplayName),
            [prompter = &real->prompter](const std::string& text, const std::string& title) {
                prompter->inform(nullptr, QString::fromStdString(title), QString::fromStdString(text));
            });

        ui::WindowServices services;
        services.prompter = &real->prompter;
        services.settingsSource = location.describe();
        services.historyPath = location.historyPath;
        services.windowStatePath = WindowStatePath();
        services.checkConnection = [backup = &real->backup](const std::string& connectionString,
                                                            std::string& failureText) {
            db::DbConnectionOptions options;
            return backup->connectionOptions(options, failureText)
                && db::CheckConnection(connectionString, failureText, options);
        };
        services.checkServerFolder = [backup = &real->backup](const std::string& connectionString,
                                                              const engine::ServerFolderNames& names) {
            engine::FolderVisibility visibility;
            db::DbConnectionOptions options;
            std::string failureText;
            std::unique_ptr<db::DbConnection> connection;
            if (backup->connectionOptions(options, failureText))
                connection = db::OpenBackupConnection(connectionString, failureText, options);
            if (!connection) {
                visibility.text = "Corvella could not check whether the SQL Server sees the backup folder: "
                    + (failureText.empty() ? std::string("no second connection") : failureText);
                return visibility;
            }
            return engine::CheckServerSeesFolder(*connection, names);
        };
        services.sendTestMail = [](const config::MailSettings& settings) { return mail::SendTestMail(settings); };
        services.checkOffsite = [](const config::OffsiteOptions& options) {
            return engine::CheckOffsiteConnection(options, offsite::EnvironmentCredentials(), {});
        };
        services.offsiteCredentialsFromEnvironment = offsite::EnvironmentCredentials().has_value();

        auto* window = new ui::DBBackupDlg(*session, std::move(services));
        setWindowIcon(window->windowIcon());
        QObject::connect(window, &ui::DBBackupDlg::closed, this, &QCoreApplication::quit, Qt::QueuedConnection);
        std::vector<std::unique_ptr<QSocketNotifier>> raiseRequests;
        for (const int socket : lock.listeningSockets()) {
            auto& notifier = raiseRequests.emplace_back(std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read));
            QObject::connect(notifier.get(), &QSocketNotifier::activated, window, [&lock, window, socket] {
                if (lock.acceptRaiseRequest(socket))
                    window->raiseWindow();
            });
        }
        window->show();
        const int exitCode = exec();

        // A run still inside the server's command uses the session, so
        // nothing is destroyed under it.
        app::EndProcessIfRunHangs(window->shutdown(std::chrono::seconds(3)), session->log(),
                                  "Backup Manager closed while a backup was still running", exitCode);
        delete window;
        delete session;
        delete real;
        return exitCode;
    }
};

// Whether Qt has a display to open the window on; without one it would
// abort. A platform named on the command line or in QT_QPA_PLATFORM is
// taken on trust.
bool HasDisplay(const app::CommandLine& commandLine)
{
    const auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && *value;
    };
    const auto& args = commandLine.desktopArgs;
    const bool platformGiven = std::any_of(args.begin(), args.end(), [](const std::string& arg) {
        return arg == "-platform" || arg == "--platform";
    });
    return platformGiven || set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY");
}

} // namespace

int RunDesktop(int argc, char** argv, const app::CommandLine& commandLine)
{
    if (!HasDisplay(commandLine)) {
        std::fprintf(stderr, "%s: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are not set). "
                             "Without a desktop, use corvella-cli, or --backup-now or --service; --help lists every option.\n",
                     engine::ProgramName().c_str());
        return app::kExitBadConfiguration;
    }
    DBBackup application(argc, argv);
    return application.run(commandLine);
}
