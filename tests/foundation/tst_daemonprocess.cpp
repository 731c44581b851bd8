#include "processrunner.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The process that holds the daemon's lock, or 0.
qint64 lockHolder()
{
    const QByteArray path = qgetenv("XDG_RUNTIME_DIR") + "/postvane.lock";
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return 0;
    }
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    const bool asked = ::fcntl(fd, F_GETLK, &lock) == 0;
    ::close(fd);
    return asked && lock.l_type != F_UNLCK ? qint64(lock.l_pid) : 0;
}

// Index of the first line that ends with the text, or -1.
int indexOfLineEndingWith(const QStringList &lines, const QString &text)
{
    for (int i = 0; i < lines.size(); ++i) {
        if (lines.at(i).endsWith(text)) {
            return i;
        }
    }
    return -1;
}

} // namespace

// The real daemon binary as a process: its settings file, its single-instance
// lock and its handling of SIGTERM. Runs in a private mount namespace, so the
// lock file is this test's own.
class TestDaemonProcess : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void firstStartWritesDefaultsAndSecondInstanceIsRefused();
    void sigtermEndsThroughTheTeardown();
    void categorySwitches_data();
    void categorySwitches();
    void storedSwitchStartsWithNotificationsOff();
    void lockDiesWithACrashedInstance();
    void otherSignalsKeepTheirDefaultAction();
    void missingLockFolderIsALockFailure();

private:
    void writeSettings(const QByteArray &categories, bool notificationsEnabled = true);
    QString postvane() const { return TestEnvironment::binary(QStringLiteral("postvane")); }
    // The switch is set right after the daemon object has installed its
    // SIGTERM handler, so from this record on SIGTERM is handled.
    bool waitUntilReady(ProcessRunner &daemon)
    {
        return daemon.waitForLine(QStringLiteral("[Notifications] Postvane::enableNotifications("),
                                  30000);
    }

    TestEnvironment env;
};

void TestDaemonProcess::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    qputenv("MAIL_BOOT_NO_WAIT", "1");
}

void TestDaemonProcess::init()
{
    QFile::remove(env.settingsFile());
}

void TestDaemonProcess::writeSettings(const QByteArray &categories, bool notificationsEnabled)
{
    QDir().mkpath(QFileInfo(env.settingsFile()).path());
    QFile file(env.settingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[Syslog]\nEnabled=0\n[FileLog]\nEnabled=0\n[StdStreamLog]\nEnabled=1\n"
               "[Log%20categories]\n"
               + categories + "\n[Notification]\nEnabled=" + (notificationsEnabled ? "1" : "0")
               + "\n");
}

void TestDaemonProcess::firstStartWritesDefaultsAndSecondInstanceIsRefused()
{
    ProcessRunner first;
    QVERIFY(first.start(postvane()));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(env.settingsFile()), 30000);

    // The file is complete once the daemon holds the lock; a second instance
    // proves that, and must be refused without disturbing the first.
    ProcessRunner second;
    QVERIFY(second.start(postvane()));
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 255);
    const QStringList lines = second.lines();
    const QStringList lockLines = lines.filter(QStringLiteral("Can not lock file, "));
    QCOMPARE(lockLines.size(), 1);
    const QString expectedEagain = QStringLiteral("Can not lock file, %1 ('%2')")
                                       .arg(EAGAIN)
                                       .arg(QString::fromLocal8Bit(std::strerror(EAGAIN)));
    const QString expectedEacces = QStringLiteral("Can not lock file, %1 ('%2')")
                                       .arg(EACCES)
                                       .arg(QString::fromLocal8Bit(std::strerror(EACCES)));
    QVERIFY2(lockLines.first().endsWith(expectedEagain)
                 || lockLines.first().endsWith(expectedEacces),
             qPrintable(lockLines.first()));
    const int lockAt = lines.indexOf(lockLines.first());
    QVERIFY(indexOfLineEndingWith(lines, QStringLiteral("Pidfile already exists, terminating"))
            > lockAt);
    QCOMPARE(first.process().state(), QProcess::Running);

    QSettings settings(env.settingsFile(), QSettings::IniFormat);
    QCOMPARE(settings.allKeys().size(), 12);
    QCOMPARE(settings.value(QStringLiteral("Notification/Enabled")).toInt(), 1);
    QCOMPARE(settings.value(QStringLiteral("Log categories/Scheduler")).toInt(), 1);

    QVERIFY(first.terminate(30000));
    QCOMPARE(first.exitStatus(), QProcess::NormalExit);
    QCOMPARE(first.exitCode(), 0);
}

void TestDaemonProcess::sigtermEndsThroughTheTeardown()
{
    writeSettings("Notifications=1");
    ProcessRunner daemon;
    QVERIFY(daemon.start(postvane()));
    QVERIFY(
        daemon.waitForLine(QStringLiteral("[Notifications] Postvane has been started."), 30000));
    QVERIFY(waitUntilReady(daemon));

    QVERIFY(daemon.terminate(30000));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
    const QStringList lines = daemon.lines();
    const int received = indexOfLineEndingWith(
        lines, QStringLiteral("[Notifications] Unix signal 15 is received"));
    QVERIFY2(received >= 0, qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(indexOfLineEndingWith(lines, QStringLiteral("[Notifications] Postvane dtor"))
            > received);

    // The lock went with the daemon's teardown: a new instance starts.
    ProcessRunner next;
    QVERIFY(next.start(postvane()));
    QVERIFY(waitUntilReady(next));
    QVERIFY(next.terminate(30000));
    QCOMPARE(next.exitCode(), 0);
}

void TestDaemonProcess::categorySwitches_data()
{
    QTest::addColumn<QByteArray>("categories");
    QTest::addColumn<bool>("recorded");
    QTest::newRow("switched on") << QByteArray("Notifications=1") << true;
    QTest::newRow("switched off") << QByteArray("Notifications=0") << false;
    QTest::newRow("not mentioned") << QByteArray("Scheduler=0") << true;
}

void TestDaemonProcess::categorySwitches()
{
    QFETCH(QByteArray, categories);
    QFETCH(bool, recorded);
    writeSettings(categories);

    ProcessRunner daemon;
    QVERIFY(daemon.start(postvane()));
    // With its records switched off the daemon shows nothing to wait for; the
    // SIGTERM handler follows the lock within microseconds.
    QTRY_COMPARE_WITH_TIMEOUT(lockHolder(), daemon.pid(), 30000);
    QTest::qWait(200);
    QVERIFY(daemon.terminate(30000));
    QCOMPARE(daemon.exitCode(), 0);
    const QStringList records = daemon.linesContaining(QStringLiteral("[Notifications]"));
    if (recorded) {
        QVERIFY(records.filter(QStringLiteral("Postvane has been started.")).size() == 1);
        QVERIFY(records.filter(QStringLiteral("Postvane dtor")).size() == 1);
    } else {
        QCOMPARE(records, QStringList());
    }
}

void TestDaemonProcess::storedSwitchStartsWithNotificationsOff()
{
    writeSettings("Notifications=1", false);
    ProcessRunner daemon;
    QVERIFY(daemon.start(postvane()));
    QVERIFY(daemon.waitForLine(
        QStringLiteral("[Notifications] Postvane::enableNotifications( false )"), 30000));
    QVERIFY(
        daemon.waitForLine(QStringLiteral("[Notifications] Notifications are disabled"), 30000));
    QVERIFY(daemon.terminate(30000));
}

void TestDaemonProcess::lockDiesWithACrashedInstance()
{
    writeSettings("Notifications=1");
    ProcessRunner crashing;
    QVERIFY(crashing.start(postvane()));
    QVERIFY(waitUntilReady(crashing));
    crashing.process().kill();
    QVERIFY(crashing.waitForFinished(30000));

    ProcessRunner next;
    QVERIFY(next.start(postvane()));
    QVERIFY(waitUntilReady(next));
    QTest::qWait(500);
    QCOMPARE(next.process().state(), QProcess::Running);
    QVERIFY(next.terminate(30000));
    QCOMPARE(next.exitCode(), 0);
}

void TestDaemonProcess::otherSignalsKeepTheirDefaultAction()
{
    writeSettings("Notifications=1");
    ProcessRunner daemon;
    QVERIFY(daemon.start(postvane()));
    QVERIFY(waitUntilReady(daemon));
    QCOMPARE(::kill(pid_t(daemon.pid()), SIGHUP), 0);
    QVERIFY(daemon.waitForFinished(30000));
    QCOMPARE(daemon.exitStatus(), QProcess::CrashExit);
    QCOMPARE(daemon.linesContaining(QStringLiteral("Postvane dtor")), QStringList());
}

void TestDaemonProcess::missingLockFolderIsALockFailure()
{
    // Outside a user session an empty /run hides the lock folder, as on a
    // system without /var/lock.
    ProcessRunner daemon;
    QVERIFY(daemon.start(
        QStringLiteral("unshare"),
        { QStringLiteral("--mount"), QStringLiteral("sh"), QStringLiteral("-c"),
          QStringLiteral("unset XDG_RUNTIME_DIR; mount -t tmpfs none /run && exec \"$0\""),
          postvane() }));
    QVERIFY(daemon.waitForFinished(30000));
    QCOMPARE(daemon.exitCode(), 255);
    const QStringList lines = daemon.lines();
    const QString expected = QStringLiteral("Can not open lock file, %1 ('%2')")
                                 .arg(ENOENT)
                                 .arg(QString::fromLocal8Bit(std::strerror(ENOENT)));
    QVERIFY2(lines.filter(expected).size() == 1, qPrintable(lines.join(QLatin1Char('\n'))));
    QCOMPARE(lines.filter(QStringLiteral("Pidfile already exists, terminating")).size(), 1);
}

QTEST_GUILESS_MAIN(TestDaemonProcess)
#include "tst_daemonprocess.moc"
