// The daemon object's new-mail notification, driven through a real mail store
// in a temporary folder and the stand-in notification server on a private
// session bus. The daemon object lives in this process, so the notification
// layer's list can be read right after each store change. It has no Tracker
// database: new mail is notified all the same.

#include "mnotification.h"
#include "mremoteaction.h"
#include "postvane.h"
#include "qtn_mail.h"
#include "standins.h"
#include "storefixture.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <qmailstore.h>

#include <QtTest>

#include <memory>

using namespace StoreFixture;

namespace {

const QString iriBase = QStringLiteral("qmf://mail.brenmor.com/");

// The one notification this process has on display; none when it has none
// or several.
std::unique_ptr<MNotification> shownOne()
{
    QList<MNotification *> list = MNotification::notifications();
    std::unique_ptr<MNotification> one(list.size() == 1 ? list.takeFirst() : nullptr);
    qDeleteAll(list);
    return one;
}

// Its summary, body, count and launch argument ("email#<id>", "folder#<id>",
// "account#<id>" or empty); nothing when there is no one notification.
QStringList shown()
{
    const std::unique_ptr<MNotification> one = shownOne();
    if (!one) {
        return QStringList();
    }
    const QString iri = one->action().arguments().value(0).toStringList().value(0);
    return { one->summary(), one->body(), QString::number(one->count()),
             iri.startsWith(iriBase) ? iri.mid(iriBase.size()) : iri };
}

QString iri(const char *kind, quint64 id)
{
    return QString::fromLatin1(kind) + QLatin1Char('#') + QString::number(id);
}

} // namespace

class TestNewMail : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void published_data();
    void published();
    void filters_data();
    void filters();
    void announcedTwiceOrGone();
    void folderChangedToFavourite();
    void takenOff_data();
    void takenOff();
    void dismissedThenNewMail();

private:
    TestEnvironment env;
    NotificationServerStandin server;
    QScopedPointer<Postvane> postvane;
    QMailAccountId account;
    QMailFolderId inbox;
    QMailFolderId friends; // a favourite folder of the account
    QMailFolderId otherInbox; // of another account
    int publishes = 0;
};

void TestNewMail::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    QVERIFY(server.start());
    QVERIFY(qtn_mail::init_translation_package());
    // A data folder below a plain file: the mirror gets no database.
    QFile blocker(env.path(QStringLiteral("not-a-folder")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    qputenv("XDG_DATA_HOME", QFile::encodeName(blocker.fileName() + QStringLiteral("/data")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("cannot create the database folder"));
    QTest::ignoreMessage(QtCriticalMsg, "Unable to establish SPARQL connection");
    postvane.reset(new Postvane(nullptr));
    account = addAccount(QStringLiteral("Work"), &inbox);
    friends = addFolder(account, QStringLiteral("Friends"), QMailFolder::Favourite);
    QVERIFY(friends.isValid() && addAccount(QStringLiteral("Home"), &otherInbox).isValid());
}

void TestNewMail::init()
{
    postvane->enableNotifications(true);
    postvane->switchEmailMode(true);
    postvane->switchEmailMode(false);
    QCOMPARE(shown(), QStringList());
    // The server takes this process's calls in order: its "replying" comes
    // after the lines of all earlier calls.
    server.holdReplies(false);
    server.waitForNewLine("replying");
}

void TestNewMail::published_data()
{
    // Messages "place|from|subject|minutes ago"; shown "summary|body|minutes ago
    // of the newest|argument": email (of the first), folder, account or none.
    QTest::addColumn<QString>("messages"); // places: inbox, friends, other
    QTest::addColumn<QString>("expected");
    QTest::newRow("one message") << "inbox|Ann Smith <ann@x.org>|Hello|60"
                                 << "Ann Smith|Hello|60|email";
    QTest::newRow("one folder") << "inbox|Ann Smith <ann@x.org>|One|30;"
                                   "inbox|Ann Smith <ann@x.org>|Two|10;"
                                   "inbox|Bob Jones <bob@x.org>|Three|20"
                                << "Ann Smith, Bob Jones|3 new messages|10|folder";
    QTest::newRow("one account") << "inbox|Ann <ann@x.org>|A|5;friends|Cy <cy@x.org>|B|6"
                                 << "Ann, Cy|2 new messages|5|account";
    QTest::newRow("two accounts") << "inbox|Ann <ann@x.org>|A|5;other|Dee <dee@x.org>|B|6"
                                  << "Ann, Dee|2 new messages|5|";
    // A sender text that is part of an earlier one is not listed again, yet
    // its date counts.
    QTest::newRow("sender within an earlier one")
        << "inbox|Ann Smith <ann@x.org>|1|50;inbox|ann@x.org|2|40;"
           "inbox|Ann Smith <ann@x.org>|3|49;inbox|Bob <bob@x.org>|4|48"
        << "Ann Smith, Bob|4 new messages|40|folder";
    QTest::newRow("longer sender after a shorter one")
        << "inbox|cy@x.org|5|1;inbox|Cy <cy@x.org>|6|1"
        << "cy@x.org, Cy|2 new messages|1|folder";
    QTest::newRow("no subject") << "inbox|Oz <oz@x.org>||1"
                                << "Oz|(no subject)|1|email";
    // The walk stops at the ninth sender: later dates are not looked at.
    QStringList many;
    for (int i = 1; i <= 12; ++i) {
        many << QStringLiteral("inbox|Sender %1 <s%1@x.org>|S|%2")
                    .arg(i, 2, 10, QLatin1Char('0'))
                    .arg(100 - i);
    }
    QTest::newRow("long summary")
        << many.join(QLatin1Char(';'))
        << "Sender 01, Sender 02, Sender 03, Sender 04, Sender 05, "
           "Sender 06, Sender 07, Sender 08, ...|12 new messages|92|folder";
}

void TestNewMail::published()
{
    QFETCH(QString, messages);
    QFETCH(QString, expected);
    const QDateTime now = QDateTime::fromSecsSinceEpoch(QDateTime::currentSecsSinceEpoch());
    const QMap<QString, QMailFolderId> places { { QStringLiteral("inbox"), inbox },
                                                { QStringLiteral("friends"), friends },
                                                { QStringLiteral("other"), otherInbox } };
    QMailMessageId first;
    const QStringList list = messages.split(QLatin1Char(';'));
    for (const QString &message : list) {
        const QStringList field = message.split(QLatin1Char('|'));
        const QMailMessageId id = addMessage(places.value(field.at(0)), field.at(1), field.at(2),
                                             now.addSecs(-60 * field.at(3).toInt()));
        first = first.isValid() ? first : id;
    }
    const QStringList want = expected.split(QLatin1Char('|'));
    const QMap<QString, QString> arguments {
        { QStringLiteral("email"), iri("email", first.toULongLong()) },
        { QStringLiteral("folder"), iri("folder", inbox.toULongLong()) },
        { QStringLiteral("account"), iri("account", account.toULongLong()) },
    };
    QCOMPARE(shown(),
             QStringList({ want.at(0), want.at(1), QString::number(list.size()),
                           arguments.value(want.at(3)) }));
    const std::unique_ptr<MNotification> one = shownOne();
    QCOMPARE(one->timestamp(), now.addSecs(-60 * want.at(2).toInt()));
    // Every publish has an identifier of its own, counted from 0 in the process.
    publishes += list.size();
    QCOMPARE(one->identifier(), QStringLiteral("TavikNotification_%1").arg(publishes - 1));
}

void TestNewMail::filters_data()
{
    QTest::addColumn<quint64>("folderStatus"); // of a new folder; 0: the inbox
    QTest::addColumn<int>("ageDays"); // -1: no date
    QTest::addColumn<quint64>("status");
    QTest::addColumn<bool>("notified");

    const quint64 none = 0;
    const quint64 favourite = QMailFolder::Favourite;
    QTest::newRow("unread in inbox") << none << 0 << none << true;
    QTest::newRow("read") << none << 0 << quint64(QMailMessageMetaData::Read) << false;
    QTest::newRow("read elsewhere")
        << none << 0 << quint64(QMailMessageMetaData::ReadElsewhere) << false;
    QTest::newRow("sent folder") << quint64(QMailFolder::Sent) << 0 << none << false;
    QTest::newRow("trash folder") << quint64(QMailFolder::Trash) << 0 << none << false;
    QTest::newRow("ordinary folder") << quint64(QMailFolder::Incoming) << 0 << none << false;
    QTest::newRow("favourite folder") << favourite << 0 << none << true;
    QTest::newRow("favourite sent folder") << (favourite | QMailFolder::Sent) << 0 << none << true;
    QTest::newRow("180 days old") << none << 180 << none << true;
    QTest::newRow("181 days old") << none << 181 << none << false;
    QTest::newRow("without date") << none << -1 << none << true;
    QTest::newRow("dated in the future") << none << -3 << none << true;
}

void TestNewMail::filters()
{
    QFETCH(quint64, folderStatus);
    QFETCH(int, ageDays);
    QFETCH(quint64, status);
    QFETCH(bool, notified);
    QMailFolderId folder = inbox;
    if (folderStatus != 0) {
        folder = addFolder(account, QString::fromLatin1(QTest::currentDataTag()), folderStatus);
        const bool sent = folderStatus & QMailFolder::Sent;
        if (sent || (folderStatus & QMailFolder::Trash)) {
            QMailAccount mailAccount(account);
            mailAccount.setStandardFolder(sent ? QMailFolder::SentFolder : QMailFolder::TrashFolder,
                                          folder);
            QVERIFY(QMailStore::instance()->updateAccount(&mailAccount));
        }
    }
    const QDateTime date
        = ageDays == -1 ? QDateTime() : QDateTime::currentDateTime().addDays(-ageDays);
    const QMailMessageId id = addMessage(folder, "Eve <eve@example.com>", "F", date, status);
    QCOMPARE(shown().value(3), notified ? iri("email", id.toULongLong()) : QString());
    if (notified) {
        QCOMPARE(shownOne()->timestamp().isValid(), ageDays != -1);
    }
}

void TestNewMail::announcedTwiceOrGone()
{
    // Gone from the store before the daemon looked, and in no folder at all:
    // neither is shown.
    const QMailMessageIdList gone { QMailMessageId(987654) };
    QVERIFY(QMetaObject::invokeMethod(postvane.data(), "addMessages", Qt::DirectConnection,
                                      Q_ARG(QMailMessageIdList, gone)));
    QVERIFY(addMessage(QMailFolderId(), "Vic <v@example.com>", "N").isValid());
    QCOMPARE(shown(), QStringList());

    const QMailMessageId id = addMessage(inbox, "Wes <wes@example.com>", "Twice");
    const QMailMessageIdList twice { id, id };
    QVERIFY(QMetaObject::invokeMethod(postvane.data(), "addMessages", Qt::DirectConnection,
                                      Q_ARG(QMailMessageIdList, twice)));
    QCOMPARE(shown(), QStringList({ "Wes", "Twice", "1", iri("email", id.toULongLong()) }));
}

void TestNewMail::folderChangedToFavourite()
{
    const QMailFolderId lists = addFolder(account, QStringLiteral("Lists"));
    addMessage(lists, "Gil <gil@example.com>", "Before");
    QCOMPARE(shown(), QStringList());
    QVERIFY(setFolderStatus(lists, QMailFolder::Favourite, true));
    addMessage(lists, "Gil <gil@example.com>", "After");
    QCOMPARE(shown().value(1), QStringLiteral("After"));
}

void TestNewMail::takenOff_data()
{
    QTest::addColumn<QString>("change"); // made to the first of two shown messages
    QTest::addColumn<bool>("off");
    QTest::newRow("read elsewhere") << "read elsewhere" << true;
    QTest::newRow("deleted") << "deleted" << true;
    QTest::newRow("account removed") << "account removed" << true;
    QTest::newRow("renamed") << "renamed" << false;
    QTest::newRow("unshown mail deleted") << "unshown mail deleted" << false;
}

void TestNewMail::takenOff()
{
    QFETCH(QString, change);
    QFETCH(bool, off);
    QMailStore *store = QMailStore::instance();
    QMailFolderId spareInbox;
    const QMailAccountId spare = addAccount(QStringLiteral("Spare"), &spareInbox);
    const QMailMessageId first = addMessage(spareInbox, "Kim <kim@example.com>", "First");
    const QMailMessageId second = addMessage(inbox, "Jo <jo@example.com>", "Second");
    const QMailMessageId unshown
        = addMessage(inbox, "Lu <lu@example.com>", "Read", QDateTime::currentDateTime(),
                     QMailMessageMetaData::Read);
    const QString before = shownOne()->identifier();
    const uint serverId = server.waitForNotify("replaces=0 summary=\"Kim\"");

    QMailMessageMetaData renamed = store->messageMetaData(first);
    renamed.setSubject(QStringLiteral("Renamed"));
    const QMap<QString, std::function<bool()>> changes {
        { QStringLiteral("read elsewhere"),
          [&] { return setMessageStatus(first, QMailMessageMetaData::ReadElsewhere, true); } },
        { QStringLiteral("deleted"), [&] { return store->removeMessage(first); } },
        { QStringLiteral("account removed"), [&] { return store->removeAccount(spare); } },
        { QStringLiteral("renamed"), [&] { return store->updateMessage(&renamed); } },
        { QStringLiteral("unshown mail deleted"), [&] { return store->removeMessage(unshown); } },
    };
    QVERIFY(changes.value(change)());
    if (!off) {
        // Nothing published again.
        QCOMPARE(shownOne()->identifier(), before);
        QCOMPARE(shown().value(2), QStringLiteral("2"));
        return;
    }
    QCOMPARE(shown(), QStringList({ "Jo", "Second", "1", iri("email", second.toULongLong()) }));
    QVERIFY(!server.waitForNewLine(QStringLiteral("replaces=%1 summary=\"Jo\"").arg(serverId))
                 .isEmpty());
    // The last one taken off withdraws the notification.
    QVERIFY(setMessageStatus(second, QMailMessageMetaData::Read, true));
    QCOMPARE(shown(), QStringList());
    QVERIFY(server.waitForClose(serverId));
    store->removeAccount(spare);
}

void TestNewMail::dismissedThenNewMail()
{
    addMessage(inbox, "Max <max@example.com>", "Old 1");
    addMessage(inbox, "Max <max@example.com>", "Old 2");
    const uint serverId = server.waitForNotify("replaces=0");
    QVERIFY(!server.waitForNewLine("\"2 new messages\"").isEmpty());
    QVERIFY(server.dismiss(serverId));
    QVERIFY(waitUntil([] { return shown().isEmpty(); }));

    const QMailMessageId fresh = addMessage(inbox, "Ned <ned@example.com>", "Fresh");
    QCOMPARE(shown(), QStringList({ "Ned", "Fresh", "1", iri("email", fresh.toULongLong()) }));
    QVERIFY(server.waitForNotify("replaces=0 summary=\"Ned\"") > serverId);
}

QTEST_GUILESS_MAIN(TestNewMail)
#include "tst_newmail.moc"
