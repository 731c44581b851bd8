#include "processrunner.h"
#include "settingswriter.h"
#include "testenvironment.h"

#include <QFile>
#include <QSettings>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/stat.h>

// The real daemon binary as a process: its settings file, its single-instance
// lock and its handling of signals. The lock file is in the test's own
// runtime folder.
class TestDaemonProcess : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void firstStartWritesDefaultsAndSecondInstanceIsRefused();
    void sigtermEndsThroughTheTeardownAndReleasesTheLock();
    void otherSignalsKillAndTheLockDiesWithTheProcess();
    void missingLockFolderIsALockFailure();

private:
    static QString postvane() { return TestEnvironment::binary(QStringLiteral("postvane")); }
    // Starts the daemon with its records on standard error and waits until
    // it handles SIGTERM: the switch is set right after the handler is.
    bool startReady(ProcessRunner &daemon, bool notifications = true);
    static QString errnoText(const char *what, int code)
    {
        return QStringLiteral("%1, %2 ('%3')")
            .arg(QLatin1String(what))
            .arg(code)
            .arg(QString::fromLocal8Bit(std::strerror(code)));
    }

    TestEnvironment env;
};

void TestDaemonProcess::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    ::umask(0); // what the daemon makes, or finds loose (the settings), is private all the same
}

bool TestDaemonProcess::startReady(ProcessRunner &daemon, bool notifications)
{
    return writeSettings(env.settingsFile(),
                         { { QStringLiteral("Syslog/Enabled"), 0 },
                           { QStringLiteral("StdStreamLog/Enabled"), 1 },
                           { QStringLiteral("Log categories/Notifications"), 1 },
                           { QStringLiteral("Notification/Enabled"), notifications ? 1 : 0 } })
        && daemon.start(postvane())
        && daemon.waitForLine(QStringLiteral("[Notifications] Postvane::enableNotifications( %1 )")
                                  .arg(QLatin1String(notifications ? "true" : "false")),
                              30000);
}

void TestDaemonProcess::firstStartWritesDefaultsAndSecondInstanceIsRefused()
{
    QFile::remove(env.settingsFile());
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
    const QStringList locked = lines.filter(QStringLiteral("Can not lock file, "));
    QCOMPARE(locked.size(), 1);
    QVERIFY2(locked.first().endsWith(errnoText("Can not lock file", EAGAIN))
                 || locked.first().endsWith(errnoText("Can not lock file", EACCES)),
             qPrintable(locked.first()));
    QVERIFY(lines.indexOf(locked.first()) < lines.indexOf(
                QRegularExpression(QStringLiteral(".*Pidfile already exists, terminating$"))));
    QCOMPARE(QSettings(env.settingsFile(), QSettings::IniFormat).allKeys().size(), 12);
    QVERIFY(first.terminate(30000));
    QCOMPARE(first.exitCode(), 0);
}

void TestDaemonProcess::sigtermEndsThroughTheTeardownAndReleasesTheLock()
{
    ProcessRunner daemon;
    QVERIFY(startReady(daemon, false));
    QVERIFY(
        daemon.waitForLine(QStringLiteral("[Notifications] Notifications are disabled"), 30000));
    QVERIFY(daemon.terminate(30000));
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
    for (const char *own : { "home/.config/Brenmor", "home/.qmf", "home/.local/share/postvane",
                             "runtime/postvane.lock" })
        QCOMPARE(TestEnvironment::openToOthers(env.path(own)), QStringList());
    const QStringList lines = daemon.lines();
    const int received = lines.indexOf(
        QRegularExpression(QStringLiteral(".*\\[Notifications\\] Unix signal 15 is received$")));
    QVERIFY2(received >= 0, qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY(
        lines.indexOf(QRegularExpression(QStringLiteral(".*\\[Notifications\\] Postvane dtor$")))
        > received);
    // The lock went with the teardown: a new instance starts.
    ProcessRunner next;
    QVERIFY(startReady(next));
    QVERIFY(next.terminate(30000));
    QCOMPARE(next.exitCode(), 0);
}

// Only SIGTERM is handled: another signal ends the daemon without its
// teardown, and the lock dies with the process.
void TestDaemonProcess::otherSignalsKillAndTheLockDiesWithTheProcess()
{
    ProcessRunner daemon;
    QVERIFY(startReady(daemon));
    QCOMPARE(::kill(pid_t(daemon.pid()), SIGHUP), 0);
    QVERIFY(daemon.waitForFinished(30000));
    QCOMPARE(daemon.exitStatus(), QProcess::CrashExit);
    QCOMPARE(daemon.linesContaining(QStringLiteral("Postvane dtor")), QStringList());
    ProcessRunner next;
    QVERIFY(startReady(next));
    QVERIFY(next.terminate(30000));
    QCOMPARE(next.exitCode(), 0);
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
    QVERIFY2(lines.filter(errnoText("Can not open lock file", ENOENT)).size() == 1,
             qPrintable(lines.join(QLatin1Char('\n'))));
    QCOMPARE(lines.filter(QStringLiteral("Pidfile already exists, terminating")).size(), 1);
}

QTEST_GUILESS_MAIN(TestDaemonProcess)
#include "tst_daemonprocess.moc"
