#pragma once

#include "config/DatabaseList.h"
#include "config/PasswordCodec.h"
#include "db/Connection.h"
#include "engine/BackupOwner.h"
#include "engine/BackupWorker.h"
#include "engine/StatusJournal.h"
#include "ui/EmailSettings.h"
#include "ui/ListEditing.h"

#include <QHash>
#include <QMainWindow>

#include <chrono>
#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTableView;
class QUrl;

namespace engine { class BackupScheduler; }

namespace ui {

class ConfigGridModel;
class Prompter;
class StatusGridModel;
class TrayController;

// Everything the main window reaches the outside world through. app/ fills it
// with the real implementations; tests pass doubles.
struct WindowServices {
    std::string settingsPath;              // BackupConfig.ini
    std::string logPath = "BackupLog.log"; // the event log, in the working folder
    Prompter* prompter = nullptr;          // required; outlives the window
    engine::BackupServices backup;         // used by every run; outlives the runs
    // Opens and closes a test connection; on failure it has set the status
    // line. Called on a thread of its own.
    std::function<bool(const std::string& connectionString, const db::StatusLineFn& statusLine)> checkConnection;
    EmailSettings::SendTestMailFn sendTestMail;
    // The folder picker; an empty result means cancelled. Empty: QFileDialog.
    std::function<QString(QWidget* parent, const QString& startFolder)> chooseFolder;
    // Whether the desktop has a notification area. Empty: ask Qt.
    std::function<bool()> trayAvailable;
    // Opens a file with the desktop's default program. Empty: QDesktopServices.
    std::function<void(const QUrl& url)> openExternal;
};

// The main window ("Corvella -  SQL Server Backup Manager"): the editor of the
// database list, the two grids, the commands, and the owner of every backup
// run it starts.
//
// The widgets live on the GUI thread. As the runs' BackupOwner, every call
// may come from a worker: the journal reaches StatusGrid through queued
// updates, enableControl and setStatusLine are queued, showMessage blocks the
// worker (never the window) until the operator has answered. Once shutdown()
// has run, worker calls do nothing and showMessage returns at once.
class DBBackupDlg final : public QMainWindow, public engine::BackupOwner {
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
    static constexpr const char* kSaveToListCaption = "Save to List";
    static constexpr const char* kUpdateToListCaption = "Update to List";

    explicit DBBackupDlg(WindowServices services, QWidget* parent = nullptr);
    ~DBBackupDlg() override;

    // engine::BackupOwner
    logging::Log& log() override;
    engine::StatusJournal& statusJournal() override;
    engine::BackupState& backupState() override;
    void enableControl(int controlId, bool enabled) override;
    void setStatusLine(const std::string& text) override;
    void showMessage(const std::string& text, const std::string& caption) override;
    config::MailSettings mailSettings() const override;

    // The widget with a numeric control id (1000..1026), or null.
    QWidget* control(int controlId) const;
    int editingRow() const { return m_editingRow; }
    const config::DatabaseList& databaseList() const { return m_databaseList; }
    ConfigGridModel* configModel() const { return m_configModel.get(); }
    StatusGridModel* statusModel() const { return m_statusModel.get(); }
    EmailSettings* emailSettings() const { return m_emailSettings; }
    TrayController* tray() const { return m_tray; }
    engine::BackupScheduler& scheduler() const { return *m_scheduler; }

    // Ends the window's part in the backups: no worker reaches the window any
    // more, the auto service stops, and runs get up to `bound` to finish.
    // True when none is left; otherwise the objects the runs use must live
    // until the process ends.
    bool shutdown(std::chrono::milliseconds bound);

public slots:
    void saveToList();
    void editRow();
    void leaveEditMode();
    void deleteRow();
    void chooseBackupFolder();
    void saveConfigurations();
    void startAutoBackupService();
    void manualBackup();
    void openMailSettings();
    void minimizeToTray();
    void showApplication();
    void openHelp();
    void showAbout();
    void exitApplication();

signals:
    // The window has closed (Exit, the close button, Esc): the program ends.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct Bridge;

    void buildWidgets();
    void buildMenus();
    void registerControl(int controlId, QWidget* widget);
    void centreOnScreen();
    DatabaseForm readForm() const;
    void showForm(const DatabaseForm& form);
    void clearForm();
    void selectGridRowAt(const QPoint& position);
    // Runs `action` on the GUI thread: at once when called there, otherwise
    // queued; dropped after shutdown.
    void onGuiThread(std::function<void()> action);

    WindowServices m_services;
    std::unique_ptr<logging::Log> m_log;
    config::PasswordCodec m_codec;
    engine::StatusJournal m_journal;
    std::mutex m_backupLock; // serialises the body of every run; lives as long as the window
    engine::BackupState m_state;
    config::DatabaseList m_databaseList;
    std::unique_ptr<ConfigGridModel> m_configModel;
    std::unique_ptr<StatusGridModel> m_statusModel;
    std::shared_ptr<Bridge> m_bridge;
    int m_editingRow = -1;
    bool m_checkingConnection = false;
    bool m_shutDown = false;

    QHash<int, QWidget*> m_controls;
    QLineEdit* m_databaseUrl = nullptr;
    QLineEdit* m_databaseName = nullptr;
    QLineEdit* m_userId = nullptr;
    QLineEdit* m_password = nullptr;
    QLineEdit* m_intervalNumber = nullptr;
    QLineEdit* m_backupPath = nullptr;
    QComboBox* m_intervalUnit = nullptr;
    QCheckBox* m_sendByEmail = nullptr;
    QCheckBox* m_zipBackup = nullptr;
    QCheckBox* m_keepOldBackup = nullptr;
    QPushButton* m_saveToListButton = nullptr;
    QPushButton* m_cancelUpdateButton = nullptr;
    QTableView* m_configGrid = nullptr;
    QTableView* m_statusGrid = nullptr;
    QLabel* m_statusLine = nullptr;
    QWidget* m_settingsArea = nullptr;
    EmailSettings* m_emailSettings = nullptr;
    TrayController* m_tray = nullptr;

    // Declared last: destroyed first, before anything its runs use.
    std::unique_ptr<engine::BackupScheduler> m_scheduler;
};

} // namespace ui
