#include "UiTestSupport.h"

#include "config/SettingsFile.h"
#include "ui/EmailSettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

using uitest::Find;

class EmailSettingsTest : public QObject {
    Q_OBJECT

private:
    uitest::WindowFixture* m_fixture = nullptr;
    std::vector<config::MailSettings> m_sent;
    std::string m_testAnswer = "Email has been sent. Please check your email to verify your settings.";

    ui::EmailSettings& dialog() { return *m_fixture->window().emailSettings(); }
    QLineEdit* edit(const char* name) { return Find<QLineEdit>(dialog(), name); }
    QPushButton* button(const char* name) { return Find<QPushButton>(dialog(), name); }

    void openWindow()
    {
        ui::WindowServices services;
        services.sendTestMail = [this](const config::MailSettings& settings) {
            m_sent.push_back(settings);
            return m_testAnswer;
        };
        m_fixture->open(services);
    }

    // Opens the dialog through its menu command and runs `interaction` inside it.
    void inDialog(const std::function<void()>& interaction)
    {
        bool ran = false;
        QTimer::singleShot(0, this, [&] {
            interaction();
            ran = true;
            if (dialog().isVisible())
                dialog().reject();
        });
        m_fixture->window().openMailSettings();
        QVERIFY(ran);
    }

    void fillValid()
    {
        edit("ServerAddress")->setText("mail.example.com");
        edit("Port")->setText("587");
        edit("Account")->setText("backups@example.com");
        edit("MailPassword")->setText("pa;ss");
        Find<QComboBox>(dialog(), "Security")->setCurrentText("TLS");
        edit("Recipient")->setText("dba@example.com");
        edit("Subject")->setText("Nightly backup");
        edit("MailingServerName")->setText("Corvella");
        Find<QPlainTextEdit>(dialog(), "MessageText")->setPlainText("Line one\nLine two");
    }

private slots:
    void init()
    {
        m_fixture = new uitest::WindowFixture;
        m_sent.clear();
    }

    void cleanup()
    {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        delete m_fixture;
        m_fixture = nullptr;
    }

    void checksThePort_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::addColumn<uint>("port");
        QTest::newRow("lowest") << "1" << "" << 1u;
        QTest::newRow("highest") << "14000" << "" << 14000u;
        QTest::newRow("blanks and tabs around") << " \t25\t " << "" << 25u;
        QTest::newRow("zero") << "0" << ui::kPortRangeText << 0u;
        QTest::newRow("above range") << "14001" << ui::kPortRangeText << 0u;
        QTest::newRow("far above, no overflow") << "99999999999999999999" << ui::kPortRangeText << 0u;
        QTest::newRow("empty") << "" << ui::kPortNotPositiveText << 0u;
        QTest::newRow("blanks only") << "   " << ui::kPortNotPositiveText << 0u;
        QTest::newRow("minus") << "-25" << ui::kPortNotPositiveText << 0u;
        QTest::newRow("blank inside") << "2 5" << ui::kPortNotPositiveText << 0u;
        QTest::newRow("letters") << "25a" << ui::kPortNotPositiveText << 0u;
    }

    void checksThePort()
    {
        QFETCH(QString, text);
        QFETCH(QString, message);
        QFETCH(uint, port);
        const ui::PortCheck check = ui::CheckPortText(text.toStdString());
        QCOMPARE(QString::fromStdString(check.message), message);
        QCOMPARE(check.ok, message.isEmpty());
        if (check.ok)
            QCOMPARE(check.port, port);
    }

    void matchesListItemsLikeTheListSearch()
    {
        const QStringList items{"SIMPLE", "SSL", "TLS"};
        QCOMPARE(ui::MatchListItem(items, "tls"), 2);
        QCOMPARE(ui::MatchListItem(items, "Ss"), 1);
        QCOMPARE(ui::MatchListItem(items, "S"), 0);
        QCOMPARE(ui::MatchListItem(items, "STARTTLS"), -1);
        QCOMPARE(ui::MatchListItem(items, ""), -1);
    }

    void freshStartRefusesTheDefaultPort()
    {
        openWindow();
        inDialog([&] {
            QCOMPARE(dialog().windowTitle(), QString("Email Configurations"));
            QCOMPARE(Find<QComboBox>(dialog(), "Security")->currentText(), QString("SIMPLE"));
            QCOMPARE(Find<QComboBox>(dialog(), "LogType")->currentIndex(), -1);
            QCOMPARE(edit("Port")->text(), QString("0"));
            QCOMPARE(edit("ServerAddress")->text(), QString());
            QTest::mouseClick(button("SaveSettings"), Qt::LeftButton);
            QCOMPARE(m_fixture->prompter.texts(), QStringList{ui::kPortRangeText});
            QVERIFY(dialog().isVisible());
            QCOMPARE(dialog().focusWidget(), edit("Port"));
            QCOMPARE(edit("Port")->selectedText(), QString("0"));
        });
        QVERIFY(!QFile::exists(QString::fromStdString(m_fixture->settingsPath())));
        const QStringList log = m_fixture->logLines();
        QCOMPARE(log.mid(log.size() - 2), (QStringList{"Updating email settings.", "Updated email settings."}));
    }

    void savesAndLoadsAtTheNextStart()
    {
        openWindow();
        inDialog([&] {
            fillValid();
            QTest::mouseClick(button("SaveSettings"), Qt::LeftButton);
            QVERIFY(!dialog().isVisible());
        });
        config::MailSettings stored;
        config::LoadMailSettings(m_fixture->settingsPath(), stored);
        QCOMPARE(stored.serverAddress, std::string("mail.example.com"));
        QCOMPARE(stored.port, 587u);
        QCOMPARE(stored.password, std::string("pa;ss"));
        QCOMPARE(stored.security, std::string("TLS"));
        QCOMPARE(stored.messageText, std::string("Line one\nLine two"));
        QCOMPARE(m_fixture->window().session().mailSettings(), stored);

        // An emptied password keeps the stored one; the next start reads it all back.
        inDialog([&] {
            edit("MailPassword")->clear();
            QTest::mouseClick(button("SaveSettings"), Qt::LeftButton);
        });
        openWindow();
        QCOMPARE(m_fixture->window().session().mailSettings().password, std::string("pa;ss"));
        QCOMPARE(m_fixture->window().session().mailSettings().recipient, std::string("dba@example.com"));
        inDialog([&] { QCOMPARE(Find<QComboBox>(dialog(), "Security")->currentText(), QString("TLS")); });
    }

    void theFailureAlertChoiceIsSavedAndShownAgain()
    {
        openWindow();
        inDialog([&] {
            QVERIFY(!Find<QCheckBox>(dialog(), "MailOnFailure")->isChecked());
            fillValid();
            QTest::mouseClick(Find<QCheckBox>(dialog(), "MailOnFailure"), Qt::LeftButton);
            QTest::mouseClick(button("SaveSettings"), Qt::LeftButton);
            QVERIFY(!dialog().isVisible());
        });
        QFile file(QString::fromStdString(m_fixture->settingsPath()));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll().contains("[OPTIONS]\nMAIL_ON_FAILURE=TRUE\n"));
        QVERIFY(m_fixture->window().session().mailSettings().mailOnFailure);

        // The next start shows it ticked; unticking it is saved as well.
        openWindow();
        inDialog([&] {
            QVERIFY(Find<QCheckBox>(dialog(), "MailOnFailure")->isChecked());
            QTest::mouseClick(Find<QCheckBox>(dialog(), "MailOnFailure"), Qt::LeftButton);
            QTest::mouseClick(button("SaveSettings"), Qt::LeftButton);
        });
        config::MailSettings stored;
        stored.mailOnFailure = true;
        config::LoadMailSettings(m_fixture->settingsPath(), stored);
        QVERIFY(!stored.mailOnFailure);
    }

    void storedSecurityIsMatchedIgnoringCase()
    {
        config::MailSettings lower;
        lower.security = "tls";
        lower.port = 25;
        QVERIFY(config::SaveMailSettings(m_fixture->settingsPath(), lower, "25"));
        openWindow();
        inDialog([&] { QCOMPARE(Find<QComboBox>(dialog(), "Security")->currentText(), QString("TLS")); });
    }

    void testMailUsesTheFieldsAndShowsTheAnswer()
    {
        openWindow();
        inDialog([&] {
            fillValid();
            edit("Port")->setText("-1");
            QTest::mouseClick(button("SendTestEmail"), Qt::LeftButton);
            QCOMPARE(m_fixture->prompter.texts(), QStringList{ui::kPortNotPositiveText});
            QVERIFY(m_sent.empty());

            m_fixture->prompter.clear();
            edit("Port")->setText("587");
            QTest::mouseClick(button("SendTestEmail"), Qt::LeftButton);
            QCOMPARE(m_fixture->prompter.texts(), QStringList{QString::fromStdString(m_testAnswer)});
            QVERIFY(dialog().isVisible());
            QTest::mouseClick(button("Cancel"), Qt::LeftButton);
        });
        QCOMPARE(m_sent.size(), std::size_t(1));
        QCOMPARE(m_sent[0].subject, std::string("Nightly backup"));
        QCOMPARE(m_sent[0].port, 587u);
        // Cancel after a test: the file is untouched, the tested values stay live.
        QVERIFY(!QFile::exists(QString::fromStdString(m_fixture->settingsPath())));
        QCOMPARE(m_fixture->window().session().mailSettings(), m_sent[0]);
    }
};

QTEST_MAIN(EmailSettingsTest)
#include "tst_EmailSettings.moc"
