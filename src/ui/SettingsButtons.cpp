#include "ui/SettingsButtons.h"

#include "ui/ResponsiveCall.h"

#include <QDialog>
#include <QHBoxLayout>
#include <QPushButton>

namespace ui {

SettingsButtons::SettingsButtons(QDialog& dialog, const Labels& labels)
    : m_dialog(dialog)
{
    m_save = new QPushButton(labels.save);
    m_save->setObjectName(labels.saveName);
    m_save->setDefault(true);
    m_test = new QPushButton(labels.test);
    m_test->setObjectName(labels.testName);
    m_test->setAutoDefault(false);
    m_cancel = new QPushButton(QStringLiteral("Cancel"));
    m_cancel->setObjectName(labels.cancelName);
    m_cancel->setAutoDefault(false);
    m_row = new QHBoxLayout;
    m_row->addStretch();
    m_row->addWidget(m_save);
    m_row->addWidget(m_test);
    m_row->addWidget(m_cancel);
    QObject::connect(m_cancel, &QPushButton::clicked, &dialog, &QDialog::reject);
}

std::optional<std::string> SettingsButtons::runTest(std::function<std::string()> check)
{
    for (QPushButton* button : {m_save, m_test, m_cancel})
        button->setEnabled(false);
    m_dialog.setCursor(Qt::BusyCursor);
    std::optional<std::string> answer = RunResponsive<std::string>(std::move(check));
    m_dialog.unsetCursor();
    for (QPushButton* button : {m_save, m_test, m_cancel})
        button->setEnabled(true);
    return answer;
}

} // namespace ui
