// The notification layer against a stand-in notification server and a
// stand-in e-mail application on a private session bus.

#include "platform/mnotification.h"
#include "platform/mnotificationstatefile.h"
#include "platform/mremoteaction.h"
#include "standins.h"
#include "testenvironment.h"

#include <QDBusArgument>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QScopedPointer>
#include <QtTest>

namespace {

QVariantMap hintsOf(const QVariantMap &call)
{
    const QVariant hints = call.value(QStringLiteral("hints"));
    if (hints.userType() == qMetaTypeId<QDBusArgument>()) {
        QVariantMap map;
        hints.value<QDBusArgument>() >> map;
        return map;
    }
    return hints.toMap();
}

MRemoteAction launchAction(const QList<QVariant> &arguments)
{
    return MRemoteAction(QStringLiteral("com.brenmor.tavik"), QStringLiteral("/org/velmar/m"),
                         QStringLiteral("com.brenmor.MApplicationIf"), QStringLiteral("launch"),
                         arguments);
}

QList<MNotification *> shownNow()
{
    return MNotification::notifications();
}

int shownCount()
{
    const QList<MNotification *> list = MNotification::notifications();
    const int count = list.size();
    qDeleteAll(list);
    return count;
}

QJsonArray stateEntries()
{
    return notificationStateEntries(MNotificationStateFile::defaultPath());
}

} // namespace

class TestMNotification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void unreadableStateFileIsIgnored();
    void remoteActionText();
    void publishWithoutServerFailsQuietly();
    void publishSendsNotifyWithHints();
    void republishReplacesAndRemoveCloses();
    void handlesFromTheListActOnTheSameNotification();
    void closedByTheServerLeavesTheList_data();
    void closedByTheServerLeavesTheList();
    void activationCallsTheRemoteAction_data();
    void activationCallsTheRemoteAction();
    void serverRestartForgetsItsNotifications();

private:
    TestEnvironment env;
    NotificationServerStandin server;
    TavikStandin tavik;
};

void TestMNotification::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
}

// Runs first: the layer reads its state file once, when first used.
void TestMNotification::unreadableStateFileIsIgnored()
{
    const QString path = MNotificationStateFile::defaultPath();
    QVERIFY(QDir().mkpath(QFileInfo(path).path()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("{\"notifications\": [ not json");
    file.close();
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("ignoring unreadable state file")));
    QCOMPARE(shownCount(), 0);
}

void TestMNotification::remoteActionText()
{
    const MRemoteAction action = launchAction(
        { QVariant(QStringList { QStringLiteral("qmf://mail.brenmor.com/email#7") }) });
    const MRemoteAction copy(action.toString());
    QVERIFY(copy.isValid());
    QCOMPARE(copy.serviceName(), QStringLiteral("com.brenmor.tavik"));
    QCOMPARE(copy.objectPath(), QStringLiteral("/org/velmar/m"));
    QCOMPARE(copy.interface(), QStringLiteral("com.brenmor.MApplicationIf"));
    QCOMPARE(copy.methodName(), QStringLiteral("launch"));
    QCOMPARE(copy.arguments().size(), 1);
    QCOMPARE(copy.arguments().at(0).userType(), int(QMetaType::QStringList));
    QCOMPARE(copy.arguments().at(0).toStringList(),
             QStringList { QStringLiteral("qmf://mail.brenmor.com/email#7") });

    QVERIFY(!MRemoteAction(QStringLiteral("not an action")).isValid());
    QVERIFY(!MRemoteAction(QString()).isValid());
    QVERIFY(MRemoteAction().toString().isEmpty());
}

void TestMNotification::publishWithoutServerFailsQuietly()
{
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("Ann"),
                               QStringLiteral("Hello"));
    QTest::ignoreMessage(
        QtWarningMsg,
        QRegularExpression(QStringLiteral("no notification service .* on the session bus")));
    QVERIFY(!notification.publish());
    QVERIFY(!notification.isPublished());
    QVERIFY(!notification.remove());
    QCOMPARE(shownCount(), 0);
}

void TestMNotification::publishSendsNotifyWithHints()
{
    QVERIFY(server.start());
    MNotification notification(MNotification::EmailArrivedEvent);
    notification.setSummary(QStringLiteral("Ann Smith"));
    notification.setBody(QStringLiteral("a < b & c"));
    const QDateTime timestamp(QDate(2026, 3, 4), QTime(5, 6, 7));
    notification.setTimestamp(timestamp);
    notification.setCount(3);
    notification.setIdentifier(QStringLiteral("TavikNotification_0"));
    notification.setAction(launchAction({}));
    // The server reads markup: a subject's "<" and "&" must reach it escaped.
    QVERIFY(!server.waitForNewLine(QStringLiteral("GetCapabilities")).isEmpty());
    QVERIFY(notification.publish());
    QVERIFY(!server.waitForNewLine(QStringLiteral("Notify id=1 replaces=0")).isEmpty());

    const QVariantMap call = server.lastNotify();
    QCOMPARE(call.value(QStringLiteral("app_name")).toString(), QStringLiteral("E-mail"));
    QCOMPARE(call.value(QStringLiteral("summary")).toString(), QStringLiteral("Ann Smith"));
    QCOMPARE(call.value(QStringLiteral("body")).toString(), QStringLiteral("a &lt; b &amp; c"));
    QCOMPARE(call.value(QStringLiteral("actions")).toStringList(),
             (QStringList { QStringLiteral("default"), QString() }));
    QCOMPARE(call.value(QStringLiteral("expire_timeout")).toInt(), 0);
    const QVariantMap hints = hintsOf(call);
    QCOMPARE(hints.value(QStringLiteral("category")).toString(), QStringLiteral("email.arrived"));
    QCOMPARE(hints.value(QStringLiteral("desktop-entry")).toString(),
             QStringLiteral("com.brenmor.tavik"));
    QCOMPARE(hints.value(QStringLiteral("x-brenmor-count")).toUInt(), 3u);
    QCOMPARE(hints.value(QStringLiteral("x-brenmor-timestamp")).toLongLong(),
             timestamp.toSecsSinceEpoch());

    // Listed at once, and in the state file once the server has given its id.
    QScopedPointer<MNotification> listed(shownNow().value(0));
    QVERIFY(listed);
    QCOMPARE(listed->identifier(), QStringLiteral("TavikNotification_0"));
    QCOMPARE(listed->summary(), QStringLiteral("Ann Smith"));
    QCOMPARE(listed->body(), QStringLiteral("a < b & c"));
    QCOMPARE(listed->count(), 3u);
    QCOMPARE(listed->timestamp(), timestamp);
    QCOMPARE(listed->eventType(), MNotification::EmailArrivedEvent);
    QTRY_COMPARE(stateEntries().size(), 1);
    QCOMPARE(stateEntries().at(0).toObject().value(QStringLiteral("identifier")).toString(),
             QStringLiteral("TavikNotification_0"));

    QVERIFY(notification.remove());
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=1")).isEmpty());
    QTRY_COMPARE(stateEntries().size(), 0);
}

void TestMNotification::republishReplacesAndRemoveCloses()
{
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("One"));
    notification.setIdentifier(QStringLiteral("first"));
    QVERIFY(notification.publish());
    const QString line
        = server.waitForNewLine(QRegularExpression(QStringLiteral("^Notify id=(\\d+) replaces=0")));
    QVERIFY(!line.isEmpty());
    const uint id = NotificationServerStandin::idIn(line);
    QTRY_COMPARE(stateEntries().size(), 1);

    // Changed twice before the server answered: it still ends as one notification.
    notification.setSummary(QStringLiteral("Two"));
    notification.setIdentifier(QStringLiteral("second"));
    QVERIFY(notification.publish());
    notification.setSummary(QStringLiteral("Three"));
    notification.setIdentifier(QStringLiteral("third"));
    QVERIFY(notification.publish());
    QVERIFY(
        !server.waitForNewLine(QStringLiteral("Notify id=%1 replaces=%1 summary=\"Three\"").arg(id))
             .isEmpty());
    QCOMPARE(server.shown(), QList<uint> { id });
    QCOMPARE(shownCount(), 1);

    QVERIFY(notification.remove());
    QCOMPARE(shownCount(), 0);
    QVERIFY(!notification.remove());
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(id)).isEmpty());
    QCOMPARE(server.shown(), QList<uint>());

    // Withdrawn while its first Notify is still unanswered: closed once the id is known.
    MNotification quick(MNotification::EmailArrivedEvent, QStringLiteral("Quick"));
    QVERIFY(quick.publish());
    QVERIFY(quick.remove());
    QCOMPARE(shownCount(), 0);
    const QString quickLine = server.waitForNewLine(
        QRegularExpression(QStringLiteral("^Notify id=(\\d+) replaces=0 summary=\"Quick\"")));
    QVERIFY(!quickLine.isEmpty());
    const uint quickId = NotificationServerStandin::idIn(quickLine);
    QVERIFY(
        !server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(quickId)).isEmpty());
    QTRY_COMPARE(server.shown(), QList<uint>());
}

void TestMNotification::handlesFromTheListActOnTheSameNotification()
{
    {
        MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("Kept"));
        notification.setIdentifier(QStringLiteral("kept"));
        QVERIFY(notification.publish());
    } // the handle goes, the notification stays
    const QString line = server.waitForNewLine(
        QRegularExpression(QStringLiteral("^Notify id=(\\d+) replaces=0 summary=\"Kept\"")));
    QVERIFY(!line.isEmpty());
    const uint id = NotificationServerStandin::idIn(line);
    QTRY_COMPARE(stateEntries().size(), 1);

    QList<MNotification *> list = MNotification::notifications();
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.at(0)->identifier(), QStringLiteral("kept"));
    QVERIFY(list.at(0)->isPublished());
    list.at(0)->setSummary(QStringLiteral("Updated"));
    QVERIFY(list.at(0)->publish());
    QVERIFY(
        !server
             .waitForNewLine(QStringLiteral("Notify id=%1 replaces=%1 summary=\"Updated\"").arg(id))
             .isEmpty());
    QVERIFY(list.at(0)->remove());
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(id)).isEmpty());
    qDeleteAll(list);
    QCOMPARE(shownCount(), 0);
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
    QVERIFY(notification.publish());
    const QString line = server.waitForNewLine(
        QRegularExpression(QStringLiteral("^Notify id=(\\d+) replaces=0 summary=\"Gone\"")));
    const uint id = NotificationServerStandin::idIn(line);
    QVERIFY(id != 0);
    QTRY_COMPARE(stateEntries().size(), 1);

    QVERIFY(byUser ? server.dismiss(id) : server.expire(id));
    QTRY_COMPARE(shownCount(), 0);
    QVERIFY(!notification.isPublished());
    QTRY_COMPARE(stateEntries().size(), 0);

    // Publishing the old handle again shows a new notification.
    const uint closesBefore = server.closeCalls();
    QVERIFY(notification.publish());
    QVERIFY(!server
                 .waitForNewLine(QRegularExpression(
                     QStringLiteral("^Notify id=\\d+ replaces=0 summary=\"Gone\"")))
                 .isEmpty());
    QVERIFY(notification.remove());
    QTRY_COMPARE(server.closeCalls(), closesBefore + 1);
}

void TestMNotification::activationCallsTheRemoteAction_data()
{
    QTest::addColumn<QList<QVariant>>("arguments");
    QTest::addColumn<QString>("launch");
    QTest::newRow("one IRI") << QList<QVariant> {
        QVariant(QStringList { QStringLiteral("qmf://mail.brenmor.com/folder#3") })
    } << QStringLiteral("launch([\"qmf://mail.brenmor.com/folder#3\"])");
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
    QVERIFY(notification.publish());
    const QString line = server.waitForNewLine(
        QRegularExpression(QStringLiteral("^Notify id=(\\d+) replaces=0 summary=\"Tap\"")));
    const uint id = NotificationServerStandin::idIn(line);
    QVERIFY(id != 0);
    QTRY_COMPARE(stateEntries().size(), 1);

    QVERIFY(server.activate(id));
    QCOMPARE(tavik.waitForNewLine(QStringLiteral("launch(")), launch);
    QTRY_COMPARE(shownCount(), 0);
    QVERIFY(tavik.unseenLines().filter(QStringLiteral("launch")).isEmpty());
}

void TestMNotification::serverRestartForgetsItsNotifications()
{
    MNotification notification(MNotification::EmailArrivedEvent, QStringLiteral("Old server"));
    QVERIFY(notification.publish());
    QVERIFY(!server.waitForNewLine(QStringLiteral("summary=\"Old server\"")).isEmpty());
    QTRY_COMPARE(stateEntries().size(), 1);

    QVERIFY(server.stop());
    QTRY_COMPARE(shownCount(), 0);
    QVERIFY(server.start());
    QCOMPARE(shownCount(), 0);
    QTRY_COMPARE(stateEntries().size(), 0);

    // The new server numbers from 1 again: the old id must not be closed there.
    QVERIFY(notification.publish());
    QVERIFY(!server.waitForNewLine(QStringLiteral("Notify id=1 replaces=0 summary=\"Old server\""))
                 .isEmpty());
    QVERIFY(notification.remove());
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=1")).isEmpty());
}

QTEST_GUILESS_MAIN(TestMNotification)
#include "tst_mnotification.moc"
