#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

#include <functional>

class QAction;
class QMenu;
class QWidget;

namespace ui {

// The notification-area icon of the main window and its menu ("Save
// Settings", "Show Application", "Exit Application", then "Stop Auto Backup
// Service"). The icon is shown only while the window is hidden in the tray;
// its tooltip says what the backups are doing. Where the desktop has no tray the
// icon cannot be shown, so hiding to the tray does nothing and the window
// stays where it is. GUI thread only.
class TrayController final : public QObject {
    Q_OBJECT
public:
    static constexpr const char* kToolTip = "SQL Server Backup Manager - Corvella";

    // `trayAvailable` tells whether the desktop has a tray (defaults to asking Qt).
    TrayController(QWidget* window, const QIcon& icon, std::function<bool()> trayAvailable = {},
                   QObject* parent = nullptr);
    ~TrayController() override;

    bool isIconShown() const { return m_iconShown; }
    bool isTrayAvailable() const { return m_trayAvailable(); }
    bool minimizeToTray() const { return m_minimizeToTray; }
    void setMinimizeToTray(bool on) { m_minimizeToTray = on; }
    QMenu* menu() const { return m_menu; }
    QSystemTrayIcon* icon() const { return m_icon; }

    // The tooltip: the program's line, then `state` (several lines allowed).
    void setState(const QString& state);
    // Enables "Stop Auto Backup Service".
    void setServiceRunning(bool running);
    // A balloon from the icon; false when the icon is not shown.
    bool showFailure(const QString& title, const QString& text);

public slots:
    // Puts the icon into the tray; false when it is there already or cannot be.
    bool showIcon();
    // Takes the icon out of the tray; false when it was not there.
    bool hideIcon();
    // "Minimize to System Tray": shows the icon and, only if that worked, hides the window.
    void hideToTray();
    // "Show Application", and a click or double-click on the icon (the tray
    // protocols of some desktops send no double-click).
    void showApplication();

signals:
    void saveSettingsRequested();
    void exitRequested();
    void stopServiceRequested();

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);

    QWidget* m_window;
    std::function<bool()> m_trayAvailable;
    QSystemTrayIcon* m_icon;
    QMenu* m_menu;
    QAction* m_saveAction;
    QAction* m_stopServiceAction;
    bool m_iconShown = false;
    bool m_minimizeToTray = true;
};

} // namespace ui
