#include "settings.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QtTest>

namespace {

const QByteArray defaults = "[FileLog]\nEnabled=0\nPath=/home/user/.postvane.log\n\n"
                            "[Log%20categories]\nHeartbeat=0\nIndexer=0\nNotifications=1\n"
                            "Queries=0\nScheduler=1\nTransfer=0\nWatcher=0\n\n"
                            "[Notification]\nEnabled=%1\n\n[StdStreamLog]\nEnabled=0\n\n"
                            "[Syslog]\nEnabled=0\n";

} // namespace

// The settings file before and after the daemon's start. Each row uses an
// application name of its own: QSettings caches files per process.
class TestSettings : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void startWithFile_data();
    void startWithFile();

private:
    QString fileOf(const QString &application) const
    {
        return env.path(QStringLiteral("home/.config/Brenmor/%1.conf").arg(application));
    }

    TestEnvironment env;
    const QString organisation = QStringLiteral("Brenmor");
};

void TestSettings::startWithFile_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QByteArray>("after");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("first start") << QByteArray() << QByteArray(defaults).replace("%1", "1") << true;
    // Logging settings the user wrote are kept as they stand...
    const QByteArray configured = "[Syslog]\nEnabled=1\n\n[StdStreamLog]\nEnabled=1\n";
    QTest::newRow("configured") << configured << configured << true;
    // ...unless the syslog switch is missing; the notification switch stays.
    QTest::newRow("switched off") << QByteArray("[StdStreamLog]\nEnabled=1\n\n"
                                                "[Notification]\nEnabled=false\n")
                                  << QByteArray(defaults).replace("%1", "false") << false;
    // A folder where the file belongs: neither read nor written, defaults hold.
    QTest::newRow("unreadable") << QByteArray() << QByteArray() << true;
    for (const char *value : { "0", "1", "false", "true" }) {
        const QByteArray content = "[Notification]\nEnabled=" + QByteArray(value)
            + "\n"
              "\n[Syslog]\nEnabled=0\n";
        QTest::addRow("switch %s", value)
            << content << content << (value[0] == '1' || value[0] == 't');
    }
}

void TestSettings::startWithFile()
{
    QFETCH(QByteArray, before);
    QFETCH(QByteArray, after);
    QFETCH(bool, enabled);
    const QString application
        = QString::fromLatin1(QTest::currentDataTag()).remove(QLatin1Char(' '));
    if (after.isNull()) {
        QVERIFY(QDir().mkpath(fileOf(application)));
    } else if (!before.isNull()) {
        QDir().mkpath(QFileInfo(fileOf(application)).path());
        QFile file(fileOf(application));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(before);
    }
    writeDefaultSettings(organisation, application);
    QFile file(fileOf(application));
    QCOMPARE(file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray(), after);
    QCOMPARE(readNotificationsEnabled(organisation, application), enabled);
}

QTEST_GUILESS_MAIN(TestSettings)
#include "tst_settings.moc"
