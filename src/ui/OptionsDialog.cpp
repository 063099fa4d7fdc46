#include "ui/OptionsDialog.h"

#include "config/ProfileFile.h"
#include "ui/Prompter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

namespace ui {

namespace {

// The combo box item that stands for a stored value the program does not
// understand: kept as it is unless another item is chosen.
constexpr int kRawValueRole = Qt::UserRole + 1;

QLabel* SmallLabel(const QString& text)
{
    auto* label = new QLabel(text);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.9);
    label->setFont(font);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}

} // namespace

OptionsDialog::OptionsDialog(Prompter& prompter, std::string settingsPath, QWidget* parent)
    : QDialog(parent)
    , m_prompter(prompter)
    , m_settingsPath(std::move(settingsPath))
{
    setObjectName(QStringLiteral("OptionsDialog"));
    setWindowTitle(QString::fromLatin1(kOptionsTitle));
    build();
}

void OptionsDialog::build()
{
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(QStringLiteral("Section [OPTIONS] of %1. Only the options you change are written; "
                                            "everything else in the file stays as it is.")
                                 .arg(QString::fromStdString(m_settingsPath)));
    intro->setWordWrap(true);
    intro->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(intro);

    auto* content = new QWidget;
    auto* groups = new QVBoxLayout(content);
    QGroupBox* group = nullptr;
    QGridLayout* grid = nullptr;
    for (const config::OptionEntry& entry : config::OptionCatalog()) {
        if (!group || group->title() != QString::fromStdString(entry.group)) {
            group = new QGroupBox(QString::fromStdString(entry.group));
            grid = new QGridLayout(group);
            grid->setColumnStretch(1, 1);
            groups->addWidget(group);
        }
        const int row = grid->rowCount();
        auto* name = new QLabel(QString::fromStdString(entry.key));
        name->setTextInteractionFlags(Qt::TextSelectableByMouse);
        QWidget* editor = makeEditor(entry);
        name->setBuddy(editor->focusProxy() ? editor->focusProxy() : editor);
        grid->addWidget(name, row, 0, Qt::AlignTop);
        grid->addWidget(editor, row, 1);
        auto* explanation = SmallLabel(QString::fromStdString(entry.explanation));
        grid->addWidget(explanation, row + 1, 1);
        auto* warning = SmallLabel(QString());
        warning->setObjectName(QString::fromStdString(entry.key) + QStringLiteral("Warning"));
        warning->setStyleSheet(QStringLiteral("color: rgb(170, 0, 0);"));
        warning->hide();
        grid->addWidget(warning, row + 2, 1);
    }
    groups->addStretch();

    auto* scroll = new QScrollArea;
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidget(content);
    layout->addWidget(scroll, 1);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Save | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Save)->setObjectName(QStringLiteral("OptionsSave"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("OptionsCancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, &OptionsDialog::save);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(640, 520);
}

QWidget* OptionsDialog::makeEditor(const config::OptionEntry& entry)
{
    const QString key = QString::fromStdString(entry.key);
    QWidget* editor = nullptr;
    QWidget* placed = nullptr;
    switch (entry.kind) {
    case config::OptionKind::OnOff:
        editor = new QCheckBox(QStringLiteral("On"));
        break;
    case config::OptionKind::Choice: {
        auto* box = new QComboBox;
        for (const std::string& choice : entry.choices)
            box->addItem(QString::fromStdString(choice));
        editor = box;
        break;
    }
    case config::OptionKind::Path: {
        auto* edit = new QLineEdit;
        auto* browse = new QToolButton;
        browse->setText(QStringLiteral("..."));
        browse->setObjectName(key + QStringLiteral("Browse"));
        connect(browse, &QToolButton::clicked, this, [this, edit] {
            const QString start = edit->text().isEmpty() ? QFileInfo(QString::fromStdString(m_settingsPath)).path()
                                                         : edit->text();
            const QString chosen = QFileDialog::getOpenFileName(this, QStringLiteral("Choose a file"), start);
            if (!chosen.isEmpty())
                edit->setText(chosen);
        });
        placed = new QWidget;
        auto* row = new QHBoxLayout(placed);
        row->setContentsMargins(0, 0, 0, 0);
        row->addWidget(edit, 1);
        row->addWidget(browse);
        placed->setFocusProxy(edit);
        editor = edit;
        break;
    }
    case config::OptionKind::Secret: {
        auto* edit = new QLineEdit;
        edit->setEchoMode(QLineEdit::Password);
        editor = edit;
        break;
    }
    case config::OptionKind::Number:
    case config::OptionKind::Text:
        editor = new QLineEdit;
        break;
    }
    editor->setObjectName(key);
    editor->setToolTip(QString::fromStdString(entry.explanation));
    m_fields.push_back({&entry, editor, {}});
    return placed ? placed : editor;
}

QWidget* OptionsDialog::editor(const std::string& key) const
{
    for (const Field& field : m_fields) {
        if (field.entry->key == key)
            return field.editor;
    }
    return nullptr;
}

bool OptionsDialog::load(std::string* error)
{
    config::ProfileFile profile;
    if (config::ProfileFile::load(m_settingsPath, profile, error) == config::ProfileFile::LoadStatus::Failed)
        return false;
    const std::vector<config::OptionValue> values = config::ReadOptionValues(profile);
    for (Field& field : m_fields) {
        for (const config::OptionValue& value : values) {
            if (value.entry == field.entry)
                showValue(field, value);
        }
    }
    return true;
}

void OptionsDialog::showValue(Field& field, const config::OptionValue& value)
{
    const QString text = QString::fromStdString(value.value);
    auto* warning = findChild<QLabel*>(QString::fromStdString(field.entry->key) + QStringLiteral("Warning"));
    warning->setVisible(!value.understood);
    if (!value.understood) {
        const QString applied = field.entry->defaultValue.empty() ? QStringLiteral("no value")
                                                                  : QString::fromStdString(field.entry->defaultValue);
        warning->setText(QString::fromLatin1(kNotUnderstoodText).arg(text, applied));
    }

    if (auto* box = qobject_cast<QCheckBox*>(field.editor)) {
        // A value that is neither TRUE nor FALSE stays as it stands until
        // the box is set one way or the other.
        box->setTristate(!value.understood);
        box->setCheckState(!value.understood ? Qt::PartiallyChecked
                               : text == QLatin1String(config::kTrueText) ? Qt::Checked
                                                                          : Qt::Unchecked);
        if (!value.understood) {
            connect(box, &QCheckBox::clicked, box, [box] { box->setTristate(false); }, Qt::SingleShotConnection);
        }
    } else if (auto* combo = qobject_cast<QComboBox*>(field.editor)) {
        for (int i = combo->count() - 1; i >= 0; --i) {
            if (combo->itemData(i, kRawValueRole).toBool())
                combo->removeItem(i);
        }
        int index = combo->findText(text);
        if (index < 0) {
            combo->addItem(text);
            index = combo->count() - 1;
            combo->setItemData(index, true, kRawValueRole);
        }
        combo->setCurrentIndex(index);
    } else if (auto* edit = qobject_cast<QLineEdit*>(field.editor)) {
        edit->setText(text);
    }
    field.loaded = currentValue(field);
}

QString OptionsDialog::currentValue(const Field& field) const
{
    if (auto* box = qobject_cast<QCheckBox*>(field.editor)) {
        if (box->checkState() == Qt::PartiallyChecked)
            return field.loaded;
        return QString::fromLatin1(box->isChecked() ? config::kTrueText : config::kFalseText);
    }
    if (auto* combo = qobject_cast<QComboBox*>(field.editor))
        return combo->currentText();
    if (auto* edit = qobject_cast<QLineEdit*>(field.editor))
        return edit->text();
    return {};
}

std::vector<std::pair<std::string, std::string>> OptionsDialog::changes() const
{
    std::vector<std::pair<std::string, std::string>> changed;
    for (const Field& field : m_fields) {
        const QString value = currentValue(field);
        if (value != field.loaded)
            changed.emplace_back(field.entry->key, value.toStdString());
    }
    return changed;
}

void OptionsDialog::save()
{
    const auto changed = changes();
    // Every refusal at once, so that one round of corrections is enough.
    QStringList refusals;
    for (const auto& [key, value] : changed) {
        const std::string refusal = config::CheckOptionValue(*config::FindOption(key), value);
        if (!refusal.empty())
            refusals << QString::fromStdString(refusal);
    }
    if (!refusals.isEmpty()) {
        m_prompter.inform(this, ApplicationCaption(), refusals.join(QLatin1Char('\n')));
        return;
    }
    std::string error;
    if (!config::SaveOptionValues(m_settingsPath, changed, &error)) {
        m_prompter.inform(this, ApplicationCaption(),
                          QStringLiteral("The options could not be saved. %1").arg(QString::fromStdString(error)));
        return;
    }
    if (!changed.empty())
        emit optionsSaved(changed);
    accept();
}

} // namespace ui
