// The notification layer against the stand-in notification server and the
// stand-in e-mail application on a private session bus.

#include "platform/mnotification.h"
#include "platform/mnotificationstatefile.h"
#include "platform/mremoteaction.h"
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

QJsonDocument json(const QByteArray &text)
{
    return QJsonDocument::fromJson(text);
}

} // namespace

class TestMNotification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void stateFile_data();
    void stateFile();
    void remoteActionText();
    void publishWithoutServerFailsQuietly();
    void publishSendsNotifyWithHints();
    void lateAnswersAreApplied();
    void closedByTheServerLeavesTheList_data();
    void closedByTheServerLeavesTheList();
    void activationCallsTheRemoteAction_data();
    void activationCallsTheRemoteAction();
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
    if (!notification.publish()) {
        return 0;
    }
    const uint id = server.waitForNotify(
        QStringLiteral("replaces=0 summary=\"%1\"").arg(notification.summary()));
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
    const QByteArray image
        = R"({"server":"s","nextKey":"2","notifications":[{"key":"1","serverId":7,"count":0,)"
          R"("eventType":"","summary":"","body":"","image":"mail-read","timestamp":null,)"
          R"("identifier":"","action":""}]})";
    QTest::newRow("an image, no timestamp") << image << image;
    QTest::newRow("no key, no server id, a key twice")
        << QByteArray(R"({"server":"s","notifications":[{"key":"2"},{"serverId":3},)"
                      R"({"key":"9","serverId":3},{"key":"9","serverId":4}]})")
        << QByteArray(R"({"server":"s","nextKey":"10","notifications":[{"key":"9","serverId":3,)"
                      R"("eventType":"","summary":"","body":"","timestamp":null,"count":0,)"
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
    if (!json(text).isObject()) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("ignoring unreadable state file"));
    }
    const MNotificationStateFile::State state = MNotificationStateFile(file.fileName()).read();
    QVERIFY(MNotificationStateFile(file.fileName()).write(state));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(json(file.readAll()), json(rewritten));
}

void TestMNotification::remoteActionText()
{
    const QList<QVariant> iri { QVariant(QStringList { QStringLiteral("qmf://m/email#7") }) };
    const MRemoteAction copy(launchAction(iri).toString());
    QCOMPARE(
        QStringList({ copy.serviceName(), copy.objectPath(), copy.interface(), copy.methodName() }),
        QStringList({ QStringLiteral("com.brenmor.tavik"), QStringLiteral("/org/velmar/m"),
                      QStringLiteral("com.brenmor.MApplicationIf"), QStringLiteral("launch") }));
    QCOMPARE(copy.arguments(), iri);
    QCOMPARE(copy.arguments().at(0).userType(), int(QMetaType::QStringList));
    QVERIFY(!MRemoteAction(QStringLiteral("not an action")).isValid());
    QVERIFY(MRemoteAction().toString().isEmpty());
}

void TestMNotification::publishWithoutServerFailsQuietly()
{
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("Ann"));
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression("no notification service .* on the session bus"));
    QVERIFY(!notification.publish());
    QVERIFY(!notification.isPublished());
    QVERIFY(!notification.remove());
    QCOMPARE(shownCount(), 0);
}

void TestMNotification::publishSendsNotifyWithHints()
{
    QVERIFY(server.start());
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("Ann Smith"),
                               QStringLiteral("a < b & c"));
    const QDateTime timestamp(QDate(2026, 3, 4), QTime(5, 6, 7));
    notification.setTimestamp(timestamp);
    notification.setCount(3);
    notification.setIdentifier(QStringLiteral("TavikNotification_0"));
    notification.setAction(launchAction({}));
    QCOMPARE(publishNew(notification), 1u);

    // app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout
    const QVariantList call = server.lastNotify();
    QCOMPARE(call.size(), 8);
    QCOMPARE(call.at(0).toString(), QStringLiteral("E-mail"));
    QCOMPARE(call.at(2).toString(), QStringLiteral("mail-unread"));
    // The server reads markup: a subject's "<" and "&" must reach it escaped.
    QCOMPARE(call.at(4).toString(), QStringLiteral("a &lt; b &amp; c"));
    QCOMPARE(call.at(5).toStringList(), (QStringList { QStringLiteral("default"), QString() }));
    QCOMPARE(call.at(7).toInt(), 0);
    const QVariantMap hints = qdbus_cast<QVariantMap>(call.at(6));
    QCOMPARE(hints.value(QStringLiteral("category")).toString(), QStringLiteral("email.arrived"));
    QCOMPARE(hints.value(QStringLiteral("desktop-entry")).toString(),
             QStringLiteral("com.brenmor.tavik"));
    QCOMPARE(hints.value(QStringLiteral("x-brenmor-count")).toUInt(), 3u);
    QCOMPARE(hints.value(QStringLiteral("x-brenmor-timestamp")).toLongLong(),
             timestamp.toSecsSinceEpoch());

    QScopedPointer<MNotification> listed(MNotification::notifications().value(0));
    QCOMPARE(listed->identifier(), QStringLiteral("TavikNotification_0"));
    QCOMPARE(listed->body(), QStringLiteral("a < b & c"));

    // An image of its own replaces the event type's icon.
    notification.setImage(QStringLiteral("mail-read"));
    QVERIFY(notification.publish());
    QCOMPARE(server.waitForNotify(QStringLiteral("replaces=1")), 1u);
    QCOMPARE(server.lastNotify().value(2).toString(), QStringLiteral("mail-read"));
    QVERIFY(notification.remove());
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=1")).isEmpty());
    QVERIFY(waitUntil([] { return stateEntries() == 0; }));
}

void TestMNotification::lateAnswersAreApplied()
{
    server.holdReplies(true);
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("One"));
    QVERIFY(notification.publish());
    const uint id = server.waitForNotify(QStringLiteral("replaces=0 summary=\"One\""));
    QVERIFY(id != 0);
    // Changed twice, and another one shown and withdrawn, all before any answer.
    notification.setSummary(QStringLiteral("Two"));
    QVERIFY(notification.publish());
    notification.setSummary(QStringLiteral("Three"));
    QVERIFY(notification.publish());
    MNotification quick(MNotification::EmailArrivedEvent, QStringLiteral("Quick"));
    QVERIFY(quick.publish());
    QVERIFY(quick.remove());
    const uint quickId = server.waitForNotify(QStringLiteral("replaces=0 summary=\"Quick\""));
    QVERIFY(quickId != 0);
    QList<MNotification *> listed = MNotification::notifications();
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.at(0)->summary(), QStringLiteral("Three"));
    qDeleteAll(listed);
    QCOMPARE(stateEntries(), 0); // no server id known yet

    server.holdReplies(false);
    QCOMPARE(server.waitForNotify(QStringLiteral("replaces=%1 summary=\"Three\"").arg(id)), id);
    QVERIFY(
        !server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(quickId)).isEmpty());
    QVERIFY(waitUntil([this, id] { return server.shown() == QList<uint> { id }; }));
    QVERIFY(waitUntil([] { return stateEntries() == 1; }));
    QVERIFY(notification.remove());
    QVERIFY(!notification.remove());
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(id)).isEmpty());
}

void TestMNotification::closedByTheServerLeavesTheList_data()
{
    QTest::addColumn<bool>("byUser");
    QTest::newRow("dismissed by the user") << true;
    QTest::newRow("expired") << false;
}

void TestMNotification::closedByTheServerLeavesTheList()
{
    QFETCH(bool, byUser);
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("Gone"));
    const uint id = publishNew(notification);
    QVERIFY(byUser ? server.dismiss(id) : server.expire(id));
    QVERIFY(waitUntil([] { return shownCount() == 0 && stateEntries() == 0; }));
    QVERIFY(!notification.isPublished());
    // Publishing the old handle again shows a new notification.
    QVERIFY(publishNew(notification) > id);
    QVERIFY(notification.remove());
}

void TestMNotification::activationCallsTheRemoteAction_data()
{
    QTest::addColumn<QList<QVariant>>("arguments");
    QTest::addColumn<QString>("launch");
    QTest::newRow("one IRI") << QList<QVariant> { QVariant(QStringList { QStringLiteral("f#3") }) }
                             << QStringLiteral("launch([\"f#3\"])");
    QTest::newRow("no argument") << QList<QVariant>() << QStringLiteral("launch()");
}

void TestMNotification::activationCallsTheRemoteAction()
{
    QFETCH(QList<QVariant>, arguments);
    QFETCH(QString, launch);
    if (tavik.runner().process().state() == QProcess::NotRunning) {
        QVERIFY(tavik.start());
    }
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("Tap"));
    notification.setAction(launchAction(arguments));
    QVERIFY(server.activate(publishNew(notification)));
    QCOMPARE(tavik.waitForLaunch(), launch);
    QVERIFY(waitUntil([] { return shownCount() == 0; }));
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
    QCOMPARE(server.waitForNotify(QStringLiteral("replaces=0 summary=\"Old server\"")), 1u);
    QVERIFY(notification.remove());
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=1")).isEmpty());
}

QTEST_GUILESS_MAIN(TestMNotification)
#include "tst_mnotification.moc"
