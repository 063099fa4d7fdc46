#include "app/DesktopMain.h"

#include "config/SettingsFile.h"
#include "db/DbConnection.h"
#include "engine/SystemServices.h"
#include "mail/BackupMail.h"
#include "ui/DBBackupDlg.h"
#include "ui/Prompter.h"

#include <QApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {

// The real implementations behind the window's seams. Backup runs use them
// until they end, so they are freed only when no run is left.
struct RealServices {
    explicit RealServices(const std::string& settingsPath)
        : backup(settingsPath)
    {
    }

    ui::MessageBoxPrompter prompter;
    engine::SystemServices backup;
};

// The application object: one window, run until it closes.
class DBBackup final : public QApplication {
public:
    DBBackup(int& argc, char** argv)
        : QApplication(argc, argv)
    {
        setApplicationName(QStringLiteral("corvella"));
        setApplicationVersion(QStringLiteral(CORVELLA_VERSION));
        // The window hides in the tray and dialogs close while it is hidden:
        // only the window's own close ends the program.
        setQuitOnLastWindowClosed(false);
    }

    int run()
    {
        const std::string settingsPath = config::DefaultSettingsPath();
        auto* real = new RealServices(settingsPath);

        ui::WindowServices services;
        services.settingsPath = settingsPath;
        services.prompter = &real->prompter;
        services.backup = real->backup.services();
        services.checkConnection = [](const std::string& connectionString, const db::StatusLineFn& statusLine) {
            return db::CheckConnection(connectionString, statusLine);
        };
        services.sendTestMail = [](const config::MailSettings& settings) { return mail::SendTestMail(settings); };

        auto* window = new ui::DBBackupDlg(std::move(services));
        setWindowIcon(window->windowIcon());
        QObject::connect(window, &ui::DBBackupDlg::closed, this, &QCoreApplication::quit, Qt::QueuedConnection);
        window->show();
        const int exitCode = exec();

        if (!window->shutdown(std::chrono::seconds(3))) {
            // Runs still inside the server's backup command: they keep using
            // the window's log and journal, so nothing is destroyed under them.
            std::fflush(nullptr);
            std::_Exit(exitCode);
        }
        delete window;
        delete real;
        return exitCode;
    }
};

} // namespace

int RunDesktop(int argc, char** argv)
{
    DBBackup application(argc, argv);
    return application.run();
}
