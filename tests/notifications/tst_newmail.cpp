// The daemon object's new-mail notification, driven through a real mail store
// in a temporary folder, a stand-in notification server and a stand-in e-mail
// application on a private session bus. The daemon object lives in this
// process, so the notification layer's list can be read right after each
// store change.

#include "platform/mnotification.h"
#include "platform/mremoteaction.h"
#include "platform/qtn_mail.h"
#include "postvane/postvane.h"
#include "standins.h"
#include "storefixture.h"
#include "testenvironment.h"

#include <qmailstore.h>

#include <QScopedPointer>
#include <QtTest>

using namespace StoreFixture;

namespace {

const QString iriBase = QStringLiteral("qmf://mail.brenmor.com");

struct Shown
{
    int notifications = 0;
    QString summary;
    QString body;
    QString identifier;
    QDateTime timestamp;
    uint count = 0;
    QList<QVariant> arguments;
};

// What this process has on display (the first notification).
Shown shown()
{
    Shown result;
    const QList<MNotification *> list = MNotification::notifications();
    result.notifications = list.size();
    if (!list.isEmpty()) {
        const MNotification *first = list.first();
        result.summary = first->summary();
        result.body = first->body();
        result.identifier = first->identifier();
        result.timestamp = first->timestamp();
        result.count = first->count();
        const MRemoteAction action = first->action();
        result.arguments = action.arguments();
        if (action.serviceName() != QLatin1String("com.brenmor.tavik")
            || action.objectPath() != QLatin1String("/org/velmar/m")
            || action.interface() != QLatin1String("com.brenmor.MApplicationIf")
            || action.methodName() != QLatin1String("launch")) {
            qWarning() << "unexpected action" << action.toString();
            result.notifications = -1;
        }
    }
    qDeleteAll(list);
    return result;
}

QList<QVariant> iriArgument(const QString &path, quint64 id)
{
    return { QVariant(QStringList { iriBase + path + QString::number(id) }) };
}

QDateTime wholeSeconds(const QDateTime &dateTime)
{
    return QDateTime::fromSecsSinceEpoch(dateTime.toSecsSinceEpoch());
}

// Collects the records of the "Notifications" category while it lives; every
// message still reaches the test's own handler too.
class NotificationRecords
{
public:
    NotificationRecords()
    {
        s_current = this;
        s_previous = qInstallMessageHandler(handle);
    }
    ~NotificationRecords()
    {
        qInstallMessageHandler(s_previous);
        s_current = nullptr;
    }
    QStringList lines;

private:
    static void handle(QtMsgType type, const QMessageLogContext &context, const QString &message)
    {
        if (s_current && type == QtDebugMsg && qstrcmp(context.category, "Notifications") == 0) {
            s_current->lines << message;
        }
        if (s_previous) {
            s_previous(type, context, message);
        }
    }
    static NotificationRecords *s_current;
    static QtMessageHandler s_previous;
};

NotificationRecords *NotificationRecords::s_current = nullptr;
QtMessageHandler NotificationRecords::s_previous = nullptr;

int identifierNumber(const QString &identifier)
{
    const QString prefix = QStringLiteral("TavikNotification_");
    bool ok = false;
    const int number
        = identifier.startsWith(prefix) ? identifier.mid(prefix.size()).toInt(&ok) : -1;
    return ok ? number : -1;
}

} // namespace

class TestNewMail : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void oneMessageShowsSenderAndSubject();
    void severalMessagesInOneFolder();
    void severalFoldersAndAccounts();
    void filters_data();
    void filters();
    void messagesWithoutPlace();
    void sameMessageAnnouncedTwice();
    void senderAlreadyListedCountsOnce();
    void updatedUnreadMessageStaysOnce();
    void folderChangedToFavourite();
    void readElsewhereTakesMessagesOff();
    void deletedMessagesAndAccounts();
    void dismissedThenNewMail();
    void longSummaryEndsWithEllipsis();
    void messageWithoutSubject();
    void displaySignalsWithdrawAndSuppress();
    void notificationSignalsWithdrawEverything();
    void switchRecords();
    void policyRecords();

private:
    // Emits a signal of the e-mail application and lets it arrive here.
    void emitAndDeliver(const QString &name);

    TestEnvironment env;
    NotificationServerStandin server;
    TavikStandin tavik;
    Postvane *postvane = nullptr;
    QMailAccountId account;
    QMailFolderId inbox;
};

void TestNewMail::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    QVERIFY(server.start());
    QVERIFY(tavik.start());
    QVERIFY(qtn_mail::init_translation_package());
    postvane = new Postvane(nullptr);
    account = addAccount(QStringLiteral("Work"), &inbox);
    QVERIFY(account.isValid());
}

void TestNewMail::cleanupTestCase()
{
    delete postvane;
}

void TestNewMail::init()
{
    postvane->enableNotifications(true);
    postvane->switchEmailMode(true);
    postvane->switchEmailMode(false);
    QCOMPARE(shown().notifications, 0);
    QTRY_COMPARE(server.shown(), QList<uint>());
    server.markSeen();
    tavik.markSeen();
}

void TestNewMail::emitAndDeliver(const QString &name)
{
    QVERIFY(tavik.emitSignal(name));
    // The signal left the stand-in before the reply to Emit did.
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents();
}

void TestNewMail::oneMessageShowsSenderAndSubject()
{
    const QDateTime date = wholeSeconds(QDateTime::currentDateTime().addSecs(-3600));
    const QMailMessageId id = addMessage(inbox, QStringLiteral("Ann Smith <ann@example.com>"),
                                         QStringLiteral("Hello"), date);
    const Shown now = shown();
    QCOMPARE(now.notifications, 1);
    QCOMPARE(now.summary, QStringLiteral("Ann Smith"));
    QCOMPARE(now.body, QStringLiteral("Hello"));
    QCOMPARE(now.timestamp, date);
    QCOMPARE(now.count, 1u);
    // The first publish of the process.
    QCOMPARE(now.identifier, QStringLiteral("TavikNotification_0"));
    QCOMPARE(now.arguments, iriArgument(QStringLiteral("/email#"), id.toULongLong()));

    const QString line
        = server.waitForNewLine(QStringLiteral("replaces=0 summary=\"Ann Smith\" body=\"Hello\""));
    QVERIFY(!line.isEmpty());
    QVERIFY(server.activate(NotificationServerStandin::idIn(line)));
    QCOMPARE(tavik.waitForNewLine(QStringLiteral("launch(")),
             QStringLiteral("launch([\"%1/email#%2\"])").arg(iriBase).arg(id.toULongLong()));
}

void TestNewMail::severalMessagesInOneFolder()
{
    const QDateTime base = wholeSeconds(QDateTime::currentDateTime().addDays(-2));
    addMessage(inbox, QStringLiteral("Ann Smith <ann@example.com>"), QStringLiteral("One"), base);
    const QString line
        = server.waitForNewLine(QStringLiteral("summary=\"Ann Smith\" body=\"One\""));
    const uint serverId = NotificationServerStandin::idIn(line);
    QVERIFY(serverId != 0);
    const int firstNumber = identifierNumber(shown().identifier);
    QVERIFY(firstNumber >= 0);
    addMessage(inbox, QStringLiteral("Ann Smith <ann@example.com>"), QStringLiteral("Two"),
               base.addSecs(300));
    addMessage(inbox, QStringLiteral("Bob Jones <bob@example.com>"), QStringLiteral("Three"),
               base.addSecs(60));
    const Shown now = shown();
    QCOMPARE(now.notifications, 1);
    QCOMPARE(now.summary, QStringLiteral("Ann Smith, Bob Jones"));
    QCOMPARE(now.body, QStringLiteral("3 new messages"));
    QCOMPARE(now.timestamp, base.addSecs(300));
    QCOMPARE(now.count, 3u);
    QCOMPARE(now.arguments, iriArgument(QStringLiteral("/folder#"), inbox.toULongLong()));
    // Each of the two updates was published under an identifier of its own.
    QCOMPARE(identifierNumber(now.identifier), firstNumber + 2);
    // The same notification on the server, updated in place.
    QVERIFY(!server
                 .waitForNewLine(QStringLiteral("Notify id=%1 replaces=%1 summary=\"Ann Smith, Bob "
                                                "Jones\" body=\"3 new messages\"")
                                     .arg(serverId))
                 .isEmpty());
    QCOMPARE(server.shown(), QList<uint> { serverId });
}

void TestNewMail::severalFoldersAndAccounts()
{
    const QMailFolderId favourite
        = addFolder(account, QStringLiteral("Friends"), QMailFolder::Favourite);
    addMessage(inbox, QStringLiteral("Ann Smith <ann@example.com>"), QStringLiteral("In inbox"));
    addMessage(favourite, QStringLiteral("Cy <cy@example.com>"), QStringLiteral("In friends"));
    Shown now = shown();
    QCOMPARE(now.count, 2u);
    QCOMPARE(now.arguments, iriArgument(QStringLiteral("/account#"), account.toULongLong()));

    QMailFolderId otherInbox;
    const QMailAccountId other = addAccount(QStringLiteral("Home"), &otherInbox);
    addMessage(otherInbox, QStringLiteral("Dee <dee@example.com>"), QStringLiteral("Elsewhere"));
    now = shown();
    QCOMPARE(now.count, 3u);
    QCOMPARE(now.arguments, QList<QVariant>());

    const QString line = server.waitForNewLine(QStringLiteral("body=\"3 new messages\""));
    QVERIFY(server.activate(NotificationServerStandin::idIn(line)));
    QCOMPARE(tavik.waitForNewLine(QStringLiteral("launch(")), QStringLiteral("launch()"));
    QVERIFY(QMailStore::instance()->removeAccount(other));
}

void TestNewMail::filters_data()
{
    QTest::addColumn<QString>("folderKind");
    QTest::addColumn<int>("ageDays"); // -1: no date
    QTest::addColumn<quint64>("status");
    QTest::addColumn<bool>("notified");

    const quint64 none = 0;
    QTest::newRow("unread in inbox") << "inbox" << 0 << none << true;
    QTest::newRow("read") << "inbox" << 0 << QMailMessageMetaData::Read << false;
    QTest::newRow("read elsewhere") << "inbox" << 0 << QMailMessageMetaData::ReadElsewhere << false;
    QTest::newRow("sent folder") << "sent" << 0 << none << false;
    QTest::newRow("trash folder") << "trash" << 0 << none << false;
    QTest::newRow("ordinary folder") << "plain" << 0 << none << false;
    QTest::newRow("favourite folder") << "favourite" << 0 << none << true;
    QTest::newRow("favourite sent folder") << "favourite sent" << 0 << none << true;
    QTest::newRow("180 days old") << "inbox" << 180 << none << true;
    QTest::newRow("181 days old") << "inbox" << 181 << none << false;
    QTest::newRow("without date") << "inbox" << -1 << none << true;
    QTest::newRow("dated in the future") << "inbox" << -3 << none << true;
}

void TestNewMail::filters()
{
    QFETCH(QString, folderKind);
    QFETCH(int, ageDays);
    QFETCH(quint64, status);
    QFETCH(bool, notified);

    static int serial = 0;
    const QString path = folderKind + QString::number(++serial);
    QMailFolderId folder = inbox;
    if (folderKind != QLatin1String("inbox")) {
        quint64 folderStatus = 0;
        if (folderKind.contains(QLatin1String("favourite"))) {
            folderStatus |= QMailFolder::Favourite;
        }
        if (folderKind.contains(QLatin1String("sent"))) {
            folderStatus |= QMailFolder::Sent;
        }
        if (folderKind.contains(QLatin1String("trash"))) {
            folderStatus |= QMailFolder::Trash;
        }
        folder = addFolder(account, path, folderStatus);
        if (folderKind.contains(QLatin1String("sent"))
            || folderKind.contains(QLatin1String("trash"))) {
            QMailAccount mailAccount(account);
            mailAccount.setStandardFolder(folderKind.contains(QLatin1String("sent"))
                                              ? QMailFolder::SentFolder
                                              : QMailFolder::TrashFolder,
                                          folder);
            QVERIFY(QMailStore::instance()->updateAccount(&mailAccount));
        }
    }
    QDateTime date;
    if (ageDays == -3) {
        date = QDateTime::currentDateTime().addDays(3);
    } else if (ageDays >= 0) {
        date = QDateTime::currentDateTime().addDays(-ageDays);
    }
    const QMailMessageId id = addMessage(folder, QStringLiteral("Eve <eve@example.com>"),
                                         QStringLiteral("Filtered"), date, status);
    QVERIFY(id.isValid());
    const Shown now = shown();
    QCOMPARE(now.notifications, notified ? 1 : 0);
    if (notified) {
        QCOMPARE(now.arguments, iriArgument(QStringLiteral("/email#"), id.toULongLong()));
        QCOMPARE(now.timestamp.isValid(), ageDays != -1);
    }
}

void TestNewMail::messagesWithoutPlace()
{
    // Announced, but gone from the store before the daemon looked: skipped
    // before any filter looks at its empty data.
    NotificationRecords records;
    QVERIFY(QMetaObject::invokeMethod(
        postvane, "addMessages", Qt::DirectConnection,
        Q_ARG(QMailMessageIdList, QMailMessageIdList { QMailMessageId(987654) })));
    QCOMPARE(shown().notifications, 0);
    QCOMPARE(records.lines,
             QStringList { QStringLiteral("notifyNewItems: message with id QMailMessageId(987654) "
                                          "is ignored as it is not in the store") });

    // A message in no folder: there is no inbox it could be in.
    const QMailMessageId nowhere = addMessage(
        QMailFolderId(), QStringLiteral("Vic <vic@example.com>"), QStringLiteral("Nowhere"));
    QVERIFY(nowhere.isValid());
    QCOMPARE(shown().notifications, 0);
}

void TestNewMail::sameMessageAnnouncedTwice()
{
    const QMailMessageId id
        = addMessage(inbox, QStringLiteral("Wes <wes@example.com>"), QStringLiteral("Twice"));
    const QMailMessageIdList twice { id, id };
    QVERIFY(QMetaObject::invokeMethod(postvane, "addMessages", Qt::DirectConnection,
                                      Q_ARG(QMailMessageIdList, twice)));
    const Shown now = shown();
    QCOMPARE(now.notifications, 1);
    QCOMPARE(now.count, 1u);
    QCOMPARE(now.summary, QStringLiteral("Wes"));
    QCOMPARE(now.arguments, iriArgument(QStringLiteral("/email#"), id.toULongLong()));
}

void TestNewMail::senderAlreadyListedCountsOnce()
{
    const QDateTime base = wholeSeconds(QDateTime::currentDateTime().addDays(-1));
    // Visited in the order of the message ids.
    addMessage(inbox, QStringLiteral("Ann Smith <ann@example.com>"), QStringLiteral("1"), base);
    // Its sender text is part of the first one's: not listed again, yet its
    // date is the newest.
    addMessage(inbox, QStringLiteral("ann@example.com"), QStringLiteral("2"), base.addSecs(600));
    addMessage(inbox, QStringLiteral("Ann Smith <ann@example.com>"), QStringLiteral("3"),
               base.addSecs(60));
    addMessage(inbox, QStringLiteral("Bob <bob@example.com>"), QStringLiteral("4"),
               base.addSecs(120));
    Shown now = shown();
    QCOMPARE(now.count, 4u);
    QCOMPARE(now.summary, QStringLiteral("Ann Smith, Bob"));
    QCOMPARE(now.timestamp, base.addSecs(600));

    // The other way round the longer text is not part of the shorter one.
    postvane->switchEmailMode(true);
    postvane->switchEmailMode(false);
    addMessage(inbox, QStringLiteral("cy@example.com"), QStringLiteral("5"), base);
    addMessage(inbox, QStringLiteral("Cy <cy@example.com>"), QStringLiteral("6"), base);
    now = shown();
    QCOMPARE(now.count, 2u);
    QCOMPARE(now.summary, QStringLiteral("cy@example.com, Cy"));
}

void TestNewMail::updatedUnreadMessageStaysOnce()
{
    const QMailMessageId id
        = addMessage(inbox, QStringLiteral("Fay <fay@example.com>"), QStringLiteral("Once"));
    QMailMessageMetaData metaData = QMailStore::instance()->messageMetaData(id);
    QVERIFY(QMailStore::instance()->updateMessage(&metaData)); // updated, still unread
    const Shown now = shown();
    QCOMPARE(now.count, 1u);
    QCOMPARE(now.body, QStringLiteral("Once"));
}

void TestNewMail::folderChangedToFavourite()
{
    const QMailFolderId lists = addFolder(account, QStringLiteral("Lists"));
    addMessage(lists, QStringLiteral("Gil <gil@example.com>"), QStringLiteral("Before"));
    QCOMPARE(shown().notifications, 0);
    QVERIFY(setFolderStatus(lists, QMailFolder::Favourite, true));
    const QMailMessageId after
        = addMessage(lists, QStringLiteral("Gil <gil@example.com>"), QStringLiteral("After"));
    const Shown now = shown();
    QCOMPARE(now.count, 1u);
    QCOMPARE(now.body, QStringLiteral("After"));
    QCOMPARE(now.arguments, iriArgument(QStringLiteral("/email#"), after.toULongLong()));
}

void TestNewMail::readElsewhereTakesMessagesOff()
{
    const QMailMessageId first
        = addMessage(inbox, QStringLiteral("Hal <hal@example.com>"), QStringLiteral("First"));
    const QString line = server.waitForNewLine(QStringLiteral("summary=\"Hal\" body=\"First\""));
    const uint serverId = NotificationServerStandin::idIn(line);
    QVERIFY(serverId != 0);
    const QMailMessageId second
        = addMessage(inbox, QStringLiteral("Ivy <ivy@example.com>"), QStringLiteral("Second"));
    QCOMPARE(shown().count, 2u);

    QVERIFY(setMessageStatus(first, QMailMessageMetaData::ReadElsewhere, true));
    Shown now = shown();
    QCOMPARE(now.count, 1u);
    QCOMPARE(now.summary, QStringLiteral("Ivy"));
    QCOMPARE(now.body, QStringLiteral("Second"));
    QCOMPARE(now.arguments, iriArgument(QStringLiteral("/email#"), second.toULongLong()));
    QVERIFY(!server
                 .waitForNewLine(
                     QStringLiteral("Notify id=%1 replaces=%1 summary=\"Ivy\"").arg(serverId))
                 .isEmpty());

    // Other changes of a published message leave it on.
    QMailMessageMetaData metaData = QMailStore::instance()->messageMetaData(second);
    metaData.setSubject(QStringLiteral("Renamed"));
    QVERIFY(QMailStore::instance()->updateMessage(&metaData));
    QCOMPARE(shown().body, QStringLiteral("Second"));

    QVERIFY(setMessageStatus(second, QMailMessageMetaData::Read, true));
    QCOMPARE(shown().notifications, 0);
    QVERIFY(
        !server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(serverId)).isEmpty());
}

void TestNewMail::deletedMessagesAndAccounts()
{
    QMailFolderId otherInbox;
    const QMailAccountId other = addAccount(QStringLiteral("Spare"), &otherInbox);
    const QMailMessageId mine
        = addMessage(inbox, QStringLiteral("Jo <jo@example.com>"), QStringLiteral("Mine"));
    const QMailMessageId theirs1 = addMessage(otherInbox, QStringLiteral("Kim <kim@example.com>"),
                                              QStringLiteral("Theirs 1"));
    addMessage(otherInbox, QStringLiteral("Kim <kim@example.com>"), QStringLiteral("Theirs 2"));
    const QMailMessageId unpublished
        = addMessage(inbox, QStringLiteral("Lu <lu@example.com>"), QStringLiteral("Read"),
                     QDateTime::currentDateTime(), QMailMessageMetaData::Read);
    Shown now = shown();
    QCOMPARE(now.count, 3u);

    // Deleting mail that is not shown publishes nothing.
    QVERIFY(QMailStore::instance()->removeMessage(unpublished));
    QCOMPARE(shown().identifier, now.identifier);

    QVERIFY(QMailStore::instance()->removeMessage(theirs1));
    now = shown();
    QCOMPARE(now.count, 2u);
    // Still two accounts.
    QCOMPARE(now.arguments, QList<QVariant>());

    QVERIFY(QMailStore::instance()->removeAccount(other));
    now = shown();
    QCOMPARE(now.count, 1u);
    QCOMPARE(now.body, QStringLiteral("Mine"));
    QCOMPARE(now.arguments, iriArgument(QStringLiteral("/email#"), mine.toULongLong()));

    QVERIFY(QMailStore::instance()->removeMessage(mine));
    QCOMPARE(shown().notifications, 0);
}

void TestNewMail::dismissedThenNewMail()
{
    addMessage(inbox, QStringLiteral("Max <max@example.com>"), QStringLiteral("Old 1"));
    addMessage(inbox, QStringLiteral("Max <max@example.com>"), QStringLiteral("Old 2"));
    const QString line = server.waitForNewLine(QStringLiteral("body=\"2 new messages\""));
    const uint serverId = NotificationServerStandin::idIn(line);
    QVERIFY(serverId != 0);
    QTRY_VERIFY(server.shown().contains(serverId));
    QVERIFY(server.dismiss(serverId));
    QTRY_COMPARE(shown().notifications, 0);

    const QMailMessageId fresh
        = addMessage(inbox, QStringLiteral("Ned <ned@example.com>"), QStringLiteral("Fresh"));
    const Shown now = shown();
    QCOMPARE(now.count, 1u);
    QCOMPARE(now.summary, QStringLiteral("Ned"));
    QCOMPARE(now.arguments, iriArgument(QStringLiteral("/email#"), fresh.toULongLong()));
    QVERIFY(!server
                 .waitForNewLine(QRegularExpression(
                     QStringLiteral("^Notify id=\\d+ replaces=0 summary=\"Ned\" body=\"Fresh\"")))
                 .isEmpty());
}

void TestNewMail::longSummaryEndsWithEllipsis()
{
    const QDateTime base = wholeSeconds(QDateTime::currentDateTime().addDays(-1));
    QMailStore *store = QMailStore::instance();
    QVERIFY(store->startTransaction());
    for (int i = 1; i <= 12; ++i) {
        const QString name = QStringLiteral("Sender %1").arg(i, 2, 10, QLatin1Char('0'));
        addMessage(inbox, QStringLiteral("%1 <s%2@example.com>").arg(name).arg(i),
                   QStringLiteral("Subject %1").arg(i), base.addSecs(i * 60));
    }
    QVERIFY(store->commitTransaction());
    const Shown now = shown();
    QCOMPARE(now.count, 12u);
    QCOMPARE(now.body, QStringLiteral("12 new messages"));
    QCOMPARE(now.summary,
             QStringLiteral("Sender 01, Sender 02, Sender 03, Sender 04, Sender 05, "
                            "Sender 06, Sender 07, Sender 08, ..."));
    // The walk stopped at the ninth sender: later dates were not looked at.
    QCOMPARE(now.timestamp, base.addSecs(8 * 60));
}

void TestNewMail::messageWithoutSubject()
{
    addMessage(inbox, QStringLiteral("Oz <oz@example.com>"), QString());
    QCOMPARE(shown().body, QStringLiteral("(no subject)"));
}

void TestNewMail::displaySignalsWithdrawAndSuppress()
{
    addMessage(inbox, QStringLiteral("Pat <pat@example.com>"), QStringLiteral("Shown"));
    QVERIFY(!server.waitForNewLine(QStringLiteral("body=\"Shown\"")).isEmpty());
    QTRY_COMPARE(server.shown().size(), 1);

    emitAndDeliver(QStringLiteral("displayEntered"));
    QTRY_COMPARE(shown().notifications, 0);
    QTRY_COMPARE(server.shown(), QList<uint>());

    // Mail seen while the application is on display is never announced.
    addMessage(inbox, QStringLiteral("Quin <quin@example.com>"), QStringLiteral("While shown"));
    QCOMPARE(shown().notifications, 0);
    emitAndDeliver(QStringLiteral("displayFinished"));
    QCOMPARE(shown().notifications, 0);
    addMessage(inbox, QStringLiteral("Rex <rex@example.com>"), QStringLiteral("After"));
    const Shown now = shown();
    QCOMPARE(now.count, 1u);
    QCOMPARE(now.summary, QStringLiteral("Rex"));
}

void TestNewMail::notificationSignalsWithdrawEverything()
{
    addMessage(inbox, QStringLiteral("Sam <sam@example.com>"), QStringLiteral("Policy"));
    // One more notification of this process that the policy knows nothing of.
    MNotification stray(MNotification::EmailArrivedEvent, QStringLiteral("Stray"));
    stray.setIdentifier(QStringLiteral("stray"));
    QVERIFY(stray.publish());
    QTRY_COMPARE(server.shown().size(), 2);

    emitAndDeliver(QStringLiteral("notificationsDisabled"));
    QTRY_COMPARE(shown().notifications, 0);
    QTRY_COMPARE(server.shown(), QList<uint>());

    addMessage(inbox, QStringLiteral("Tom <tom@example.com>"), QStringLiteral("Muted"));
    QCOMPARE(shown().notifications, 0);
    emitAndDeliver(QStringLiteral("notificationsEnabled"));
    QCOMPARE(shown().notifications, 0);
    addMessage(inbox, QStringLiteral("Uma <uma@example.com>"), QStringLiteral("Heard"));
    QCOMPARE(shown().summary, QStringLiteral("Uma"));
    QCOMPARE(shown().count, 1u);
}

void TestNewMail::switchRecords()
{
    addMessage(inbox, QStringLiteral("Xan <xan@example.com>"), QStringLiteral("Switch"));
    const uint id
        = NotificationServerStandin::idIn(server.waitForNewLine(QStringLiteral("body=\"Switch\"")));
    QVERIFY(id != 0);

    NotificationRecords records;
    postvane->switchEmailMode(true);
    QVERIFY(!server.waitForNewLine(QStringLiteral("CloseNotification id=%1").arg(id)).isEmpty());
    postvane->switchEmailMode(true);
    postvane->switchEmailMode(false);
    postvane->switchEmailMode(false);
    postvane->enableNotifications(false);
    postvane->enableNotifications(false);
    postvane->enableNotifications(true);
    postvane->enableNotifications(true);
    // A switch into the suppressing state withdraws and says so; a call that
    // changes nothing only leaves its own record.
    const QStringList expected {
        QStringLiteral("Postvane::switchEmailMode( true )"),
        QStringLiteral("Notifications are disabled"),
        QStringLiteral("Postvane::switchEmailMode( true )"),
        QStringLiteral("Postvane::switchEmailMode( false )"),
        QStringLiteral("Notifications are enabled"),
        QStringLiteral("Postvane::switchEmailMode( false )"),
        QStringLiteral("Postvane::enableNotifications( false )"),
        QStringLiteral("Notifications are disabled"),
        QStringLiteral("Postvane::enableNotifications( false )"),
        QStringLiteral("Postvane::enableNotifications( true )"),
        QStringLiteral("Notifications are enabled"),
        QStringLiteral("Postvane::enableNotifications( true )"),
    };
    QCOMPARE(records.lines, expected);
}

void TestNewMail::policyRecords()
{
    const QMailFolderId plain = addFolder(account, QStringLiteral("Records"));
    NotificationRecords records;
    addMessage(inbox, QStringLiteral("Yul <yul@example.com>"), QStringLiteral("Seen"),
               QDateTime::currentDateTime(), QMailMessageMetaData::Read);
    addMessage(plain, QStringLiteral("Yul <yul@example.com>"), QStringLiteral("Filed"));
    addMessage(inbox, QStringLiteral("Yul <yul@example.com>"), QStringLiteral("Old"),
               QDateTime::currentDateTime().addDays(-200));
    const QMailMessageId kept
        = addMessage(inbox, QStringLiteral("Yul <yul@example.com>"), QStringLiteral("Kept"));
    QVERIFY(setMessageStatus(kept, QMailMessageMetaData::ReadElsewhere, true));
    QCOMPARE(shown().notifications, 0);

    const QString keptId = QStringLiteral("QMailMessageId(%1)").arg(kept.toULongLong());
    QCOMPARE(records.lines.size(), 7);
    QCOMPARE(records.lines.at(0),
             QStringLiteral("notifyNewItems: message ' \"Seen\" ' is ignored as already read"));
    QCOMPARE(records.lines.at(1),
             QStringLiteral("notifyNewItems: message ' \"Filed\" ' from the folder  "
                            "QMailFolderId(%1)  is ignored (folder check)")
                 .arg(plain.toULongLong()));
    // The local date and time of the message stand between "received" and "is".
    QVERIFY2(QRegularExpression(QStringLiteral("^notifyNewItems: message ' \"Old\" ' received  "
                                               "QDateTime\\(.+\\)  is too late to notify:  "
                                               "200  days $"))
                 .match(records.lines.at(2))
                 .hasMatch(),
             qPrintable(records.lines.at(2)));
    QCOMPARE(records.lines.at(3),
             QStringLiteral("notifyNewItems: d-bus argument is  QVariant(QStringList, "
                            "(\"%1/email#%2\"))")
                 .arg(iriBase)
                 .arg(kept.toULongLong()));
    QCOMPARE(records.lines.at(4),
             QStringLiteral("notifyNewItems: message with id  %1  is updated").arg(keptId));
    QCOMPARE(records.lines.at(5),
             QStringLiteral("notifyNewItems: message with id  %1  is found in the published list")
                 .arg(keptId));
    QCOMPARE(records.lines.at(6),
             QStringLiteral("notifyNewItems: message with id  %1  and subject ' \"Kept\" ' is "
                            "removed from notifications as already read")
                 .arg(keptId));
}

QTEST_GUILESS_MAIN(TestNewMail)
#include "tst_newmail.moc"
