// The real daemon on a private session bus, with qmfctl changing a real mail
// store, a stand-in notification server and a stand-in e-mail application.

#include "standins.h"
#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopedPointer>
#include <QtTest>

#include <sys/resource.h>

namespace {

const QString iriBase = QStringLiteral("qmf://mail.brenmor.com");

} // namespace

class TestPostvaneEndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void newMailAndWhereActivationLeads();
    void readElsewhereRepublishesOrWithdraws();
    void dismissedThenNewMail();
    void signalsWithdrawWhatAnEarlierRunLeft_data();
    void signalsWithdrawWhatAnEarlierRunLeft();
    void storedSwitchOffWithdrawsWhatAnEarlierRunLeft();
    void serverRestartedWhileTheDaemonWasAway();
    void withoutTrackerNewMailIsStillNotified();
    void withoutSessionBusTheWiringIsEnforced();

private:
    void writeSettings(bool notificationsEnabled);
    // The notifications the daemon's state file lists as shown.
    QJsonArray shownByDaemon() const;
    bool startDaemon();
    bool stopDaemon();
    // Runs qmfctl and returns its standard output, trimmed; empty (with a
    // warning) when it fails.
    QString qmfctl(const QStringList &arguments);
    QString addAccount(const QString &name, QString *inbox);
    // Imports one message and returns its id.
    QString importMessage(const QString &folder, const QString &from, const QString &subject);
    // The server's id of the notification of the next Notify line that matches.
    uint expectNotify(const QString &pattern);

    TestEnvironment env;
    NotificationServerStandin server;
    TavikStandin tavik;
    QScopedPointer<StandinProcess> daemon;
    QString account;
    QString inbox;
    int messageCounter = 0;
};

void TestPostvaneEndToEnd::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    QVERIFY(server.start());
    QVERIFY(tavik.start());
    account = addAccount(QStringLiteral("Work"), &inbox);
    QVERIFY(!inbox.isEmpty());
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
    // Close whatever is still shown while the daemon hears of it, so that
    // each case starts from nothing.
    for (uint id : server.shown()) {
        server.expire(id);
    }
    if (daemon) {
        QTRY_VERIFY(shownByDaemon().isEmpty());
        QVERIFY(stopDaemon());
    }
}

QJsonArray TestPostvaneEndToEnd::shownByDaemon() const
{
    return notificationStateEntries(
        env.path(QStringLiteral("home/.local/state/postvane/notifications.json")));
}

void TestPostvaneEndToEnd::writeSettings(bool notificationsEnabled)
{
    QDir().mkpath(QFileInfo(env.settingsFile()).path());
    QFile file(env.settingsFile());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QByteArray("[Syslog]\nEnabled=0\n[FileLog]\nEnabled=0\n[StdStreamLog]\nEnabled=1\n"
                          "[Log%20categories]\nNotifications=1\nIndexer=0\nQueries=0\n"
                          "Scheduler=0\nWatcher=0\nTransfer=0\n[Notification]\nEnabled=")
               + (notificationsEnabled ? "1" : "0") + "\n");
}

bool TestPostvaneEndToEnd::startDaemon()
{
    daemon.reset(new StandinProcess);
    // The switch is set once the daemon object is wired up.
    return daemon->start(QStringLiteral("postvane"),
                         QStringLiteral("[Notifications] Postvane::enableNotifications("));
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

QString TestPostvaneEndToEnd::qmfctl(const QStringList &arguments)
{
    QProcess process;
    process.start(TestEnvironment::binary(QStringLiteral("qmfctl")), arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning() << "qmfctl" << arguments << "failed:" << process.readAllStandardError();
        return QString();
    }
    return QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QString TestPostvaneEndToEnd::addAccount(const QString &name, QString *folder)
{
    const QString id = qmfctl(
        { QStringLiteral("account"), QStringLiteral("add"), QStringLiteral("--name"), name });
    *folder = qmfctl({ QStringLiteral("folder"), QStringLiteral("add"), QStringLiteral("--account"),
                       id, QStringLiteral("--path"), QStringLiteral("INBOX"),
                       QStringLiteral("--standard"), QStringLiteral("inbox") });
    return id;
}

QString TestPostvaneEndToEnd::importMessage(const QString &folder, const QString &from,
                                            const QString &subject)
{
    const QString path = env.path(QStringLiteral("message-%1.eml").arg(++messageCounter));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return QString();
    }
    const QString text
        = QStringLiteral("From: %1\r\nTo: me@example.com\r\nSubject: %2\r\n"
                         "Date: %3\r\nMessage-ID: <m%4@example.com>\r\n\r\nBody\r\n")
              .arg(from, subject, QDateTime::currentDateTimeUtc().toString(Qt::RFC2822Date))
              .arg(messageCounter);
    file.write(text.toUtf8());
    file.close();
    if (qmfctl({ QStringLiteral("import"), QStringLiteral("--folder"), folder, path })
        != QLatin1String("1")) {
        return QString();
    }
    const QStringList rows = qmfctl({ QStringLiteral("list"), QStringLiteral("messages"),
                                      QStringLiteral("--folder"), folder })
                                 .split(QLatin1Char('\n'));
    for (const QString &row : rows) {
        const QStringList columns = row.split(QLatin1Char('\t'));
        if (columns.size() >= 6 && columns.at(5) == subject) {
            return columns.at(0);
        }
    }
    return QString();
}

uint TestPostvaneEndToEnd::expectNotify(const QString &pattern)
{
    return NotificationServerStandin::idIn(
        server.waitForNewLine(QRegularExpression(QStringLiteral("^Notify ") + pattern)));
}

void TestPostvaneEndToEnd::newMailAndWhereActivationLeads()
{
    // One unread message in the inbox: its sender and subject, and its IRI.
    const QString first = importMessage(inbox, QStringLiteral("Ann Smith <ann@example.com>"),
                                        QStringLiteral("Hello"));
    QVERIFY(!first.isEmpty());
    const uint id
        = expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Ann Smith\" body=\"Hello\""));
    QVERIFY(id != 0);
    QCOMPARE(server.lastNotify().value(QStringLiteral("app_name")).toString(),
             QStringLiteral("E-mail"));

    // A second one in the same folder: the summary, and the folder's IRI.
    QVERIFY(!importMessage(inbox, QStringLiteral("Bob <bob@example.com>"), QStringLiteral("Hi"))
                 .isEmpty());
    QCOMPARE(
        expectNotify(
            QStringLiteral("id=%1 replaces=%1 summary=\"Ann Smith, Bob\" body=\"2 new messages\"")
                .arg(id)),
        id);
    QVERIFY(server.activate(id));
    QCOMPARE(tavik.waitForNewLine(QStringLiteral("launch(")),
             QStringLiteral("launch([\"%1/folder#%2\"])").arg(iriBase, inbox));

    // The activated notification is gone; new mail in two folders of the account.
    const QString lists = qmfctl({ QStringLiteral("folder"), QStringLiteral("add"),
                                   QStringLiteral("--account"), account, QStringLiteral("--path"),
                                   QStringLiteral("Lists"), QStringLiteral("--favourite") });
    QVERIFY(!lists.isEmpty());
    QVERIFY(!importMessage(inbox, QStringLiteral("Cy <cy@example.com>"), QStringLiteral("Inbox"))
                 .isEmpty());
    const uint second
        = expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Cy\" body=\"Inbox\""));
    QVERIFY(second != 0);
    QVERIFY(!importMessage(lists, QStringLiteral("Dee <dee@example.com>"), QStringLiteral("Lists"))
                 .isEmpty());
    QCOMPARE(
        expectNotify(QStringLiteral("id=%1 replaces=%1 summary=\"Cy, Dee\" body=\"2 new messages\"")
                         .arg(second)),
        second);
    QVERIFY(server.activate(second));
    QCOMPARE(tavik.waitForNewLine(QStringLiteral("launch(")),
             QStringLiteral("launch([\"%1/account#%2\"])").arg(iriBase, account));

    // Two accounts: the e-mail application is launched without argument.
    QString otherInbox;
    const QString other = addAccount(QStringLiteral("Home"), &otherInbox);
    QVERIFY(!importMessage(inbox, QStringLiteral("Eve <eve@example.com>"), QStringLiteral("Mine"))
                 .isEmpty());
    const uint third = expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Eve\""));
    QVERIFY(!importMessage(otherInbox, QStringLiteral("Fay <fay@example.com>"),
                           QStringLiteral("Theirs"))
                 .isEmpty());
    QCOMPARE(expectNotify(QStringLiteral("id=%1 replaces=%1 summary=\"Eve, Fay\"").arg(third)),
             third);

    // A deleted account takes its mail off.
    QVERIFY(qmfctl({ QStringLiteral("account"), QStringLiteral("remove"), other }).isEmpty());
    QCOMPARE(
        expectNotify(QStringLiteral("id=%1 replaces=%1 summary=\"Eve\" body=\"Mine\"").arg(third)),
        third);
    QVERIFY(server.activate(third));
    QVERIFY(tavik.waitForNewLine(QStringLiteral("launch("))
                .startsWith(QStringLiteral("launch([\"%1/email#").arg(iriBase)));
}

void TestPostvaneEndToEnd::readElsewhereRepublishesOrWithdraws()
{
    const QString first
        = importMessage(inbox, QStringLiteral("Gil <gil@example.com>"), QStringLiteral("One"));
    const uint id = expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Gil\" body=\"One\""));
    QVERIFY(id != 0);
    const QString second
        = importMessage(inbox, QStringLiteral("Hal <hal@example.com>"), QStringLiteral("Two"));
    QCOMPARE(expectNotify(QStringLiteral("id=%1 replaces=%1 summary=\"Gil, Hal\"").arg(id)), id);

    QVERIFY(
        qmfctl({ QStringLiteral("mark"), QStringLiteral("--read-elsewhere"), first }).isEmpty());
    QCOMPARE(expectNotify(QStringLiteral("id=%1 replaces=%1 summary=\"Hal\" body=\"Two\"").arg(id)),
             id);
    QVERIFY(
        qmfctl({ QStringLiteral("mark"), QStringLiteral("--read-elsewhere"), second }).isEmpty());
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(id)).isEmpty());
    QCOMPARE(server.shown(), QList<uint>());
}

void TestPostvaneEndToEnd::dismissedThenNewMail()
{
    importMessage(inbox, QStringLiteral("Ivy <ivy@example.com>"), QStringLiteral("Old one"));
    const uint id = expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Ivy\""));
    importMessage(inbox, QStringLiteral("Ivy <ivy@example.com>"), QStringLiteral("Old two"));
    QCOMPARE(
        expectNotify(
            QStringLiteral("id=%1 replaces=%1 summary=\"Ivy\" body=\"2 new messages\"").arg(id)),
        id);
    QVERIFY(server.dismiss(id));

    const QString fresh
        = importMessage(inbox, QStringLiteral("Jo <jo@example.com>"), QStringLiteral("Fresh"));
    const uint next
        = expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Jo\" body=\"Fresh\""));
    QVERIFY(next != 0 && next != id);
    QCOMPARE(server.lastNotify().value(QStringLiteral("summary")).toString(), QStringLiteral("Jo"));
    QVERIFY(server.activate(next));
    QCOMPARE(tavik.waitForNewLine(QStringLiteral("launch(")),
             QStringLiteral("launch([\"%1/email#%2\"])").arg(iriBase, fresh));
}

void TestPostvaneEndToEnd::signalsWithdrawWhatAnEarlierRunLeft_data()
{
    QTest::addColumn<QString>("signal");
    QTest::addColumn<QString>("back");
    QTest::newRow("displayEntered") << "displayEntered"
                                    << "displayFinished";
    QTest::newRow("notificationsDisabled") << "notificationsDisabled"
                                           << "notificationsEnabled";
}

void TestPostvaneEndToEnd::signalsWithdrawWhatAnEarlierRunLeft()
{
    QFETCH(QString, signal);
    QFETCH(QString, back);
    importMessage(inbox, QStringLiteral("Kim <kim@example.com>"), QStringLiteral("Left over"));
    const uint id = expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Kim\""));
    QVERIFY(id != 0);
    QTRY_COMPARE(shownByDaemon().size(), 1);
    QVERIFY(stopDaemon());
    QVERIFY(startDaemon());
    QCOMPARE(server.shown(), QList<uint> { id });

    QVERIFY(tavik.emitSignal(signal));
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(id)).isEmpty());
    QVERIFY(!daemon->waitForNewLine(QStringLiteral("Notifications are disabled")).isEmpty());
    QCOMPARE(server.shown(), QList<uint>());

    // Mail that comes meanwhile is never announced, not even afterwards.
    importMessage(inbox, QStringLiteral("Lu <lu@example.com>"), QStringLiteral("Unseen"));
    QVERIFY(tavik.emitSignal(back));
    QVERIFY(!daemon->waitForNewLine(QStringLiteral("Notifications are enabled")).isEmpty());
    importMessage(inbox, QStringLiteral("Max <max@example.com>"), QStringLiteral("Seen"));
    expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Max\" body=\"Seen\""));
    QVERIFY(server.unseenLines().filter(QStringLiteral("Unseen")).isEmpty());
}

void TestPostvaneEndToEnd::storedSwitchOffWithdrawsWhatAnEarlierRunLeft()
{
    importMessage(inbox, QStringLiteral("Ned <ned@example.com>"), QStringLiteral("Before"));
    const uint id = expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Ned\""));
    QVERIFY(id != 0);
    QTRY_COMPARE(shownByDaemon().size(), 1);
    QVERIFY(stopDaemon());

    writeSettings(false);
    QVERIFY(startDaemon());
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(id)).isEmpty());
    QVERIFY(!daemon->waitForNewLine(QStringLiteral("Notifications are disabled")).isEmpty());
    QCOMPARE(server.shown(), QList<uint>());

    importMessage(inbox, QStringLiteral("Oz <oz@example.com>"), QStringLiteral("Muted"));
    QVERIFY(tavik.emitSignal(QStringLiteral("notificationsEnabled")));
    QVERIFY(!daemon->waitForNewLine(QStringLiteral("Notifications are enabled")).isEmpty());
    importMessage(inbox, QStringLiteral("Pat <pat@example.com>"), QStringLiteral("Heard"));
    expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Pat\" body=\"Heard\""));
    QVERIFY(server.unseenLines().filter(QStringLiteral("Muted")).isEmpty());
}

void TestPostvaneEndToEnd::serverRestartedWhileTheDaemonWasAway()
{
    importMessage(inbox, QStringLiteral("Rex <rex@example.com>"), QStringLiteral("Before"));
    QVERIFY(expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Rex\"")) != 0);
    QTRY_COMPARE(shownByDaemon().size(), 1);
    QVERIFY(stopDaemon());
    QVERIFY(server.stop());
    QVERIFY(server.start());
    QVERIFY(startDaemon());

    // The new server numbers its notifications afresh: the ids the daemon
    // kept from the old one must neither close nor replace anything there.
    QVERIFY(tavik.emitSignal(QStringLiteral("notificationsDisabled")));
    QVERIFY(!daemon->waitForNewLine(QStringLiteral("Notifications are disabled")).isEmpty());
    QVERIFY(tavik.emitSignal(QStringLiteral("notificationsEnabled")));
    QVERIFY(!daemon->waitForNewLine(QStringLiteral("Notifications are enabled")).isEmpty());
    importMessage(inbox, QStringLiteral("Sue <sue@example.com>"), QStringLiteral("After"));
    QVERIFY(expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Sue\" body=\"After\"")) != 0);
    QCOMPARE(server.closeCalls(), 0u);
}

void TestPostvaneEndToEnd::withoutTrackerNewMailIsStillNotified()
{
    QVERIFY(stopDaemon());
    // A data folder below a plain file: the mirror gets no database.
    QFile blocker(env.path(QStringLiteral("not-a-folder")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"),
                       blocker.fileName() + QStringLiteral("/data"));
    daemon.reset(new StandinProcess);
    daemon->runner().process().setProcessEnvironment(environment);
    QVERIFY(daemon->start(QStringLiteral("postvane"),
                          QStringLiteral("[Notifications] Postvane::enableNotifications(")));
    QCOMPARE(daemon->runner()
                 .linesContaining(QStringLiteral("Unable to establish SPARQL connection"))
                 .size(),
             1);

    QVERIFY(!importMessage(inbox, QStringLiteral("Quin <quin@example.com>"),
                           QStringLiteral("No mirror"))
                 .isEmpty());
    QVERIFY(expectNotify(QStringLiteral("id=\\d+ replaces=0 summary=\"Quin\" body=\"No mirror\""))
            != 0);
}

void TestPostvaneEndToEnd::withoutSessionBusTheWiringIsEnforced()
{
    QVERIFY(stopDaemon());
    // No core file from the deliberate abort.
    struct rlimit noCore = { 0, 0 };
    QCOMPARE(::setrlimit(RLIMIT_CORE, &noCore), 0);

    StandinProcess lonely;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                       QStringLiteral("unix:path=") + env.path(QStringLiteral("no-bus-here")));
    lonely.runner().process().setProcessEnvironment(environment);
    QVERIFY(lonely.runner().start(TestEnvironment::binary(QStringLiteral("postvane"))));
    QVERIFY(!lonely
                 .waitForNewLine(QStringLiteral(
                     "ENFORCE failed: \"QDBusConnection::sessionBus().connect(QString(), "
                     "\"/com/brenmor/tavik\", \"com.brenmor.tavik\", \"displayEntered\", this, "
                     "SLOT(handleDisplayEntered()))\""))
                 .isEmpty());
    QVERIFY(lonely.runner().waitForFinished());
    QCOMPARE(lonely.runner().exitStatus(), QProcess::CrashExit);
    // The store was wired before the bus: those connections held.
    QVERIFY(lonely.runner().linesContaining(QStringLiteral("ENFORCE failed")).size() == 1);
}

QTEST_GUILESS_MAIN(TestPostvaneEndToEnd)
#include "tst_postvane_e2e.moc"
