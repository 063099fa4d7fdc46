#pragma once

#include <QString>

class QWidget;

namespace ui {

// Every message box and question of the desktop program goes through a
// Prompter, so that tests can answer them. Called on the GUI thread only;
// both calls block until the operator has answered.
class Prompter {
public:
    virtual ~Prompter() = default;

    // One modal box with an OK button and no icon.
    virtual void inform(QWidget* parent, const QString& caption, const QString& text) = 0;
    // The same box, shown without waiting for it: returns at once. For what a
    // backup run reports, which must never wait for a person.
    virtual void notify(QWidget* parent, const QString& caption, const QString& text) = 0;
    // A yes/no question with the question icon; true for "Yes".
    virtual bool ask(QWidget* parent, const QString& caption, const QString& text) = 0;

    // Save, Discard or Cancel, for unsaved changes; Esc answers Cancel.
    enum class SaveAnswer { Save, Discard, Cancel };
    virtual SaveAnswer askToSave(QWidget* parent, const QString& caption, const QString& text) = 0;
};

// The real prompter: QMessageBox.
class MessageBoxPrompter final : public Prompter {
public:
    void inform(QWidget* parent, const QString& caption, const QString& text) override;
    void notify(QWidget* parent, const QString& caption, const QString& text) override;
    bool ask(QWidget* parent, const QString& caption, const QString& text) override;
    SaveAnswer askToSave(QWidget* parent, const QString& caption, const QString& text) override;
};

// The caption of the program's message boxes: the program's display name
// ("Corvella").
QString ApplicationCaption();

} // namespace ui
