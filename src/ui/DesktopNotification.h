#pragma once

#include <QString>

namespace ui {

// Asks the desktop's notification service (org.freedesktop.Notifications on
// the session bus) to show a notification with the program's icon. False
// when there is no session bus or no such service. GUI thread; returns
// without waiting for the notification to be shown.
bool NotifyDesktop(const QString& title, const QString& text, bool critical);

} // namespace ui
