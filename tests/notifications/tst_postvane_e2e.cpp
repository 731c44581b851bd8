// The real daemon on a private session bus, with the stand-in notification
// server and e-mail application; the test changes the shared mail store.

#include "settingswriter.h"
#include "standins.h"
#include "storefixture.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <QtTest>

#include <sys/resource.h>

using namespace StoreFixture;

namespace {

const QString iriBase = QStringLiteral("qmf://mail.brenmor.com");
const QString daemonReady = QStringLiteral("[Notifications] Postvane::enableNotifications(");

} // namespace

class TestPostvaneEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void newMailWithASlowServer();
    void switchesWithdrawWhatAnEarlierRunLeft_data();
    void switchesWithdrawWhatAnEarlierRunLeft();
    void serverRestartedWhileTheDaemonWasAway();
    void withoutTrackerNewMailIsStillNotified();
    void withoutSessionBusTheWiringIsEnforced();

private:
    void writeSettings(bool notificationsEnabled);
    int shownByDaemon() const
    {
        return notificationStateEntries(
            env.path(QStringLiteral("home/.local/state/postvane/notifications.json")));
    }
    bool startDaemon(const QProcessEnvironment &environment = QProcessEnvironment());
    bool stopDaemon();
    void newMail(const QString &from, const QString &subject) { addMessage(inbox, from, subject); }

    TestEnvironment env;
    NotificationServerStandin server;
    TavikStandin tavik;
    QScopedPointer<StandinProcess> daemon;
    QMailAccountId account;
    QMailFolderId inbox;
};

void TestPostvaneEndToEnd::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    QVERIFY(server.start());
    QVERIFY(tavik.start());
    account = addAccount(QStringLiteral("Work"), &inbox);
    QVERIFY(account.isValid());
}

void TestPostvaneEndToEnd::init()
{
    writeSettings(true);
    QVERIFY(startDaemon());
    server.markSeen();
    tavik.markSeen();
}

void TestPostvaneEndToEnd::cleanup()
{
    server.holdReplies(false);
    // Close whatever is still shown while the daemon hears of it, so that
    // each case starts from nothing.
    for (uint id : server.shown()) {
        server.expire(id);
    }
    if (daemon) {
        QVERIFY(waitUntil([this] { return shownByDaemon() == 0; }));
        QVERIFY(stopDaemon());
    }
}

void TestPostvaneEndToEnd::writeSettings(bool notificationsEnabled)
{
    QVERIFY(::writeSettings(env.settingsFile(),
                            { { QStringLiteral("Syslog/Enabled"), 0 },
                              { QStringLiteral("FileLog/Enabled"), 0 },
                              { QStringLiteral("StdStreamLog/Enabled"), 1 },
                              { QStringLiteral("Log categories/Notifications"), 1 },
                              { QStringLiteral("Notification/Enabled"), notificationsEnabled } }));
}

bool TestPostvaneEndToEnd::startDaemon(const QProcessEnvironment &environment)
{
    daemon.reset(new StandinProcess);
    if (!environment.isEmpty()) {
        daemon->runner().process().setProcessEnvironment(environment);
    }
    // The switch is set once the daemon object is wired up.
    return daemon->start(QStringLiteral("postvane"), daemonReady);
}

bool TestPostvaneEndToEnd::stopDaemon()
{
    const bool stopped = daemon->stop() && daemon->runner().exitCode() == 0;
    if (!stopped) {
        qWarning() << "postvane output:" << daemon->runner().lines();
    }
    daemon.reset();
    return stopped;
}

void TestPostvaneEndToEnd::newMailWithASlowServer()
{
    server.holdReplies(true);
    newMail(QStringLiteral("Cy <cy@example.com>"), QStringLiteral("Early"));
    const uint id = server.waitForNotify(QStringLiteral("replaces=0 summary=\"Cy\".*held"));
    QVERIFY(id != 0);

    // While that Notify is unanswered the daemon still takes in new mail:
    // its record of the folder's argument comes from the refresh for it.
    daemon->markSeen();
    newMail(QStringLiteral("Dee <dee@example.com>"), QStringLiteral("Meanwhile"));
    QVERIFY(
        !daemon->waitForNewLine(QRegularExpression(QStringLiteral("d-bus argument is.*folder#")))
             .isEmpty());
    QCOMPARE(shownByDaemon(), 0);

    // The late answer gives the id that the update then replaces; nothing
    // else was sent to the server in between.
    server.holdReplies(false);
    QCOMPARE(server.waitForNotify(QStringLiteral("replaces=%1 summary=\"Cy, Dee\" "
                                                 "body=\"2 new messages\"")
                                      .arg(id)),
             id);
    QVERIFY(waitUntil([this] { return shownByDaemon() == 1; }));
    QVERIFY(server.activate(id));
    QCOMPARE(tavik.waitForLaunch(),
             QStringLiteral("launch([\"%1/folder#%2\"])").arg(iriBase).arg(inbox.toULongLong()));
}

void TestPostvaneEndToEnd::switchesWithdrawWhatAnEarlierRunLeft_data()
{
    QTest::addColumn<QString>("off"); // a signal, or "settings" for the stored switch
    QTest::addColumn<QString>("back");
    QTest::newRow("displayEntered") << "displayEntered"
                                    << "displayFinished";
    QTest::newRow("notificationsDisabled") << "notificationsDisabled"
                                           << "notificationsEnabled";
    QTest::newRow("stored switch") << "settings"
                                   << "notificationsEnabled";
}

void TestPostvaneEndToEnd::switchesWithdrawWhatAnEarlierRunLeft()
{
    QFETCH(QString, off);
    QFETCH(QString, back);
    newMail(QStringLiteral("Kim <kim@example.com>"), QStringLiteral("Left over"));
    const uint id = server.waitForNotify(QStringLiteral("replaces=0 summary=\"Kim\""));
    QVERIFY(id != 0);
    QVERIFY(waitUntil([this] { return shownByDaemon() == 1; }));
    QVERIFY(stopDaemon());
    writeSettings(off != QLatin1String("settings"));
    QVERIFY(startDaemon());
    if (off != QLatin1String("settings")) {
        QCOMPARE(server.shown(), QList<uint> { id });
        QVERIFY(TavikStandin::emitSignal(off));
    }
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(id)).isEmpty());
    QVERIFY(!daemon->waitForNewLine(QStringLiteral("Notifications are disabled")).isEmpty());
    QCOMPARE(server.shown(), QList<uint>());

    // Mail that comes meanwhile is never announced, not even afterwards.
    newMail(QStringLiteral("Lu <lu@example.com>"), QStringLiteral("Unseen"));
    QVERIFY(TavikStandin::emitSignal(back));
    QVERIFY(!daemon->waitForNewLine(QStringLiteral("Notifications are enabled")).isEmpty());
    newMail(QStringLiteral("Max <max@example.com>"), QStringLiteral("Seen"));
    // The next Notify is for that later mail.
    QVERIFY(server.waitForNotify(QStringLiteral("replaces=0 summary=\"Max\" body=\"Seen\"")) != 0);
}

void TestPostvaneEndToEnd::serverRestartedWhileTheDaemonWasAway()
{
    newMail(QStringLiteral("Rex <rex@example.com>"), QStringLiteral("Before"));
    QVERIFY(server.waitForNotify(QStringLiteral("replaces=0 summary=\"Rex\"")) != 0);
    QVERIFY(waitUntil([this] { return shownByDaemon() == 1; }));
    QVERIFY(stopDaemon());
    QVERIFY(server.stop());
    QVERIFY(server.start());
    QVERIFY(startDaemon());

    // The new server numbers its notifications afresh: the ids the daemon
    // kept from the old one must neither close nor replace anything there.
    QVERIFY(TavikStandin::emitSignal(QStringLiteral("notificationsDisabled")));
    QVERIFY(!daemon->waitForNewLine(QStringLiteral("Notifications are disabled")).isEmpty());
    QVERIFY(TavikStandin::emitSignal(QStringLiteral("notificationsEnabled")));
    QVERIFY(!daemon->waitForNewLine(QStringLiteral("Notifications are enabled")).isEmpty());
    newMail(QStringLiteral("Sue <sue@example.com>"), QStringLiteral("After"));
    QVERIFY(server.waitForNotify(QStringLiteral("replaces=0 summary=\"Sue\"")) != 0);
    QCOMPARE(server.closeCalls(), 0u);
}

void TestPostvaneEndToEnd::withoutTrackerNewMailIsStillNotified()
{
    QVERIFY(stopDaemon());
    // A data folder below a plain file: the mirror gets no database.
    QFile blocker(env.path(QStringLiteral("not-a-folder")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"),
                       blocker.fileName() + QStringLiteral("/data"));
    QVERIFY(startDaemon(environment));
    QCOMPARE(daemon->runner()
                 .linesContaining(QStringLiteral("Unable to establish SPARQL connection"))
                 .size(),
             1);
    newMail(QStringLiteral("Quin <quin@example.com>"), QStringLiteral("No mirror"));
    QVERIFY(server.waitForNotify(QStringLiteral("replaces=0 summary=\"Quin\"")) != 0);
}

void TestPostvaneEndToEnd::withoutSessionBusTheWiringIsEnforced()
{
    QVERIFY(stopDaemon());
    // No core file from the deliberate abort.
    struct rlimit noCore = { 0, 0 };
    QCOMPARE(::setrlimit(RLIMIT_CORE, &noCore), 0);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + env.path(QStringLiteral("no-bus-here")));
    StandinProcess lonely;
    lonely.runner().process().setProcessEnvironment(environment);
    QVERIFY(lonely.runner().start(TestEnvironment::binary(QStringLiteral("postvane"))));
    QVERIFY(lonely.runner().waitForLine(
        QStringLiteral("ENFORCE failed: \"QDBusConnection::sessionBus().connect(QString(), "
                       "\"/com/brenmor/tavik\", \"com.brenmor.tavik\", \"displayEntered\", this, "
                       "SLOT(handleDisplayEntered()))\"")));
    QVERIFY(lonely.runner().waitForFinished());
    QCOMPARE(lonely.runner().exitStatus(), QProcess::CrashExit);
    // The store was wired before the bus: those connections held.
    QCOMPARE(lonely.runner().linesContaining(QStringLiteral("ENFORCE failed")).size(), 1);
}

QTEST_GUILESS_MAIN(TestPostvaneEndToEnd)
#include "tst_postvane_e2e.moc"
