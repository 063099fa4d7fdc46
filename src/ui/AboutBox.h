#pragma once

class QIcon;
class QWidget;

namespace ui {

// The About box: the application icon, the name, the version and OK. Modal;
// returns when it closes. GUI thread.
void RunAboutBox(QWidget* parent, const QIcon& icon);

// Shows the help page that ships with the program in a window of its own
// (one at a time; a second call raises it). GUI thread.
void ShowHelpPage(QWidget* parent);

} // namespace ui
