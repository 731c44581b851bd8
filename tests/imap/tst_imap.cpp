#include "accountsfixture.h"
#include "dovecot.h"
#include "maildirfixture.h"
#include "processrunner.h"
#include "settingswriter.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <qmailaccount.h>
#include <qmailstore.h>
#include <qmailwiretypes.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QSslCertificate>
#include <QtTest>

namespace {

const QString Service = QStringLiteral("com.brenmor.qmf.MessageServer");
const QString Path = QStringLiteral("/com/brenmor/qmf/MessageServer");

QByteArray mail(const QString &subject, const QString &to = QStringLiteral("ann@example.org"))
{
    return "From: Bob <bob@example.org>\nTo: " + to.toUtf8() + "\nSubject: " + subject.toUtf8()
        + "\nDate: Mon, 1 Dec 2025 10:00:00 +0000\nMessage-ID: <" + subject.toUtf8()
        + "@test>\n\nHello.\n";
}

QMailMessageId queue(quint32 account, const QString &subject, const QString &to)
{
    QMailMessage message = QMailMessage::fromRfc2822(mail(subject, to));
    message.setParentAccountId(QMailAccountId(account));
    message.setStatus(QMailMessageMetaData::Outbox | QMailMessageMetaData::Outgoing, true);
    QMailStore::instance()->addMessage(&message);
    return message.id();
}

} // namespace

class TestImap : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void cleanup() { mFailed = mFailed || QTest::currentTestFailed(); }
    void failures_data();
    void failures();
    void sync();
    void wholeFolder();
    void moves_data();
    void moves();
    void folderGone();
    void send_data();
    void send();
    void push();
    void passwordRefused_data();
    void passwordRefused();

public Q_SLOTS:
    void onStatus(qulonglong id, int code, const QString &text, qulonglong, qulonglong, qulonglong)
    {
        mCodes.insert(id, code);
        mTexts.insert(id, text);
    }
    void onActivity(qulonglong id, int activity) { (activity >= 2 ? mEnded : mRunning).insert(id); }

private:
    quint64 request(const QString &method, const QList<QVariant> &arguments);
    int outcome(quint64 action);
    int folderList(quint32 account);
    int messageList(quint32 account, const QMailFolderId &folder, uint minimum = 20);
    QMailFolderId folder(quint32 account, const QString &path);
    QHash<QString, QMailMessageMetaData> messages(const QMailFolderId &folder);

    TestEnvironment mEnv;
    Dovecot mDovecot;
    ProcessRunner mServer;
    QHash<quint64, int> mCodes;
    QHash<quint64, QString> mTexts;
    QSet<quint64> mRunning;
    QSet<quint64> mEnded;
    quint32 mAccount = 0;
    bool mFailed = false;
};

void TestImap::initTestCase()
{
    QVERIFY(mEnv.isValid());
    qDBusRegisterMetaType<QMailSortElementList>();
    qDBusRegisterMetaType<QList<qulonglong>>();
    // Dovecot's own users must reach their mail folder below ours.
    QVERIFY(QFile::setPermissions(mEnv.root(),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                      | QFile::ExeGroup | QFile::ExeOther));
    QVERIFY(mEnv.startSessionBus());
    QVERIFY(AccountsFixture::setUp(mEnv));
    QVERIFY(mDovecot.start(mEnv.path(QStringLiteral("dovecot"))));
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(bus.connect(QString(), Path, Service, QStringLiteral("ActivityChanged"), this,
                        SLOT(onActivity(qulonglong, int))));
    QVERIFY(
        bus.connect(QString(), Path, Service, QStringLiteral("StatusChanged"), this,
                    SLOT(onStatus(qulonglong, int, QString, qulonglong, qulonglong, qulonglong))));
    // Its log goes with a failure's report.
    QVERIFY(writeSettings(mEnv.path(QStringLiteral("home/.config/Brenmor/MessageServer.conf")),
                          { { QStringLiteral("StdStreamLog/Enabled"), 1 },
                            { QStringLiteral("Log categories/MessageServer"), 1 } }));
    QVERIFY(mServer.start(TestEnvironment::binary(QStringLiteral("messageserver"))));
    QVERIFY(waitUntil([] {
        return QDBusConnection::sessionBus().interface()->isServiceRegistered(Service).value();
    }));
    QVERIFY(QMailStore::instance());
    mAccount = mDovecot.addAccount();
    QVERIFY(Dovecot::mirrored(mAccount));
}

void TestImap::cleanupTestCase()
{
    mDovecot.stop();
    // A clean end with sessions and watchers open (and nothing leaked under ASan).
    const bool ended = mServer.terminate();
    if (mFailed || !ended || mServer.exitCode() != 0) {
        qInfo().noquote() << "Message server:" << mServer.lines().join(QLatin1Char('\n'));
        QFile log(mEnv.path(QStringLiteral("dovecot/log")));
        if (log.open(QIODevice::ReadOnly)) {
            qInfo().noquote() << "Dovecot:" << log.readAll();
        }
    }
    QVERIFY(ended);
    QCOMPARE(mServer.exitCode(), 0);
}

quint64 TestImap::request(const QString &method, const QList<QVariant> &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, method);
    call.setArguments(arguments);
    return QDBusConnection::sessionBus().call(call).arguments().value(0).toULongLong();
}

int TestImap::outcome(quint64 action)
{
    return waitUntil([&] { return mEnded.contains(action); }, 60000) ? mCodes.value(action) : -1;
}

int TestImap::folderList(quint32 account)
{
    return outcome(request("RetrieveFolderList", { qulonglong(account), qulonglong(0), true }));
}

int TestImap::messageList(quint32 account, const QMailFolderId &folder, uint minimum)
{
    const QList<qulonglong> folders
        = folder.isValid() ? QList<qulonglong> { folder.toULongLong() } : QList<qulonglong>();
    return outcome(request("RetrieveMessageLists",
                           { qulonglong(account), QVariant::fromValue(folders), minimum,
                             QVariant::fromValue(QMailSortElementList()) }));
}

QMailFolderId TestImap::folder(quint32 account, const QString &path)
{
    return QMailStore::instance()
        ->queryFolders(QMailFolderKey::parentAccountId(QMailAccountId(account))
                       & QMailFolderKey::path(path))
        .value(0);
}

QHash<QString, QMailMessageMetaData> TestImap::messages(const QMailFolderId &folder)
{
    QHash<QString, QMailMessageMetaData> bySubject;
    const auto ids = QMailStore::instance()->queryMessages(QMailMessageKey::parentFolderId(folder));
    for (const QMailMessageId &id : ids) {
        const QMailMessageMetaData message(id);
        bySubject.insert(message.subject(), message);
    }
    return bySubject;
}

void TestImap::failures_data()
{
    QTest::addColumn<QString>("server"); // "dovecot", "closed" or a fakeimap.py mode
    QTest::addColumn<QStringList>("settings");
    QTest::addColumn<int>("code");
    auto row = [](const char *name, const char *server, const QStringList &settings, int code) {
        QTest::newRow(name) << server << settings << code;
    };
    row("wrong password", "dovecot", { "string:password=wrong" }, 1029);
    row("no password stored", "dovecot", { "string:password=" }, 1037);
    row("untrusted certificate", "dovecot", { "string:certificateSha256=" }, 1037);
    const QString imaps = QString::number(mDovecot.imaps);
    const QStringList starttls { "int:imap/port=" + QString::number(mDovecot.imap),
                                 "string:imap/encryption=starttls" };
    row("STARTTLS works", "dovecot", starttls, 0);
    row("STARTTLS, untrusted certificate", "dovecot",
        starttls + QStringList { "string:certificateSha256=" }, 1037);
    row("stopped server", "closed", {}, 1034);
    row("cleartext to another host", "closed", { "string:imap/host=192.0.2.1" }, 1037);
    row("no answer", "silent", {}, 1040);
    row("unparseable answer", "garbage", {}, 1028);
    row("mailbox in use", "locked", {}, 1035);
    row("cancelled while waiting", "silent", { "int:timeout=600" }, 1030);
    row("a certificate other than the pinned one", "tls", {}, 1037);
    row("SMTP: stopped server", "closed", { "int:smtp/port=%1", "int:imap/port=" + imaps }, 1034);
    row("SMTP: a certificate other than the pinned one", "smtptls",
        { "int:smtp/port=%1", "string:smtp/encryption=tls", "int:imap/port=" + imaps }, 1037);
}

void TestImap::failures()
{
    QFETCH(QString, server);
    QFETCH(QStringList, settings);
    QFETCH(int, code);
    QProcess fake;
    QString port = QString::number(mDovecot.imaps);
    if (server == QLatin1String("closed")) {
        port = QString::number(freePorts().first());
        settings.prepend(QStringLiteral("string:imap/encryption=none"));
    } else if (server != QLatin1String("dovecot")) {
        fake.start("/usr/bin/python3",
                   { TestEnvironment::sourcePath("tests/imap/fakeimap.py"), server, mEnv.root() });
        QVERIFY(fake.waitForReadyRead(10000));
        port = QString::fromLatin1(fake.readLine().trimmed());
        if (!server.endsWith(QLatin1String("tls"))) {
            settings = QStringList { "string:imap/encryption=none", "int:timeout=2" } + settings;
        }
    }
    const bool sending = settings.contains(QStringLiteral("int:smtp/port=%1"));
    settings.replaceInStrings(QStringLiteral("%1"), port);
    const quint32 account = mDovecot.addAccount(QStringList { "int:imap/port=" + port } + settings);
    QVERIFY(Dovecot::mirrored(account));
    int result = -1;
    if (sending) {
        queue(account, QStringLiteral("refused-certificate"), QStringLiteral("ann@example.org"));
        result = outcome(request("TransmitMessages", { qulonglong(account) }));
    } else if (code == 1030) {
        const quint64 action
            = request("RetrieveFolderList", { qulonglong(account), qulonglong(0), true });
        QVERIFY(waitUntil([&] { return mRunning.contains(action); }));
        QVERIFY(request("CancelAction", { action }));
        result = outcome(action);
    } else if ((result = folderList(account)) == 0) {
        result = messageList(account, folder(account, QStringLiteral("INBOX")));
    }
    QCOMPARE(result, code);
    if (code == 1029) {
        // A refused login is not tried again while the settings stay the same.
        const quint64 again
            = request("RetrieveFolderList", { qulonglong(account), qulonglong(0), true });
        QCOMPARE(outcome(again), 1029);
        QVERIFY(mTexts.value(again).contains(QLatin1String("not tried again")));
        // Until the user stores a new password.
        QVERIFY(Dovecot::setPassword(account, QStringLiteral("secret")));
        QCOMPARE(folderList(account), 0);
    }
    if (server.endsWith(QLatin1String("tls"))) {
        // The login's connection closed with nothing sent: no LOGIN or AUTH,
        // no password; the failure names the certificate's fingerprint.
        QByteArray seen;
        const bool closed
            = waitUntil([&] { return (seen += fake.readAll()).contains("connection 1 closed"); });
        QVERIFY2(closed && !seen.contains(" sent "), seen.constData());
        const auto other = QSslCertificate::fromPath(mEnv.path(QStringLiteral("other.pem")));
        const QByteArray digest = other.value(0).digest(QCryptographicHash::Sha256).toHex();
        QVERIFY(QStringList(mTexts.values()).join('\n').contains("SHA-256 " + digest));
    }
    fake.kill();
    fake.waitForFinished();
}

void TestImap::sync()
{
    // The last with 8-bit text and the line ends IMAP sends.
    const QByteArray odd
        = QByteArray(mail("m3") + "Gr\xfc\xdf \xff\x80 =?x?\n").replace("\n", "\r\n");
    const qint64 saving = QDateTime::currentSecsSinceEpoch();
    for (const QByteArray &text : { mail("m1"), mail("m2"), odd }) {
        QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, text).isNull());
    }
    const qint64 saved = QDateTime::currentSecsSinceEpoch();
    QCOMPARE(folderList(mAccount), 0);
    const QMailFolderId inbox = folder(mAccount, QStringLiteral("INBOX"));

    // The first look takes the whole folder, whatever minimum is asked for,
    // each message as the server sent it.
    QCOMPARE(messageList(mAccount, inbox, 2), 0);
    QHash<QString, QMailMessageMetaData> held = messages(inbox);
    QCOMPARE(QSet<QString>(held.keyBegin(), held.keyEnd()), QSet<QString>({ "m1", "m2", "m3" }));
    QCOMPARE(held.value("m3").serverUid(), QStringLiteral("3"));
    QCOMPARE(QMailMessage(held.value("m3").id()).toRfc2822(), odd);
    // Received when the server received it.
    const qint64 received = held.value("m3").receivedDate().toUTC().toSecsSinceEpoch();
    QVERIFY2(received >= saving && received <= saved, qPrintable(QString::number(received)));
    // Nothing changed on the server: nothing changes here.
    QCOMPARE(messageList(mAccount, inbox), 0);
    QCOMPARE(messages(inbox).size(), 3);

    // Read on the server: only the flags changed since the last look come.
    QVERIFY(
        !mDovecot.doveadm({ "flags", "add", "-u", "ann", "\\Seen", "mailbox", "INBOX", "uid", "1" })
             .isNull());
    QCOMPARE(messageList(mAccount, inbox), 0);
    QVERIFY(messages(inbox).value("m1").status() & QMailMessageMetaData::Read);
    QVERIFY(mServer.waitForLine(
        QStringLiteral("folder %1 flags of 1 messages changed since").arg(inbox.toULongLong())));
    // Expunged there: gone here (the count tells, and the whole folder is listed).
    QVERIFY(!mDovecot.doveadm({ "expunge", "-u", "ann", "mailbox", "INBOX", "uid", "2" }).isNull());
    QCOMPARE(messageList(mAccount, inbox), 0);
    held = messages(inbox);
    QCOMPARE(QSet<QString>(held.keyBegin(), held.keyEnd()), QSet<QString>({ "m1", "m3" }));
    // A state file of the layout before UIDNEXT (INBOX alone in it): listed whole.
    QFile state(QMailStore::instance()->storagePath() + "/messageserver/imap-"
                + QString::number(mAccount));
    QVERIFY(state.open(QIODevice::ReadWrite));
    QByteArray layout4 = state.readAll().replace(4, 4, QByteArray::fromHex("00000004"));
    layout4.chop(8);
    QVERIFY(state.seek(0) && state.write(layout4) > 0 && state.resize(layout4.size()));
    QVERIFY(
        !mDovecot
             .doveadm({ "flags", "add", "-u", "ann", "\\Flagged", "mailbox", "INBOX", "uid", "1" })
             .isNull());
    QCOMPARE(messageList(mAccount, inbox), 0);
    QVERIFY(messages(inbox).value("m1").status() & QMailMessageMetaData::Important);

    // Read and deleted here: the same on the server after export.
    QMailMessageMetaData m3 = held.value("m3");
    m3.setStatus(QMailMessageMetaData::Read, true);
    QVERIFY(QMailStore::instance()->updateMessage(&m3));
    QVERIFY(QMailStore::instance()->removeMessage(held.value("m1").id(),
                                                  QMailStore::CreateRemovalRecord));
    QCOMPARE(outcome(request("ExportUpdates", { qulonglong(mAccount) })), 0);
    QCOMPARE(mDovecot.fetch("uid flags", "INBOX", { "all" }), QStringLiteral("uid=3 flags=\\Seen"));
    // With a message another client flagged \Deleted, EXPUNGE would take
    // that one too: ours stays flagged, and out of the store.
    for (const char *subject : { "mine", "theirs" }) {
        QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, mail(subject)).isNull());
    }
    QCOMPARE(messageList(mAccount, inbox), 0);
    QVERIFY(
        !mDovecot
             .doveadm({ "flags", "add", "-u", "ann", "\\Deleted", "mailbox", "INBOX", "uid", "5" })
             .isNull());
    QVERIFY(QMailStore::instance()->removeMessage(messages(inbox).value("mine").id(),
                                                  QMailStore::CreateRemovalRecord));
    QCOMPARE(outcome(request("ExportUpdates", { qulonglong(mAccount) })), 0);
    QCOMPARE(mDovecot.fetch("uid", "INBOX", { "deleted" }), QStringLiteral("uid=4\nuid=5"));

    // A new UIDVALIDITY: the folder is fetched afresh, but a message with a
    // change not yet exported keeps it (and stays once).
    QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, mail("m5")).isNull());
    QCOMPARE(messageList(mAccount, inbox), 0);
    QMailMessageMetaData m5 = messages(inbox).value("m5");
    m5.setStatus(QMailMessageMetaData::Important, true);
    QVERIFY(QMailStore::instance()->updateMessage(&m5));
    QVERIFY(!mDovecot.doveadm({ "mailbox", "update", "-u", "ann", "--uid-validity", "77", "INBOX" })
                 .isNull());
    QCOMPARE(messageList(mAccount, inbox), 0);
    held = messages(inbox);
    QCOMPARE(QMailStore::instance()->countMessages(QMailMessageKey::parentFolderId(inbox)), 2);
    QVERIFY(held.value("m3").id() != m3.id());
    QCOMPARE(held.value("m5").id(), m5.id());
    QCOMPARE(outcome(request("ExportUpdates", { qulonglong(mAccount) })), 0);
    QCOMPARE(mDovecot.fetch("flags", "INBOX", { "header", "Message-ID", "m5@test" }),
             QStringLiteral("flags=\\Flagged"));
}

void TestImap::wholeFolder()
{
    // Straight into the Maildir; a file's time is when it arrived: half 60 days ago.
    const QString big = mEnv.path(QStringLiteral("dovecot/home/ann/Maildir/.Big/"));
    for (int i = 0; i < 2000; ++i) {
        QFile file(big + QStringLiteral("cur/%1.big:2,").arg(i));
        QVERIFY(QDir().mkpath(big + "cur") && file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(mail(QStringLiteral("big%1").arg(i))) > 0 && file.flush());
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(i < 1000 ? -60 : 0),
                                 QFileDevice::FileModificationTime));
    }
    QVERIFY(QDir().mkpath(big + "tmp"));
    QVERIFY(!run("chown", { "-R", "--reference=" + big + "..", big }).isNull()); // Dovecot's user
    // Everything, and with syncDays only what the server received since.
    for (const int days : { 0, 30 }) {
        const quint32 account = mDovecot.addAccount({ "int:syncDays=" + QString::number(days) });
        QVERIFY(Dovecot::mirrored(account));
        QCOMPARE(folderList(account), 0);
        const QMailFolderId folderId = folder(account, QStringLiteral("Big"));
        QCOMPARE(messageList(account, folderId), 0);
        QCOMPARE(messages(folderId).size(), days == 0 ? 2000 : 1000);
        // Newest first: the highest number was stored first.
        const QMailMessageIdList first = QMailStore::instance()->queryMessages(
            QMailMessageKey::parentFolderId(folderId), QMailMessageSortKey::id(), 1);
        QCOMPARE(QMailMessageMetaData(first.value(0)).serverUid(), QStringLiteral("2000"));
    }
}

void TestImap::moves_data()
{
    // The account that holds the copy first: "imap", "nomove" (an IMAP
    // account whose server has no MOVE) or "maildir" (moved into ours;
    // "refused": the first move, into a folder gone from the server, fails).
    QTest::addColumn<QString>("from");
    QTest::addColumn<QString>("to"); // a folder of the IMAP account, "outbox", or another account
    QTest::addColumn<QString>("away"); // where the server's copy is then (%1: its uid)
    QTest::addColumn<QString>("left"); // where a copy stays flagged \Deleted
    const QString trash = QStringLiteral("mailbox=Trash uid=%1 flags=\\Seen");
    auto row = [](const char *name, const char *from, const char *to, const QString &away,
                  const char *left) { QTest::newRow(name) << from << to << away << left; };
    row("within the account and back", "imap", "Trash", trash, "");
    // INBOX holds another client's \Deleted message (sync()): no EXPUNGE
    // there; in Trash the move's copy is expunged.
    row("without MOVE, within the account and back", "nomove", "Trash", trash, "mailbox=INBOX");
    row("to the outbox and back", "imap", "outbox", "mailbox=INBOX uid=%1 flags=", "");
    row("to a Maildir account", "imap", "maildir", "", "mailbox=INBOX");
    row("to another IMAP account", "imap", "imap", "mailbox=Drafts uid=%1 flags=\\Seen",
        "mailbox=INBOX");
    row("from a Maildir account", "maildir", "Trash", trash, "");
    row("from a Maildir account, refused first", "refused", "Trash", trash, "");
}

void TestImap::moves()
{
    // Moved in the store (read first), exported and listed again: the
    // message is once in the store and at most once on the server.
    QFETCH(QString, from);
    QFETCH(QString, to);
    QFETCH(QString, away);
    QFETCH(QString, left);
    QMailStore *store = QMailStore::instance();
    quint32 account = mAccount; // the IMAP account that exports
    if (from == QLatin1String("nomove")) {
        account = mDovecot.addAccount({ "string:imap/host=127.0.0.2" });
        QVERIFY(Dovecot::mirrored(account));
        QCOMPARE(folderList(account), 0);
    }
    const QMailFolderId inbox = folder(account, QStringLiteral("INBOX"));
    QMailFolderIdList steps {
        to == QLatin1String("outbox")
            ? QMailAccount(QMailAccountId(account)).standardFolder(QMailFolder::OutboxFolder)
            : folder(account, to),
        inbox
    };
    quint32 holder = account;
    const bool fromMaildir = from == QLatin1String("maildir") || from == QLatin1String("refused");
    const QString maildir = mEnv.path(QStringLiteral("maildir-") + from);
    const QString subject = QStringLiteral("moving-%1-%2").arg(from, to);
    if (to == QLatin1String("maildir") || fromMaildir) {
        QVERIFY(MaildirFixture::make(maildir));
        const quint32 other = AccountsFixture::createAccount(QStringLiteral("local-mail"));
        const QString id = QString::number(other);
        AccountsFixture::agTool(
            { "update-service", id, "local-email", "string:maildir=" + maildir });
        AccountsFixture::agTool({ "enable-service", id, "local-email" });
        QVERIFY(waitUntil(
            [&] { return QMailAccount(QMailAccountId(other)).status() & QMailAccount::Enabled; }));
        QCOMPARE(folderList(other), 0);
        steps = { folder(other, QStringLiteral("INBOX")) };
        if (fromMaildir) {
            QVERIFY(MaildirFixture::deliver(maildir, "1764583200.M1P1.test", mail(subject)));
            QCOMPARE(messageList(account, QMailFolderId()), 0);
            steps = { folder(account, to) };
            holder = other;
        }
    } else if (to == QLatin1String("imap")) {
        // The same mailboxes seen as a second account: only INBOX is listed here then.
        const quint32 other = mDovecot.addAccount();
        QVERIFY(Dovecot::mirrored(other));
        QCOMPARE(folderList(other), 0);
        QCOMPARE(messageList(other, QMailFolderId()), 0);
        steps = { folder(other, QStringLiteral("Drafts")) };
    }
    if (holder == account) {
        QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, mail(subject)).isNull());
    }
    QCOMPARE(messageList(holder, QMailFolderId()), 0);
    QMailMessageMetaData message(store->queryMessages(QMailMessageKey::subject(subject)).value(0));
    message.setStatus(QMailMessageMetaData::Read, true);
    QVERIFY(store->updateMessage(&message));
    if (from == QLatin1String("refused")) {
        // The APPEND is refused: the file, the store and the move stay as they were.
        const QStringList gone { "-u", "ann", "Refusing" };
        QVERIFY(!mDovecot.doveadm(QStringList { "mailbox", "create" } + gone).isNull());
        QCOMPARE(folderList(account), 0);
        QCOMPARE(messageList(account, QMailFolderId()), 0);
        QVERIFY(
            store->moveMessages(QMailMessageKey::id(message.id()), folder(account, "Refusing")));
        QVERIFY(!mDovecot.doveadm(QStringList { "mailbox", "delete" } + gone).isNull());
        QCOMPARE(outcome(request("ExportUpdates", { qulonglong(account) })), 1028);
        QVERIFY(!MaildirFixture::fileName(maildir + "/new", "1764583200.M1P1.test").isEmpty());
        QCOMPARE(store->messageOrigins(QMailAccountId(holder)).size(), 1);
        QCOMPARE(folderList(account), 0);
    }
    for (const QMailFolderId &step : qAsConst(steps)) {
        QVERIFY(store->moveMessages(QMailMessageKey::id(message.id()), step));
        QCOMPARE(outcome(request("ExportUpdates", { qulonglong(account) })), 0);
        QCOMPARE(messageList(account, to == QLatin1String("imap") ? inbox : QMailFolderId()), 0);
        QVERIFY(holder == account || messageList(holder, QMailFolderId()) == 0);
        QCOMPARE(store->countMessages(QMailMessageKey::subject(subject)), 1);
        message = QMailMessageMetaData(message.id());
        QCOMPARE(message.parentFolderId(), step);
        const QString expected
            = step == inbox ? QStringLiteral("mailbox=INBOX uid=%1 flags=\\Seen") : away;
        // Copies flagged \Deleted are gone for every client (the move's is
        // expunged only with nobody else's flagged).
        QCOMPARE(mDovecot
                     .doveadm({ "-f", "flow", "fetch", "-u", "ann", "mailbox uid flags",
                                "undeleted", "header", "Message-ID", subject + "@test" })
                     .remove(QRegularExpression(" ?\\\\Recent"))
                     .trimmed(),
                 expected.isEmpty() ? expected : expected.arg(message.serverUid()));
    }
    QCOMPARE(
        mDovecot.fetch("mailbox", "*", { "deleted", "header", "Message-ID", subject + "@test" }),
        left);
    if (to == QLatin1String("maildir")) {
        QVERIFY(!MaildirFixture::fileName(maildir + "/cur", message.serverUid()).isEmpty());
    } else if (fromMaildir) {
        // The file is gone, with nothing left to do about it.
        QVERIFY(QDir(maildir + "/new").isEmpty() && QDir(maildir + "/cur").isEmpty());
        QVERIFY(store->messageRemovalRecords(QMailAccountId(holder)).isEmpty());
        QVERIFY(store->messageOrigins(QMailAccountId(holder)).isEmpty());
    }
}

void TestImap::folderGone()
{
    // A folder deleted on the server by another client and made again: a
    // message filed in it in the store only, and one with a change not yet
    // exported, are still there.
    QMailStore *store = QMailStore::instance();
    const QStringList gone { "-u", "ann", "Gone" };
    QVERIFY(!mDovecot.doveadm(QStringList { "mailbox", "create" } + gone).isNull());
    QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "Gone" }, mail("flagged")).isNull());
    QCOMPARE(folderList(mAccount), 0);
    QCOMPARE(messageList(mAccount, folder(mAccount, "Gone")), 0);
    QMailMessageMetaData flagged = messages(folder(mAccount, "Gone")).value("flagged");
    flagged.setStatus(QMailMessageMetaData::Important, true);
    QVERIFY(store->updateMessage(&flagged));
    QMailMessage filed = QMailMessage::fromRfc2822(mail("filed"));
    filed.setParentAccountId(QMailAccountId(mAccount));
    filed.setParentFolderId(folder(mAccount, "Gone"));
    QVERIFY(store->addMessage(&filed));
    QVERIFY(!mDovecot.doveadm(QStringList { "mailbox", "delete" } + gone).isNull());
    QCOMPARE(folderList(mAccount), 0);
    QVERIFY(!mDovecot.doveadm(QStringList { "mailbox", "create" } + gone).isNull());
    QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "Gone" }, mail("flagged")).isNull());
    QCOMPARE(folderList(mAccount), 0);
    QCOMPARE(messageList(mAccount, folder(mAccount, "Gone")), 0);
    QCOMPARE(store->countMessages(QMailMessageKey::subject("flagged")), 1);
    QCOMPARE(store->countMessages(QMailMessageKey::subject("filed")), 1);
    QVERIFY(store->messageMetaData(flagged.id()).status() & QMailMessageMetaData::Important);
}

void TestImap::send_data()
{
    QTest::addColumn<QStringList>("settings"); // of a new account; none: the first one
    QTest::addColumn<int>("code"); // 1038: sent to a recipient the server refuses
    QTest::addColumn<QStringList>("copies"); // the mailboxes that then hold the message
    QTest::addColumn<int>("receiving"); // the folder list's outcome, before and after
    QTest::newRow("through submission")
        << QStringList() << 0 << QStringList { "INBOX", "Sent" } << 0;
    QTest::newRow("refused recipient: stays queued") << QStringList() << 1038 << QStringList() << 0;
    QTest::newRow("relay without login")
        << QStringList { "int:smtp/port=" + QString::number(mDovecot.relay),
                         "string:smtp/encryption=none", "string:smtp/authentication=none" }
        << 0 << QStringList { "INBOX", "Sent" } << 0;
    QTest::newRow("IMAP login refused: sent, no copy in Sent")
        << QStringList { "string:imap/username=nobody", "string:smtp/username=ann" } << 1029
        << QStringList { "INBOX" } << 1029;
}

void TestImap::send()
{
    QFETCH(QStringList, settings);
    QFETCH(int, code);
    QFETCH(QStringList, copies);
    QFETCH(int, receiving);
    const quint32 account = settings.isEmpty() ? mAccount : mDovecot.addAccount(settings);
    QVERIFY(Dovecot::mirrored(account));
    QCOMPARE(folderList(account), receiving);
    const QString id = QStringLiteral("sent-")
        + QString::fromLatin1(QTest::currentDataTag()).remove(QRegularExpression("[^A-Za-z]"));
    const auto message
        = queue(account, id, code == 1038 ? "nobody@example.org" : "ann@example.org");
    QCOMPARE(outcome(request("TransmitMessages", { qulonglong(account) })), code);
    for (const char *mailbox : { "INBOX", "Sent" }) {
        QCOMPARE(mDovecot.fetch("hdr.subject", mailbox, { "header", "Message-ID", id + "@test" }),
                 copies.contains(mailbox) ? "hdr.subject=" + id : QString());
    }
    // A message that went out leaves the outbox; one that did not stays queued.
    const QMailMessageMetaData stored(message);
    QCOMPARE(bool(stored.status() & QMailMessageMetaData::Outbox), copies.isEmpty());
    QCOMPARE(stored.serverUid().isEmpty(), !copies.contains("Sent"));
    QCOMPARE(folderList(account), receiving); // each server's refusal stops only what needs it
}

void TestImap::push()
{
    // An account whose SMTP login is refused: sending stops, push goes on.
    const quint32 account = mDovecot.addAccount(
        { "string:smtp/username=nobody", "string:pushFolders=INBOX", "string:pushEnabled=1" });
    QVERIFY(Dovecot::mirrored(account));
    QCOMPARE(folderList(account), 0);
    const QMailFolderId inbox = folder(account, QStringLiteral("INBOX"));
    QCOMPARE(messageList(account, inbox), 0);
    queue(account, QStringLiteral("unsent"), QStringLiteral("ann@example.org"));
    QCOMPARE(outcome(request("TransmitMessages", { qulonglong(account) })), 1029);
    // Nobody asks for a sync: IDLE (or the look that follows each connection) brings it.
    QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, mail("pushed")).isNull());
    QVERIFY(waitUntil([&] { return messages(inbox).contains("pushed"); }, 30000));

    // Another client reads one message and deletes another while the folder is
    // watched: IDLE tells, and the store follows without a sync being asked for;
    // mail that comes after the removal is still seen as new.
    QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, mail("doomed")).isNull());
    QVERIFY(waitUntil([&] { return messages(inbox).contains("doomed"); }, 30000));
    QVERIFY(!mDovecot
                 .doveadm({ "flags", "add", "-u", "ann", "\\Seen", "mailbox", "INBOX", "header",
                            "Subject", "pushed" })
                 .isNull());
    QVERIFY(waitUntil(
        [&] { return messages(inbox).value("pushed").status() & QMailMessageMetaData::Read; },
        30000));
    QVERIFY(
        !mDovecot
             .doveadm({ "expunge", "-u", "ann", "mailbox", "INBOX", "header", "Subject", "doomed" })
             .isNull());
    QVERIFY(waitUntil([&] { return !messages(inbox).contains("doomed"); }, 30000));
    QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, mail("after")).isNull());
    QVERIFY(waitUntil([&] { return messages(inbox).contains("after"); }, 30000));

    // The server goes away: the watcher tries again after growing waits, and
    // the look that follows the new connection brings what has come.
    mDovecot.stop();
    for (const char *wait : { "again in 1 s", "again in 2 s", "again in 4 s" }) {
        QVERIFY(mServer.waitForLine(QString::fromLatin1(wait)));
    }
    QVERIFY(mDovecot.resume());
    QVERIFY(!mDovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, mail("later")).isNull());
    QVERIFY(waitUntil([&] { return messages(inbox).contains("later"); }, 60000));

    // A password that stops working while push is on fails the look at the push folder.
    QVERIFY(Dovecot::setPassword(account, QStringLiteral("wrong")));
    const QString refused = QString("IMAP server refused the login of account %1 (").arg(account);
    QVERIFY(waitUntil([&] { return QStringList(mTexts.values()).join('\n').contains(refused); },
                      60000));
}

void TestImap::passwordRefused_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("error");
    QTest::newRow("no account") << QStringList() << QByteArray("x\n") << 2 << "Usage:";
    QTest::newRow("not a number") << QStringList { "one" } << QByteArray("x\n") << 2 << "Usage:";
    QTest::newRow("unknown account")
        << QStringList { "999" } << QByteArray("x\n") << 1
        << "postvane-password: No e-mail account 999 in the accounts database";
    QTest::newRow("empty password") << QStringList { QString::number(mAccount) } << QByteArray("\n")
                                    << 1 << "postvane-password: The password is empty";
}

void TestImap::passwordRefused()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(int, status);
    QFETCH(QString, error);
    const QString before = AccountsFixture::agTool(
        { "get-service", QString::number(mAccount), "imap-email", "uint:CredentialsId" });
    QVERIFY(before.contains(QLatin1String("CredentialsId")));
    QProcess tool;
    tool.start(TestEnvironment::binary(QStringLiteral("postvane-password")), arguments);
    tool.write(input);
    tool.closeWriteChannel();
    QVERIFY(finishWhileServing(tool));
    QCOMPARE(tool.exitCode(), status);
    QVERIFY(QString::fromLocal8Bit(tool.readAllStandardError()).contains(error));
    // The password stored before stays in force.
    QCOMPARE(AccountsFixture::agTool(
                 { "get-service", QString::number(mAccount), "imap-email", "uint:CredentialsId" }),
             before);
}

QTEST_GUILESS_MAIN(TestImap)
#include "tst_imap.moc"
