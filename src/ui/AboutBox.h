#pragma once

#include <QString>

class QIcon;
class QWidget;

namespace ui {

// The About box: the application icon, the name, the version, the settings
// file and log in use, and OK. Modal; returns when it closes. GUI thread.
void RunAboutBox(QWidget* parent, const QIcon& icon, const QString& filesInUse = {});

// Shows the help page that ships with the program in a window of its own
// (one at a time; a second call raises it). GUI thread.
void ShowHelpPage(QWidget* parent);

} // namespace ui
