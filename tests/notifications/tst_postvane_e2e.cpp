// The real daemon on a private session bus, with the stand-in notification
// server and e-mail application; the test changes the shared mail store.

#include "mnotificationstatefile.h"
#include "settingswriter.h"
#include "standins.h"
#include "storefixture.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <QtTest>

#include <sys/resource.h>

using namespace StoreFixture;

class TestPostvaneEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init() { QVERIFY(startDaemon()); }
    void cleanup();

    void newMailWithASlowServer();
    void switchesWithdrawWhatAnEarlierRunLeft_data();
    void switchesWithdrawWhatAnEarlierRunLeft();
    void withoutSessionBusTheWiringIsEnforced();

private:
    // The notifications that the daemon's state file lists as shown.
    int shownByDaemon() const { return MNotificationStateFile(stateFile).read().records.size(); }
    // Ready when the switch is set: the daemon object is wired up.
    bool startDaemon(bool notificationsEnabled = true, const QString &variable = QString(),
                     const QString &value = QString(),
                     const QString &readyLine = QStringLiteral("Postvane::enableNotifications("));
    bool stopDaemon()
    {
        if (daemon.stop() && daemon.runner().exitStatus() == QProcess::NormalExit
            && daemon.runner().exitCode() == 0) {
            return true;
        }
        qWarning().noquote() << "The daemon did not end cleanly:" << daemon.runner().exitStatus()
                             << daemon.runner().exitCode() << daemon.runner().lines().join('\n');
        return false;
    }

    TestEnvironment env;
    NotificationServerStandin server;
    TavikStandin tavik;
    StandinProcess daemon;
    QMailFolderId inbox;
    QString stateFile;
};

void TestPostvaneEndToEnd::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    QVERIFY(server.start());
    QVERIFY(tavik.start());
    QVERIFY(addAccount(QStringLiteral("Work"), &inbox).isValid());
    stateFile = env.path(QStringLiteral("home/.local/state/postvane/notifications.json"));
}

void TestPostvaneEndToEnd::cleanup()
{
    // Once the daemon knows every id the server gave it, close whatever is
    // still shown while the daemon hears of it: each case starts from nothing.
    server.holdReplies(false);
    if (daemon.runner().process().state() == QProcess::Running) {
        QVERIFY(waitUntil([this] { return shownByDaemon() == server.shown().size(); }));
        for (uint id : server.shown()) {
            server.expire(id);
        }
        QVERIFY(waitUntil([this] { return shownByDaemon() == 0; }));
        QVERIFY(stopDaemon());
    }
    server.markSeen();
    tavik.markSeen();
}

bool TestPostvaneEndToEnd::startDaemon(bool notificationsEnabled, const QString &variable,
                                       const QString &value, const QString &readyLine)
{
    writeSettings(env.settingsFile(),
                  { { QStringLiteral("Syslog/Enabled"), 0 },
                    { QStringLiteral("FileLog/Enabled"), 0 },
                    { QStringLiteral("StdStreamLog/Enabled"), 1 },
                    { QStringLiteral("Log categories/Notifications"), 1 },
                    { QStringLiteral("Notification/Enabled"), notificationsEnabled } });
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!variable.isEmpty()) {
        environment.insert(variable, value);
    }
    daemon.runner().process().setProcessEnvironment(environment);
    return daemon.start(QStringLiteral("postvane"), readyLine);
}

void TestPostvaneEndToEnd::newMailWithASlowServer()
{
    server.holdReplies(true);
    addMessage(inbox, "Cy <cy@example.com>", "Early");
    const uint id = server.waitForNotify("replaces=0 summary=\"Cy\".*held");
    QVERIFY(id != 0);

    // While that Notify is unanswered the daemon still takes in new mail:
    // its record of the folder's argument comes from the refresh for it.
    daemon.markSeen();
    addMessage(inbox, "Dee <dee@example.com>", "Meanwhile");
    QVERIFY(!daemon.waitForNewLine(QRegularExpression("d-bus argument is.*folder#")).isEmpty());
    QCOMPARE(shownByDaemon(), 0);

    // The late answer gives the id that the update then replaces; nothing
    // else was sent to the server in between.
    server.holdReplies(false);
    QCOMPARE(server.waitForNotify(
                 QStringLiteral("replaces=%1 summary=\"Cy, Dee\" body=\"2 new messages\"").arg(id)),
             id);
    QVERIFY(waitUntil([this] { return shownByDaemon() == 1; }));
    QVERIFY(server.activate(id));
    QCOMPARE(
        tavik.waitForLaunch(),
        QStringLiteral("launch([\"qmf://mail.brenmor.com/folder#%1\"])").arg(inbox.toULongLong()));
}

void TestPostvaneEndToEnd::switchesWithdrawWhatAnEarlierRunLeft_data()
{
    QTest::addColumn<QString>("off"); // a signal, or "settings" for the stored switch
    QTest::addColumn<QString>("back");
    QTest::addColumn<bool>("serverRestarted"); // while the daemon was away
    QTest::newRow("displayEntered") << "displayEntered"
                                    << "displayFinished" << false;
    QTest::newRow("notificationsDisabled") << "notificationsDisabled"
                                           << "notificationsEnabled" << false;
    QTest::newRow("stored switch") << "settings"
                                   << "notificationsEnabled" << false;
    // The new server numbers its notifications afresh: the ids the daemon
    // kept from the old one must neither close nor replace anything there.
    QTest::newRow("server restarted") << "notificationsDisabled"
                                      << "notificationsEnabled" << true;
}

void TestPostvaneEndToEnd::switchesWithdrawWhatAnEarlierRunLeft()
{
    QFETCH(QString, off);
    QFETCH(QString, back);
    QFETCH(bool, serverRestarted);
    addMessage(inbox, "Kim <kim@example.com>", "Left over");
    const uint id = server.waitForNotify("replaces=0 summary=\"Kim\"");
    QVERIFY(waitUntil([this] { return shownByDaemon() == 1; }));
    QVERIFY(stopDaemon());
    QVERIFY(!serverRestarted || (server.stop() && server.start()));
    const bool bySignal = off != QLatin1String("settings");
    QVERIFY(startDaemon(bySignal));
    QVERIFY(!bySignal || TavikStandin::emitSignal(off));
    QVERIFY(!daemon.waitForNewLine("Notifications are disabled").isEmpty());
    if (!serverRestarted) {
        QVERIFY(server.waitForClose(id));
    }
    QCOMPARE(server.shown(), QList<uint>());

    // Mail that comes meanwhile is never announced, not even afterwards: the
    // next Notify is for later mail.
    addMessage(inbox, "Lu <lu@example.com>", "Unseen");
    // The store's news and the switch come by different roads; the mirror
    // hears of a new message just before the notification does.
    QVERIFY(!daemon.waitForNewLine("TrackerIndexer::addMessages").isEmpty());
    QVERIFY(TavikStandin::emitSignal(back));
    QVERIFY(!daemon.waitForNewLine("Notifications are enabled").isEmpty());
    addMessage(inbox, "Max <max@example.com>", "Seen");
    QVERIFY(server.waitForNotify("replaces=0 summary=\"Max\"") != 0);
    QCOMPARE(server.closeCalls() == 0, serverRestarted);
}

void TestPostvaneEndToEnd::withoutSessionBusTheWiringIsEnforced()
{
    QVERIFY(stopDaemon());
    struct rlimit noCore = { 0, 0 }; // no core file from the deliberate abort
    QCOMPARE(::setrlimit(RLIMIT_CORE, &noCore), 0);
    QVERIFY(startDaemon(
        true, QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
        QStringLiteral("unix:path=") + env.path(QStringLiteral("no-bus")),
        QStringLiteral("ENFORCE failed: \"QDBusConnection::sessionBus().connect(QString(), "
                       "\"/com/brenmor/tavik\", \"com.brenmor.tavik\", \"displayEntered\", this, "
                       "SLOT(handleDisplayEntered()))\"")));
    QVERIFY(daemon.runner().waitForFinished());
    QCOMPARE(daemon.runner().exitStatus(), QProcess::CrashExit);
    // The store was wired before the bus: those connections held.
    QCOMPARE(daemon.runner().linesContaining(QStringLiteral("ENFORCE failed")).size(), 1);
}

QTEST_GUILESS_MAIN(TestPostvaneEndToEnd)
#include "tst_postvane_e2e.moc"
