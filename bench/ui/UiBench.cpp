// Timings of the desktop program, run by hand:
//
//   QT_QPA_PLATFORM=offscreen corvella_ui_bench startup [databases=1000] [repeats=5]
//       Time from constructing the main window (settings file with that many
//       databases) to the window shown and painted. Target: under 1 s.
//   QT_QPA_PLATFORM=offscreen corvella_ui_bench latency [databases=200]
//       Manual Backup of that many databases against the wire-protocol test
//       server, while a 5 ms timer measures how late the GUI thread's event
//       loop runs. Target: no stall over 50 ms.
//   corvella_ui_bench showcase [seconds=20] [email]
//       A window with a few databases after a finished Manual Backup (and the
//       e-mail dialog with "email"), left on screen for screenshots.
#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "config/SettingsFile.h"
#include "db/DbConnection.h"
#include "engine/BackupScheduler.h"
#include "engine/SystemServices.h"
#include "fakes/TdsTestServer.h"
#include "log/Log.h"
#include "ui/ConfigGridModel.h"
#include "ui/DBBackupDlg.h"
#include "ui/Prompter.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// The real services, and a session over the settings file and log of `dir`.
struct RealServices {
    explicit RealServices(const QTemporaryDir& dir)
        : backup(dir.filePath("BackupConfig.ini").toStdString())
        , session({dir.filePath("BackupConfig.ini").toStdString(), dir.filePath("BackupLog.log").toStdString()},
                  backup.services())
    {
    }
    ui::MessageBoxPrompter prompter;
    engine::SystemServices backup;
    engine::BackupSession session;

    ui::WindowServices window()
    {
        ui::WindowServices s;
        s.prompter = &prompter;
        s.trayAvailable = [] { return false; };
        return s;
    }
};

config::DatabaseList::Row MakeRow(int index, const std::string& server, const std::string& name,
                                  const std::string& folder, bool zip)
{
    config::PasswordCodec codec;
    std::string password;
    codec.Encode("Backup#2024", password);
    return {std::to_string(index + 1), server, name, "backup", password, "30 Minutes", folder,
            zip ? "True" : "False", "False", "False"};
}

void WriteList(const std::string& path, int count, const std::string& server, const std::string& folder)
{
    config::DatabaseList list;
    for (int i = 0; i < count; ++i) {
        const int row = list.insertRow(i);
        const auto cells = MakeRow(i, server, "DB" + std::to_string(i + 1), folder, false);
        for (int column = 0; column < config::kConfigColumnCount; ++column)
            list.setCell(row, column, cells[column]);
    }
    logging::Log log("/dev/null");
    config::SaveDatabaseList(path, list, log);
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

int Startup(int databases, int repeats)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        QTemporaryDir dir;
        RealServices real(dir);
        WriteList(dir.filePath("BackupConfig.ini").toStdString(), databases, "127.0.0.1,1433",
                  dir.filePath("backups").toStdString());
        QElapsedTimer clock;
        clock.start();
        {
            ui::DBBackupDlg window(real.session, real.window());
            window.show();
            if (!QTest::qWaitForWindowExposed(&window))
                return 1;
            window.repaint();
            QCoreApplication::processEvents();
            times.push_back(clock.nsecsElapsed() / 1e6);
            if (window.databaseList().rowCount() != databases)
                return 1;
        }
    }
    std::printf("startup to a shown window, %d databases: median %.1f ms, min %.1f, max %.1f (%d runs)\n",
                databases, Median(times), *std::min_element(times.begin(), times.end()),
                *std::max_element(times.begin(), times.end()), repeats);
    return 0;
}

int Latency(int databases)
{
    fakes::TdsTestServer::Options options;
    options.databases.clear();
    for (int i = 0; i < databases; ++i)
        options.databases.push_back("DB" + std::to_string(i + 1));
    fakes::TdsTestServer server(options);
    if (!server.start()) {
        std::fprintf(stderr, "test server: %s\n", server.error().c_str());
        return 1;
    }
    QTemporaryDir dir;
    const std::string folder = dir.filePath("backups").toStdString();
    QDir().mkpath(QString::fromStdString(folder));
    WriteList(dir.filePath("BackupConfig.ini").toStdString(), databases, server.dataSource(), folder);
    RealServices real(dir);
    ui::DBBackupDlg window(real.session, real.window());
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;

    std::vector<double> lateness;
    QElapsedTimer sinceTick;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout, &window, [&] {
        lateness.push_back(std::max(0.0, sinceTick.nsecsElapsed() / 1e6 - 5.0));
        sinceTick.restart();
    });
    QElapsedTimer total;
    total.start();
    sinceTick.start();
    tick.start();
    window.manualBackup();
    while (!window.scheduler().waitUntilIdle(std::chrono::milliseconds(0)))
        QTest::qWait(20);
    QTest::qWait(50);
    tick.stop();

    int completed = 0;
    for (const auto& row : window.statusJournal().rows())
        completed += row[engine::StatusBackupStatus] == "Backup completed";
    std::sort(lateness.begin(), lateness.end());
    std::printf("Manual Backup of %d databases: %d completed in %.1f s; event loop lateness over %zu ticks: "
                "median %.2f ms, p99 %.2f ms, max %.2f ms\n",
                databases, completed, total.elapsed() / 1000.0, lateness.size(), lateness[lateness.size() / 2],
                lateness[lateness.size() * 99 / 100], lateness.back());
    window.shutdown(std::chrono::seconds(5));
    return completed == databases ? 0 : 1;
}

int Showcase(int seconds, bool email)
{
    fakes::TdsTestServer::Options options;
    options.databases = {"Sales", "Inventory", "Payroll", "Archive2019"};
    options.backupSize = 3 << 20;
    fakes::TdsTestServer server(options);
    if (!server.start())
        return 1;
    QTemporaryDir dir;
    const std::string folder = "/tmp/corvella-showcase/backups";
    QDir().mkpath(QString::fromStdString(folder));
    RealServices real(dir);
    ui::DBBackupDlg window(real.session, real.window());
    int i = 0;
    for (const auto& name : options.databases) {
        window.configModel()->appendRow(MakeRow(i, server.dataSource(), name, folder, i % 2 == 0));
        ++i;
    }
    window.show();
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    window.manualBackup();
    while (!window.scheduler().waitUntilIdle(std::chrono::milliseconds(0)))
        QTest::qWait(50);
    // Leave the form showing a database as an operator would be typing it.
    window.findChild<QLineEdit*>("DatabaseUrl")->setText("sql01.example.com,1433");
    window.findChild<QLineEdit*>("DatabaseName")->setText("Orders");
    window.findChild<QLineEdit*>("UserId")->setText("backup");
    window.findChild<QLineEdit*>("IntervalNumber")->setText("6");
    window.findChild<QLineEdit*>("BackupPath")->setText(QString::fromStdString(folder));
    if (email) {
        QTimer::singleShot(0, &window, [&] {
            auto* dialog = window.emailSettings();
            dialog->findChild<QLineEdit*>("ServerAddress")->setText("smtp.example.com");
            dialog->findChild<QLineEdit*>("Port")->setText("587");
            dialog->findChild<QLineEdit*>("Account")->setText("backups@example.com");
            dialog->findChild<QLineEdit*>("Recipient")->setText("dba@example.com");
            dialog->findChild<QLineEdit*>("Subject")->setText("Nightly database backup");
            dialog->findChild<QLineEdit*>("MailingServerName")->setText("Corvella");
            QTimer::singleShot(seconds * 1000, dialog, &QDialog::reject);
        });
        window.openMailSettings();
    } else {
        QTest::qWait(seconds * 1000);
    }
    window.shutdown(std::chrono::seconds(5));
    QDir(QStringLiteral("/tmp/corvella-showcase")).removeRecursively();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1, "startup");
    if (mode == "startup")
        return Startup(args.value(2, "1000").toInt(), args.value(3, "5").toInt());
    if (mode == "latency")
        return Latency(args.value(2, "200").toInt());
    if (mode == "showcase")
        return Showcase(args.value(2, "20").toInt(), args.value(3) == "email");
    std::fprintf(stderr, "usage: corvella_ui_bench startup [n] [repeats] | latency [n] | showcase [s] [email]\n");
    return 2;
}
