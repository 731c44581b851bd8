#include "settings.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QtTest>

// Each case uses an application name of its own: QSettings caches files per
// process, and distinct names keep the cases from seeing each other's files.
class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void firstStartWritesTheTwelveDefaults();
    void existingLoggingSettingsAreLeftUntouched();
    void loggingDefaultsOverwriteButKeepTheNotificationSwitch();
    void textualSwitchValues_data();
    void textualSwitchValues();
    void unreadableFileLeavesDefaultsInForce();

private:
    QString fileOf(const QString &application) const
    {
        return env.path(QStringLiteral("home/.config/Brenmor/%1.conf").arg(application));
    }
    void writeFile(const QString &application, const QByteArray &content)
    {
        QDir().mkpath(QFileInfo(fileOf(application)).path());
        QFile file(fileOf(application));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    TestEnvironment env;
    const QString organisation = QStringLiteral("Brenmor");
};

void TestSettings::firstStartWritesTheTwelveDefaults()
{
    const QString application = QStringLiteral("Fresh");
    QVERIFY(!QFile::exists(fileOf(application)));

    writeDefaultSettings(organisation, application);

    QSettings file(fileOf(application), QSettings::IniFormat);
    const QMap<QString, int> expected {
        { QStringLiteral("Syslog/Enabled"), 0 },
        { QStringLiteral("FileLog/Enabled"), 0 },
        { QStringLiteral("StdStreamLog/Enabled"), 0 },
        { QStringLiteral("Log categories/Notifications"), 1 },
        { QStringLiteral("Log categories/Queries"), 0 },
        { QStringLiteral("Log categories/Indexer"), 0 },
        { QStringLiteral("Log categories/Heartbeat"), 0 },
        { QStringLiteral("Log categories/Scheduler"), 1 },
        { QStringLiteral("Log categories/Watcher"), 0 },
        { QStringLiteral("Log categories/Transfer"), 0 },
        { QStringLiteral("Notification/Enabled"), 1 },
    };
    QStringList keys = file.allKeys();
    keys.sort();
    QStringList expectedKeys = expected.keys();
    expectedKeys << QStringLiteral("FileLog/Path");
    expectedKeys.sort();
    QCOMPARE(keys, expectedKeys);
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        QCOMPARE(file.value(it.key()).toString(), QString::number(it.value()));
    }
    QCOMPARE(file.value(QStringLiteral("FileLog/Path")).toString(),
             QStringLiteral("/home/user/.postvane.log"));
    QVERIFY(readNotificationsEnabled(organisation, application));
}

void TestSettings::existingLoggingSettingsAreLeftUntouched()
{
    const QString application = QStringLiteral("Configured");
    const QByteArray content = "[Syslog]\nEnabled=1\n\n[StdStreamLog]\nEnabled=1\n";
    writeFile(application, content);

    writeDefaultSettings(organisation, application);

    QFile file(fileOf(application));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), content);
    QVERIFY(readNotificationsEnabled(organisation, application));
}

void TestSettings::loggingDefaultsOverwriteButKeepTheNotificationSwitch()
{
    const QString application = QStringLiteral("SwitchedOff");
    writeFile(application, "[StdStreamLog]\nEnabled=1\n\n[Notification]\nEnabled=false\n");

    writeDefaultSettings(organisation, application);

    QSettings file(fileOf(application), QSettings::IniFormat);
    QCOMPARE(file.value(QStringLiteral("Syslog/Enabled")).toString(), QStringLiteral("0"));
    QCOMPARE(file.value(QStringLiteral("StdStreamLog/Enabled")).toString(), QStringLiteral("0"));
    QCOMPARE(file.value(QStringLiteral("Notification/Enabled")).toString(),
             QStringLiteral("false"));
    QVERIFY(!readNotificationsEnabled(organisation, application));
}

void TestSettings::textualSwitchValues_data()
{
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("0") << QByteArray("0") << false;
    QTest::newRow("1") << QByteArray("1") << true;
    QTest::newRow("false") << QByteArray("false") << false;
    QTest::newRow("true") << QByteArray("true") << true;
}

void TestSettings::textualSwitchValues()
{
    QFETCH(QByteArray, stored);
    QFETCH(bool, enabled);
    const QString application = QStringLiteral("Text_") + QString::fromLatin1(stored);
    writeFile(application, "[Notification]\nEnabled=" + stored + "\n");
    QCOMPARE(readNotificationsEnabled(organisation, application), enabled);
}

void TestSettings::unreadableFileLeavesDefaultsInForce()
{
    // A folder where the file should be: it can be neither read nor written.
    const QString application = QStringLiteral("Blocked");
    QVERIFY(QDir().mkpath(fileOf(application)));

    writeDefaultSettings(organisation, application);

    QVERIFY(QFileInfo(fileOf(application)).isDir());
    QVERIFY(readNotificationsEnabled(organisation, application));
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
