#include "ui/AboutBox.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTextBrowser>
#include <QUrl>
#include <QVBoxLayout>

namespace ui {

void RunAboutBox(QWidget* parent, const QIcon& icon, const QString& filesInUse)
{
    QDialog box(parent);
    box.setObjectName(QStringLiteral("AboutBox"));
    box.setWindowTitle(QStringLiteral("About Corvella"));

    auto* picture = new QLabel;
    picture->setObjectName(QStringLiteral("AboutIcon"));
    picture->setPixmap(icon.pixmap(64, 64));
    auto* name = new QLabel(QStringLiteral("<b>Corvella -  SQL Server Backup Manager</b>"));
    auto* version = new QLabel(QStringLiteral("Version %1").arg(QStringLiteral(CORVELLA_VERSION)));
    version->setObjectName(QStringLiteral("AboutVersion"));
    auto* blurb = new QLabel(QStringLiteral("Backs up SQL Server databases on demand or on a schedule,\n"
                                            "zips and mails the backups and keeps a rotation of them."));

    auto* text = new QVBoxLayout;
    text->addWidget(name);
    text->addWidget(version);
    text->addWidget(blurb);
    if (!filesInUse.isEmpty()) {
        auto* files = new QLabel(filesInUse);
        files->setObjectName(QStringLiteral("AboutFiles"));
        files->setTextInteractionFlags(Qt::TextSelectableByMouse);
        text->addWidget(files);
    }
    text->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(picture, 0, Qt::AlignTop);
    top->addSpacing(12);
    top->addLayout(text);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok);
    buttons->button(QDialogButtonBox::Ok)->setObjectName(QStringLiteral("AboutOk"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, &box, &QDialog::accept);

    auto* layout = new QVBoxLayout(&box);
    layout->addLayout(top);
    layout->addWidget(buttons);
    box.exec();
}

void ShowHelpPage(QWidget* parent)
{
    static QPointer<QDialog> s_viewer;
    if (!s_viewer) {
        s_viewer = new QDialog(parent);
        s_viewer->setObjectName(QStringLiteral("HelpViewer"));
        s_viewer->setWindowTitle(QStringLiteral("Corvella Help"));
        s_viewer->setAttribute(Qt::WA_DeleteOnClose);
        auto* browser = new QTextBrowser;
        browser->setObjectName(QStringLiteral("HelpBrowser"));
        browser->setOpenExternalLinks(true);
        browser->setSource(QUrl(QStringLiteral("qrc:/corvella/help/index.html")));
        auto* layout = new QVBoxLayout(s_viewer);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->addWidget(browser);
        s_viewer->resize(720, 640);
    }
    s_viewer->show();
    s_viewer->raise();
    s_viewer->activateWindow();
}

} // namespace ui
