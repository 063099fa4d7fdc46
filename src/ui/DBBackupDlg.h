#pragma once

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "engine/BackupScheduler.h"
#include "engine/BackupSession.h"
#include "engine/BackupView.h"
#include "engine/ServerFolder.h"
#include "ui/ControlId.h"
#include "ui/EmailSettings.h"
#include "ui/ListEditing.h"
#include "ui/OffsiteSettings.h"

#include <QHash>
#include <QMainWindow>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

class QAction;
class QLabel;
class QPushButton;
class QSessionManager;
class QTableView;
class QTimer;
class QUrl;


namespace ui {

class ConfigGridModel;
class DatabaseFormWidget;
class ElidedLabel;
class HistoryReader;
class HistoryWindow;
class Prompter;
class StatusGridModel;
class TrayController;
class WrappedTextDelegate;

// What the main window reaches the outside world through, besides the
// backup session. app/ fills it with the real implementations; tests pass
// doubles.
struct WindowServices {
    Prompter* prompter = nullptr; // required; outlives the window
    // Opens and closes a test connection; on failure `failureText` says why,
    // when known. Called on a thread of its own.
    std::function<bool(const std::string& connectionString, std::string& failureText)> checkConnection;
    // After a successful connection check: whether the server sees the
    // database's temp folder (engine::CheckServerSeesFolder). Called on the
    // same thread of its own. Empty: no such check.
    std::function<engine::FolderVisibility(const std::string& connectionString, const engine::ServerFolderNames& names)>
        checkServerFolder;
    EmailSettings::SendTestMailFn sendTestMail;
    // The connection test of the offsite copy settings.
    OffsiteSettings::CheckConnectionFn checkOffsite;
    // The program's environment holds storage credentials, which win over the settings'.
    bool offsiteCredentialsFromEnvironment = false;
    // The folder picker; an empty result means cancelled. Empty: QFileDialog.
    std::function<QString(QWidget* parent, const QString& startFolder)> chooseFolder;
    // Whether the desktop has a notification area. Empty: ask Qt.
    std::function<bool()> trayAvailable;
    // Opens a file with the desktop's default program. Empty: QDesktopServices.
    std::function<void(const QUrl& url)> openExternal;
    // Tells the operator of a failed run while the window is not in front.
    // Empty: the desktop's notification service, else the tray's balloon.
    std::function<void(const QString& title, const QString& text)> notify;
    // How the settings file was found, for the About box ("beside the program" ...).
    std::string settingsSource;
    // The run history the History window and the list's tooltips read; empty: none.
    std::string historyPath;
    // Where the window keeps its size and column widths between starts; empty: nowhere.
    std::string windowStatePath;
};

// The main window ("Corvella -  SQL Server Backup Manager"): the editor of the
// database list, the two grids and the commands. It is a view of the backup
// session the application owns: the runs write the session's journal, which
// StatusGrid follows through queued updates, and tell what happened through
// the engine::BackupView calls, which this window queues to the GUI thread
// and turns into its controls' states, "Waiting" rows, the status bar, the
// tray's tooltip and notifications. A notice raised by a run is shown without
// blocking anybody. Once shutdown() has run, the window is no longer the
// session's view.
//
// Closing, from the title bar, Exit, the tray or the desktop's log-out, first
// offers to save unsaved changes to the database list, asks before a running
// backup is stopped (Exit always asks), and logs the close.
class DBBackupDlg final : public QMainWindow, public engine::BackupView {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "Corvella -  SQL Server Backup Manager";
    static constexpr const char* kStartedLine = "Backup Manager Started";
    static constexpr const char* kClosingLine = "Backup Manager is going to close";
    static constexpr const char* kCloseCaption = "Close Application";
    static constexpr const char* kCloseBusyText =
        "Application is busy in taking backup. \nAre you sure to close the application?.";
    static constexpr const char* kCloseIdleText = "Are you sure to close the application";
    static constexpr const char* kChooseFolderTitle = "Please choose a folder.";
    static constexpr const char* kSelectForRestoreTestText =
        "Select the database to test in the list first: its newest backup is restored under a scratch name, "
        "checked and dropped again.";
    static constexpr const char* kNoTrayText =
        "This desktop has no notification area (system tray), so Corvella cannot hide there. The window stays "
        "open; backups go on while it is minimised.";
    static constexpr const char* kSaveChangesText = "Save changes to the database list?";
    static constexpr const char* kChooseDatabaseText =
        "Select a database in the list first: its backup folder is opened.";

    DBBackupDlg(engine::BackupSession& session, WindowServices services, QWidget* parent = nullptr);
    ~DBBackupDlg() override;

    // engine::BackupView: queued to the GUI thread, never blocking the caller.
    void manualRunStarted() override;
    void manualRunEnded() override;
    void autoServiceStarted() override;
    void autoServiceStopped() override;
    void runsQueued(const std::vector<engine::QueuedRun>& runs) override;
    void runsDropped(const std::vector<engine::QueuedRun>& runs) override;
    void runStarted(const engine::StartedRun& run) override;
    void runFinished(const engine::RunResult& result) override;
    void setStatusLine(const std::string& text) override;
    void showNotice(const std::string& text, const std::string& caption) override;

    engine::BackupSession& session() const { return m_session; }
    engine::BackupScheduler& scheduler() const;
    engine::StatusJournal& statusJournal() const { return m_session.statusJournal(); }
    engine::BackupState& backupState() const { return m_session.backupState(); }

    // The widget with a control id, or null.
    QWidget* control(ControlId controlId) const;
    int editingRow() const { return m_editingRow; }
    const config::DatabaseList& databaseList() const { return m_databaseList; }
    ConfigGridModel* configModel() const { return m_configModel.get(); }
    StatusGridModel* statusModel() const { return m_statusModel.get(); }
    EmailSettings* emailSettings() const { return m_emailSettings; }
    OffsiteSettings* offsiteSettings() const { return m_offsiteSettings; }
    TrayController* tray() const { return m_tray; }
    DatabaseFormWidget* databaseForm() const { return m_form; }
    // The History window once it was opened, else null.
    HistoryWindow* historyWindow() const { return m_historyWindow; }
    WrappedTextDelegate* statusDelegate() const { return m_statusDelegate; }
    // The list differs from what the settings file held when it was loaded or last saved.
    bool isListModified() const;
    // What the status bar says of the auto service and the runs.
    QString serviceState() const;

    // Ends the window's part in the backups: the window stops being the
    // session's view, the auto service stops, and runs get up to `bound` to
    // end. True when none is left; otherwise the session and the services the
    // runs use must live until the process ends.
    bool shutdown(std::chrono::milliseconds bound);

public slots:
    void saveToList();
    void editRow();
    void leaveEditMode();
    void deleteRow();
    void chooseBackupFolder();
    // True when the list was written.
    bool saveConfigurations();
    void startAutoBackupService();
    void stopAutoBackupService();
    void manualBackup();
    // Restores the newest backup the selected database keeps under a scratch
    // name, checks and drops it; asks for a selection when there is none.
    void restoreTestSelected();
    void openMailSettings();
    void openHistory();
    void openOffsiteSettings();
    void openOptions();
    void openLog();
    void openBackupFolder();
    void minimizeToTray();
    void showApplication();
    void openHelp();
    void showAbout();
    void exitApplication();
    // Brings the window to the front, from the tray too (a second copy asked).
    void raiseWindow();

signals:
    // The window has closed (Exit, the close button, Esc): the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildWidgets();
    void buildMenus();
    void registerControl(ControlId controlId, QWidget* widget);
    void setControlEnabled(ControlId controlId, bool enabled);
    void centreOnScreen();
    void restoreWindowState();
    void saveWindowState() const;
    void rememberSavedList();
    // The questions before a close; true when the window may close (the close
    // is then logged). `exitCommand`: Exit asks even when nothing runs.
    bool confirmClose(bool exitCommand);
    void commitData(QSessionManager& manager);
    void startServiceOnLaunch();
    void refreshState();
    void notifyFailure(const engine::RunResult& result);
    void selectGridRowAt(const QPoint& position);
    // The auto service's entry of `row`; empty while it does not run it.
    std::optional<engine::BackupScheduler::ScheduledDatabase> scheduleOf(int row) const;
    // When the auto service runs `row` next, for its tooltip; empty when it does not.
    QString scheduleTip(int row) const;
    // The last good backup of `row` (and a failed last run), for its tooltip.
    QString historyTip(int row) const;
    // When `row` runs next, for the History window.
    QString nextStartText(int row) const;
    // Runs `action` on the GUI thread: at once when called there, otherwise
    // queued; dropped after shutdown.
    void onGuiThread(std::function<void()> action);

    engine::BackupSession& m_session;
    WindowServices m_services;
    config::PasswordCodec m_codec;
    config::DatabaseList m_databaseList;
    std::unique_ptr<ConfigGridModel> m_configModel;
    std::unique_ptr<StatusGridModel> m_statusModel;
    int m_editingRow = -1;
    bool m_checkingConnection = false;
    bool m_shutDown = false;
    bool m_closeConfirmed = false;
    std::vector<config::DatabaseList::Row> m_savedRows; // the list as the file holds it
    QString m_runningDatabase;                           // the run under way, if any
    QString m_lastFailure;                               // for the tray's tooltip

    QHash<int, QWidget*> m_controls;
    DatabaseFormWidget* m_form = nullptr;
    QTableView* m_configGrid = nullptr;
    QTableView* m_statusGrid = nullptr;
    ElidedLabel* m_statusLine = nullptr;
    ElidedLabel* m_serviceState = nullptr;
    QPushButton* m_stopAutoButton = nullptr;
    QAction* m_startAutoAction = nullptr;
    QAction* m_stopAutoAction = nullptr;
    WrappedTextDelegate* m_statusDelegate = nullptr;
    QTimer* m_stateTimer = nullptr;
    EmailSettings* m_emailSettings = nullptr;
    OffsiteSettings* m_offsiteSettings = nullptr;
    TrayController* m_tray = nullptr;
    std::unique_ptr<HistoryReader> m_historyReader;
    HistoryWindow* m_historyWindow = nullptr;
};

} // namespace ui
