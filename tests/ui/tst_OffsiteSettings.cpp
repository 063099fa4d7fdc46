#include "UiTestSupport.h"

#include "config/PasswordCodec.h"
#include "config/ProfileFile.h"
#include "config/RunOptions.h"
#include "engine/OffsiteStore.h"
#include "ui/OffsiteSettings.h"

#include "fakes/S3TestServer.h"

#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <QtTest>

using uitest::Find;

class OffsiteSettingsTest : public QObject {
    Q_OBJECT

private:
    uitest::WindowFixture* m_fixture = nullptr;
    std::vector<config::OffsiteOptions> m_tried;

    ui::OffsiteSettings& dialog() { return *m_fixture->window().offsiteSettings(); }
    QLineEdit* edit(const char* name) { return Find<QLineEdit>(dialog(), name); }
    QPushButton* button(const char* name) { return Find<QPushButton>(dialog(), name); }

    void openWindow(ui::OffsiteSettings::CheckConnectionFn check = {})
    {
        ui::WindowServices services;
        services.checkOffsite = check ? check : [this](const config::OffsiteOptions& options) {
            m_tried.push_back(options);
            return std::string();
        };
        m_fixture->open(services);
    }

    // Opens the dialog through its menu item and runs `interaction` inside it.
    void inDialog(const std::function<void()>& interaction)
    {
        bool ran = false;
        QTimer::singleShot(0, this, [&] {
            interaction();
            ran = true;
            if (dialog().isVisible())
                dialog().reject();
        });
        Find<QAction>(m_fixture->window(), "MenuOffsiteSettings")->trigger();
        QVERIFY(ran);
    }

    void fill(const QString& url, const QString& endpoint, const QString& accessKey, const QString& secret)
    {
        edit("OffsiteUrl")->setText(url);
        edit("OffsiteEndpoint")->setText(endpoint);
        edit("OffsiteRegion")->clear();
        edit("OffsiteAccessKey")->setText(accessKey);
        edit("OffsiteSecret")->setText(secret);
    }

    std::string storedOption(const char* key) const
    {
        config::ProfileFile profile;
        config::ProfileFile::load(m_fixture->settingsPath(), profile);
        return profile.read(config::kOptionsSection, key);
    }

private slots:
    void init()
    {
        m_fixture = new uitest::WindowFixture;
        m_tried.clear();
    }

    void cleanup()
    {
        if (QWidget* modal = QApplication::activeModalWidget())
            modal->close();
        delete m_fixture;
        m_fixture = nullptr;
    }

    void savesTheSettingsWithTheSecretEncodedAndShowsThemAgain()
    {
        openWindow();
        const QString secret = QString::fromUtf8("Secret/Key+With=Signs \xC3\x84");
        inDialog([&] {
            fill(" s3://backups/nightly ", "http://127.0.0.1:9000", "AKIAEXAMPLE", secret);
            Find<QSpinBox>(dialog(), "OffsiteKeep")->setValue(3);
            QTest::mouseClick(button("SaveOffsite"), Qt::LeftButton);
            QVERIFY(!dialog().isVisible());
        });
        QCOMPARE(storedOption("OFFSITE_URL"), std::string("s3://backups/nightly"));
        QCOMPARE(storedOption("OFFSITE_KEEP"), std::string("3"));
        const std::string stored = storedOption("OFFSITE_SECRET");
        QVERIFY(stored.find("Secret") == std::string::npos);
        std::string decoded;
        config::PasswordCodec codec;
        QCOMPARE(codec.Decode(stored, decoded), config::PasswordCodec::kOk);
        QCOMPARE(QString::fromStdString(decoded), secret);
        QVERIFY(m_fixture->logLines().contains(ui::kOffsiteSavedLine));

        const config::OffsiteOptions loaded = config::LoadRunOptions(m_fixture->settingsPath()).offsite;
        QCOMPARE(loaded.endpoint, std::string("http://127.0.0.1:9000"));
        QCOMPARE(loaded.keep, 3);
        inDialog([&] {
            QCOMPARE(edit("OffsiteUrl")->text(), QString("s3://backups/nightly"));
            QCOMPARE(edit("OffsiteSecret")->text(), secret);
            QCOMPARE(edit("OffsiteSecret")->echoMode(), QLineEdit::Password);
            QCOMPARE(Find<QSpinBox>(dialog(), "OffsiteKeep")->value(), 3);
        });
    }

    void refusesMalformedSettingsAndEscapeSavesNothing()
    {
        openWindow();
        inDialog([&] {
            fill("s3://backups/x", "ftp://127.0.0.1", "AKIAEXAMPLE", "secret");
            QTest::mouseClick(button("SaveOffsite"), Qt::LeftButton);
            QVERIFY(dialog().isVisible());
            QTest::mouseClick(button("TestOffsiteConnection"), Qt::LeftButton);
            QTest::keyClick(&dialog(), Qt::Key_Escape);
            QVERIFY(!dialog().isVisible());
        });
        const QString refusal("OFFSITE_ENDPOINT must begin with http:// or https://, not 'ftp://127.0.0.1'");
        QCOMPARE(m_fixture->prompter.texts(), (QStringList{refusal, refusal}));
        QVERIFY(m_tried.empty());
        QCOMPARE(storedOption("OFFSITE_URL"), std::string());
    }

    void testsTheConnectionAgainstTheStorage()
    {
        fakes::S3TestServer server;
        QVERIFY2(server.start(), server.error().c_str());
        openWindow([](const config::OffsiteOptions& options) {
            return engine::CheckOffsiteConnection(options, std::nullopt, {});
        });
        const auto& [key, secret] = server.options().credentials.front();
        inDialog([&] {
            fill("s3://backups/nightly", QString::fromStdString(server.endpoint()), QString::fromStdString(key),
                 QString::fromStdString(secret));
            QTest::mouseClick(button("TestOffsiteConnection"), Qt::LeftButton);
            edit("OffsiteSecret")->setText("not the secret");
            QTest::mouseClick(button("TestOffsiteConnection"), Qt::LeftButton);
        });
        QCOMPARE(m_fixture->prompter.texts(),
                 (QStringList{
                     "The offsite storage answered: copies can be stored in s3://backups/nightly.",
                     "The offsite storage cannot be used: listing 'nightly/' was refused: HTTP 403 "
                     "SignatureDoesNotMatch: The request signature we calculated does not match the signature you "
                     "provided. Check your key and signing method."}));
        // Nothing was saved by trying.
        QCOMPARE(storedOption("OFFSITE_URL"), std::string());
    }
};

QTEST_MAIN(OffsiteSettingsTest)
#include "tst_OffsiteSettings.moc"
