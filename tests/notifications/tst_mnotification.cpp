// The notification layer against the stand-in notification server and the
// stand-in e-mail application on a private session bus.

#include "mnotification.h"
#include "mnotificationstatefile.h"
#include "mremoteaction.h"
#include "standins.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <QtTest>

namespace {

MRemoteAction launchAction(const QList<QVariant> &arguments)
{
    return MRemoteAction(QStringLiteral("com.brenmor.tavik"), QStringLiteral("/org/velmar/m"),
                         QStringLiteral("com.brenmor.MApplicationIf"), QStringLiteral("launch"),
                         arguments);
}

int shownCount()
{
    const QList<MNotification *> list = MNotification::notifications();
    qDeleteAll(list);
    return list.size();
}

int stateEntries()
{
    return MNotificationStateFile().read().records.size();
}

} // namespace

class TestMNotification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void stateFile_data();
    void stateFile();
    void publishSendsNotifyWithHints();
    void lateAnswersAreApplied();
    void closedByTheServer_data();
    void closedByTheServer();
    void serverRestartForgetsItsNotifications();

private:
    // Publishes and returns the server's id once the state file lists it.
    uint publishNew(MNotification &notification);

    TestEnvironment env;
    NotificationServerStandin server;
    TavikStandin tavik;
};

void TestMNotification::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
}

uint TestMNotification::publishNew(MNotification &notification)
{
    const QString line = QStringLiteral("replaces=0 summary=\"%1\"").arg(notification.summary());
    const uint id = notification.publish() ? server.waitForNotify(line) : 0;
    return waitUntil([] { return stateEntries() > 0; }) ? id : 0;
}

void TestMNotification::stateFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("rewritten"); // after reading it and writing it back
    const QByteArray today
        = R"({"server":"b/:1.5","nextKey":"4","notifications":[{"key":"3","serverId":7,)"
          R"("eventType":"email.arrived","summary":"Ann","body":"a < b","count":2,)"
          R"("timestamp":"1700000000000","identifier":"TavikNotification_5","action":"AAA"}]})";
    QTest::newRow("as written today") << today << today;
    QTest::newRow("no key, no server id, a key twice")
        << QByteArray(R"({"server":"s","notifications":[{"key":"2"},{"serverId":3},{"key":"9",)"
                      R"("serverId":3,"image":"mail-read"},{"key":"9","serverId":4}]})")
        << QByteArray(R"({"server":"s","nextKey":"10","notifications":[{"key":"9","serverId":3,)"
                      R"("eventType":"","summary":"","body":"","image":"mail-read","count":0,)"
                      R"("timestamp":null,)"
                      R"("identifier":"","action":""}]})");
    QTest::newRow("unreadable") << QByteArray("{\"notifications\": [ not json")
                                << QByteArray(R"({"server":"","nextKey":"1","notifications":[]})");
}

void TestMNotification::stateFile()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, rewritten);
    QFile file(env.path(QStringLiteral("state.json")));
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) > 0);
    file.close();
    if (!QJsonDocument::fromJson(text).isObject()) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignoring unreadable state file"));
    }
    const MNotificationStateFile::State state = MNotificationStateFile(file.fileName()).read();
    QVERIFY(MNotificationStateFile(file.fileName()).write(state));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(QJsonDocument::fromJson(file.readAll()), QJsonDocument::fromJson(rewritten));
    QVERIFY(!MRemoteAction(QStringLiteral("AAA")).isValid()
            && MRemoteAction().toString().isEmpty());
}

void TestMNotification::publishSendsNotifyWithHints()
{
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("Ann Smith"),
                               QStringLiteral("a < b & c"));
    // No server yet: nothing is shown, nothing hangs.
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("no notification service .* on the session bus"));
    QVERIFY(!notification.publish());
    QVERIFY(!notification.isPublished() && !notification.remove() && shownCount() == 0);

    QVERIFY(server.start());
    const QDateTime timestamp(QDate(2026, 3, 4), QTime(5, 6, 7));
    notification.setTimestamp(timestamp);
    notification.setCount(3);
    notification.setIdentifier(QStringLiteral("TavikNotification_0"));
    notification.setAction(launchAction({}));
    QCOMPARE(publishNew(notification), 1u);

    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout; the
    // server reads markup: a subject's "<" and "&" must reach it escaped.
    QVariantList call = server.lastNotify();
    call[6] = qdbus_cast<QVariantMap>(call.value(6));
    const QVariantMap hints { { "category", "email.arrived" },
                              { "desktop-entry", "com.brenmor.tavik" },
                              { "urgency", QVariant::fromValue<uchar>(1) },
                              { "x-brenmor-count", 3u },
                              { "x-brenmor-timestamp", timestamp.toSecsSinceEpoch() } };
    QCOMPARE(call,
             QVariantList({ "E-mail", 0u, "mail-unread", "Ann Smith", "a &lt; b &amp; c",
                            QStringList { "default", QString() }, hints, 0 }));

    QScopedPointer<MNotification> listed(MNotification::notifications().value(0));
    QCOMPARE(listed->identifier(), QStringLiteral("TavikNotification_0"));
    QCOMPARE(listed->body(), QStringLiteral("a < b & c"));

    // An image of its own replaces the event type's icon.
    notification.setImage(QStringLiteral("mail-read"));
    QVERIFY(notification.publish());
    QCOMPARE(server.waitForNotify("replaces=1"), 1u);
    QCOMPARE(server.lastNotify().value(2).toString(), QStringLiteral("mail-read"));
    QVERIFY(notification.remove());
    QVERIFY(server.waitForClose(1));
    QVERIFY(waitUntil([] { return stateEntries() == 0; }));
}

void TestMNotification::lateAnswersAreApplied()
{
    server.holdReplies(true);
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("One"));
    QVERIFY(notification.publish());
    const uint id = server.waitForNotify("replaces=0 summary=\"One\"");
    QVERIFY(id != 0);
    // Changed twice, and another one shown and withdrawn, all before any answer.
    notification.setSummary(QStringLiteral("Two"));
    QVERIFY(notification.publish());
    notification.setSummary(QStringLiteral("Three"));
    QVERIFY(notification.publish());
    MNotification quick(MNotification::EmailArrivedEvent, QStringLiteral("Quick"));
    QVERIFY(quick.publish());
    QVERIFY(quick.remove());
    const uint quickId = server.waitForNotify("replaces=0 summary=\"Quick\"");
    QVERIFY(quickId != 0);
    QList<MNotification *> listed = MNotification::notifications();
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.at(0)->summary(), QStringLiteral("Three"));
    qDeleteAll(listed);
    QCOMPARE(stateEntries(), 0); // no server id known yet

    server.holdReplies(false);
    QCOMPARE(server.waitForNotify(QStringLiteral("replaces=%1 summary=\"Three\"").arg(id)), id);
    QVERIFY(server.waitForClose(quickId));
    QVERIFY(waitUntil([this, id] { return server.shown() == QList<uint> { id }; }));
    QVERIFY(waitUntil([] { return stateEntries() == 1; }));
    QVERIFY(notification.remove());
    QVERIFY(!notification.remove());
    QVERIFY(server.waitForClose(id));
}

void TestMNotification::closedByTheServer_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QList<QVariant>>("arguments");
    QTest::addColumn<QString>("launch"); // the e-mail application's call, if any
    QTest::newRow("dismissed by the user") << "dismiss" << QList<QVariant>() << QString();
    QTest::newRow("expired") << "expire" << QList<QVariant>() << QString();
    QTest::newRow("activated, one IRI")
        << "activate" << QList<QVariant> { QVariant(QStringList { QStringLiteral("f#3") }) }
        << QStringLiteral("launch([\"f#3\"])");
    QTest::newRow("activated, no argument")
        << "activate" << QList<QVariant>() << QStringLiteral("launch()");
}

void TestMNotification::closedByTheServer()
{
    QFETCH(QString, how);
    QFETCH(QList<QVariant>, arguments);
    QFETCH(QString, launch);
    if (tavik.runner().process().state() == QProcess::NotRunning) {
        QVERIFY(tavik.start());
    }
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("Gone"));
    notification.setAction(launchAction(arguments));
    const uint id = publishNew(notification);
    const QMap<QString, std::function<bool()>> close {
        { QStringLiteral("dismiss"), [&] { return server.dismiss(id); } },
        { QStringLiteral("expire"), [&] { return server.expire(id); } },
        { QStringLiteral("activate"), [&] { return server.activate(id); } },
    };
    QVERIFY(close.value(how)());
    if (!launch.isEmpty()) {
        QCOMPARE(tavik.waitForLaunch(), launch);
    }
    QVERIFY(waitUntil([] { return shownCount() == 0 && stateEntries() == 0; }));
    QVERIFY(!notification.isPublished());
    // Publishing the old handle again shows a new notification.
    QVERIFY(publishNew(notification) > id);
    QVERIFY(notification.remove());
}

void TestMNotification::serverRestartForgetsItsNotifications()
{
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("Old server"));
    QVERIFY(publishNew(notification) != 0);
    QVERIFY(server.stop());
    QVERIFY(waitUntil([] { return shownCount() == 0 && stateEntries() == 0; }));
    QVERIFY(server.start());
    // The new server numbers from 1 again: the old id must not be closed there.
    QVERIFY(notification.publish());
    QCOMPARE(server.waitForNotify("replaces=0 summary=\"Old server\""), 1u);
    QVERIFY(notification.remove());
    QVERIFY(server.waitForClose(1));
}

QTEST_GUILESS_MAIN(TestMNotification)
#include "tst_mnotification.moc"
