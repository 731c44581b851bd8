#include "accountsfixture.h"
#include "processrunner.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <qmailaccount.h>
#include <qmailstore.h>
#include <qmailwiretypes.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFile>
#include <QtTest>

#include <csignal>
#include <memory>

namespace {

const QString Service = QStringLiteral("com.brenmor.qmf.MessageServer");
const QString Path = QStringLiteral("/com/brenmor/qmf/MessageServer");

QByteArray mail(const QString &subject, int bodyLines = 1)
{
    QByteArray text = "From: Ann <ann@example.org>\nTo: me@example.org\nSubject: "
        + subject.toUtf8() + "\nDate: Mon, 1 Dec 2025 10:00:00 +0000\n\n";
    for (int i = 0; i < bodyLines; ++i) {
        text += "line of the body\n";
    }
    return text;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool runQmfctl(const QStringList &arguments)
{
    QProcess process;
    process.start(TestEnvironment::binary(QStringLiteral("qmfctl")), arguments);
    return process.waitForFinished(20000) && process.exitCode() == 0;
}

} // namespace

// What the test has heard of one action, in order.
struct Heard
{
    QStringList events; // "listed", "activity 1", "status 0", ...
    int finalCode = -1;
    int requestType = -1;
    int activity = 0;
    uint progress = 0;
};

class TestMessageServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void foldersAndMessages();
    void exportUpdates();
    void send();
    void failures_data();
    void failures();
    void cancelRollsBack();
    void killDuringImport();
    void pushFolder();
    void diskFull();

public Q_SLOTS:
    void onActivity(qulonglong id, int activity);
    void onStatus(qulonglong id, int code, const QString &text, qulonglong account,
                  qulonglong folder, qulonglong message);
    void onProgress(qulonglong id, uint value, uint total);
    void onActions(const QDBusMessage &message);

private:
    bool startServer(const QString &limitKiB = QString());
    void killServer();
    quint32 addAccount(const QString &maildir);
    quint64 request(const QString &method, const QList<QVariant> &arguments);
    int outcome(quint64 action);
    QMailFolderId folder(quint32 account, const QString &path);
    QList<QMailMessageMetaData> messages(const QMailFolderId &folder);
    void makeMaildir(const QString &root, const QStringList &folders = QStringList());
    QString fileIn(const QString &dir, const QString &uid);

    TestEnvironment mEnv;
    std::unique_ptr<ProcessRunner> mServer;
    QHash<quint64, Heard> mHeard;
    QString mMail; // Maildir of the main account
    quint32 mAccount = 0;
};

void TestMessageServer::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
    QVERIFY(AccountsFixture::setUp(mEnv));
    QDBusConnection bus = QDBusConnection::sessionBus();
    const QString iface = Service;
    QVERIFY(bus.connect(QString(), Path, iface, QStringLiteral("ActivityChanged"), this,
                        SLOT(onActivity(qulonglong, int))));
    QVERIFY(
        bus.connect(QString(), Path, iface, QStringLiteral("StatusChanged"), this,
                    SLOT(onStatus(qulonglong, int, QString, qulonglong, qulonglong, qulonglong))));
    QVERIFY(bus.connect(QString(), Path, iface, QStringLiteral("ProgressChanged"), this,
                        SLOT(onProgress(qulonglong, uint, uint))));
    QVERIFY(bus.connect(QString(), Path, iface, QStringLiteral("ActionsChanged"), this,
                        SLOT(onActions(QDBusMessage))));
    QVERIFY(startServer());
    QVERIFY(QMailStore::instance());
}

void TestMessageServer::cleanupTestCase()
{
    mServer.reset();
}

bool TestMessageServer::startServer(const QString &limitKiB)
{
    mServer.reset(new ProcessRunner);
    mHeard.clear(); // a new server counts its actions from 1 again
    const QString binary = TestEnvironment::binary(QStringLiteral("messageserver"));
    // A file-size limit plays a full disk for the server's own writes.
    const bool started = limitKiB.isEmpty()
        ? mServer->start(binary)
        : mServer->start(
            QStringLiteral("/bin/sh"),
            { QStringLiteral("-c"),
              QStringLiteral("ulimit -f %1; exec \"%2\"").arg(limitKiB.toInt() * 2).arg(binary) });
    return started && waitUntil([] {
               return QDBusConnection::sessionBus()
                   .interface()
                   ->isServiceRegistered(Service)
                   .value();
           });
}

void TestMessageServer::killServer()
{
    ::kill(pid_t(mServer->pid()), SIGKILL);
    QVERIFY(mServer->waitForFinished());
    QVERIFY(waitUntil([] {
        return !QDBusConnection::sessionBus().interface()->isServiceRegistered(Service).value();
    }));
}

void TestMessageServer::onActivity(qulonglong id, int activity)
{
    mHeard[id].events.append(QStringLiteral("activity %1").arg(activity));
    mHeard[id].activity = activity;
}

void TestMessageServer::onStatus(qulonglong id, int code, const QString &, qulonglong, qulonglong,
                                 qulonglong)
{
    mHeard[id].events.append(QStringLiteral("status %1").arg(code));
    mHeard[id].finalCode = code;
}

void TestMessageServer::onProgress(qulonglong id, uint value, uint)
{
    mHeard[id].progress = value;
}

void TestMessageServer::onActions(const QDBusMessage &message)
{
    const auto actions
        = qdbus_cast<QMailActionDataList>(message.arguments().first().value<QDBusArgument>());
    QSet<quint64> listed;
    for (const QMailActionData &action : actions) {
        listed.insert(action.id);
        mHeard[action.id].requestType = action.requestType;
        if (!mHeard[action.id].events.contains(QLatin1String("listed"))) {
            mHeard[action.id].events.append(QStringLiteral("listed"));
        }
    }
    for (auto it = mHeard.begin(); it != mHeard.end(); ++it) {
        if (it->events.contains(QLatin1String("listed")) && !listed.contains(it.key())
            && !it->events.contains(QLatin1String("unlisted"))) {
            it->events.append(QStringLiteral("unlisted"));
        }
    }
}

quint32 TestMessageServer::addAccount(const QString &maildir)
{
    const quint32 id = AccountsFixture::createAccount(QStringLiteral("local-mail"));
    if (id != 0) {
        AccountsFixture::agTool({ QStringLiteral("update-service"), QString::number(id),
                                  QStringLiteral("local-email"),
                                  QStringLiteral("string:maildir=") + maildir });
        AccountsFixture::agTool({ QStringLiteral("enable-service"), QString::number(id),
                                  QStringLiteral("local-email") });
    }
    return id;
}

quint64 TestMessageServer::request(const QString &method, const QList<QVariant> &arguments)
{
    QDBusMessage call = QDBusMessage::createMethodCall(Service, Path, Service, method);
    call.setArguments(arguments);
    const QDBusMessage reply = QDBusConnection::sessionBus().call(call);
    return reply.type() == QDBusMessage::ReplyMessage ? reply.arguments().value(0).toULongLong()
                                                      : 0;
}

int TestMessageServer::outcome(quint64 action)
{
    if (!waitUntil([&] { return mHeard.value(action).activity >= 2; }, 60000)) {
        return -1;
    }
    return mHeard.value(action).finalCode;
}

QMailFolderId TestMessageServer::folder(quint32 account, const QString &path)
{
    const QMailFolderIdList ids = QMailStore::instance()->queryFolders(
        QMailFolderKey::parentAccountId(QMailAccountId(account)) & QMailFolderKey::path(path));
    return ids.value(0);
}

QList<QMailMessageMetaData> TestMessageServer::messages(const QMailFolderId &folder)
{
    QList<QMailMessageMetaData> list;
    const auto ids = QMailStore::instance()->queryMessages(QMailMessageKey::parentFolderId(folder));
    for (const QMailMessageId &id : ids) {
        list.append(QMailStore::instance()->messageMetaData(id));
    }
    return list;
}

void TestMessageServer::makeMaildir(const QString &root, const QStringList &folders)
{
    QStringList all = folders;
    all.append(QString());
    for (const QString &folder : qAsConst(all)) {
        for (const char *sub : { "/cur", "/new", "/tmp" }) {
            QDir().mkpath(root + (folder.isEmpty() ? QString() : QStringLiteral("/.") + folder)
                          + QLatin1String(sub));
        }
    }
}

QString TestMessageServer::fileIn(const QString &dir, const QString &uid)
{
    const QStringList names = QDir(dir).entryList({ uid + QLatin1Char('*') }, QDir::Files);
    return names.value(0);
}

void TestMessageServer::foldersAndMessages()
{
    mMail = mEnv.path(QStringLiteral("mail"));
    makeMaildir(mMail,
                { QStringLiteral("Sent"), QStringLiteral("Lists"), QStringLiteral("Lists.Work") });
    QVERIFY(writeFile(mMail + QStringLiteral("/cur/1001.a:2,S"), mail(QStringLiteral("read"))));
    QVERIFY(writeFile(mMail + QStringLiteral("/cur/1002.a:2,FR"), mail(QStringLiteral("flagged"))));
    QVERIFY(writeFile(mMail + QStringLiteral("/new/1003.a"), mail(QStringLiteral("fresh"))));
    QVERIFY(writeFile(mMail + QStringLiteral("/.Lists.Work/cur/1004.a:2,"),
                      mail(QStringLiteral("work"))));

    // Asked for at once: the server may not have heard of the account yet.
    mAccount = addAccount(mMail);
    QVERIFY(mAccount != 0);
    const quint64 list = request(QStringLiteral("RetrieveFolderList"),
                                 { qulonglong(mAccount), qulonglong(0), true });
    QCOMPARE(outcome(list), 0);
    // The action leaves the list after its end: wait for that last event.
    QVERIFY(
        waitUntil([&] { return mHeard.value(list).events.contains(QStringLiteral("unlisted")); }));
    QCOMPARE(mHeard.value(list).events,
             QStringList({ "listed", "activity 1", "status 0", "activity 2", "unlisted" }));
    QMailStore *store = QMailStore::instance();
    const QMailAccount account(QMailAccountId { mAccount });
    QCOMPARE(account.name(), QStringLiteral("Test account"));
    const QMailFolderId inbox = folder(mAccount, QStringLiteral("INBOX"));
    QCOMPARE(account.standardFolder(QMailFolder::InboxFolder), inbox);
    QCOMPARE(account.standardFolder(QMailFolder::SentFolder),
             folder(mAccount, QStringLiteral("Sent")));
    const QMailFolder work = store->folder(folder(mAccount, QStringLiteral("Lists.Work")));
    QCOMPARE(work.displayName(), QStringLiteral("Work"));
    QCOMPARE(work.parentFolderId(), folder(mAccount, QStringLiteral("Lists")));

    const quint64 messageList = request(
        QStringLiteral("RetrieveMessageLists"),
        { qulonglong(mAccount),
          QVariant::fromValue(QList<qulonglong> { inbox.toULongLong(), work.id().toULongLong() }),
          20u, QVariant::fromValue(QMailSortElementList()) });
    QCOMPARE(outcome(messageList), 0);
    QHash<QString, quint64> status;
    for (const QMailMessageMetaData &m : messages(inbox)) {
        status.insert(m.subject(), m.status());
    }
    QCOMPARE(status.size(), 3);
    QVERIFY(status.value("read") & QMailMessageMetaData::Read);
    QVERIFY(status.value("flagged") & QMailMessageMetaData::Important);
    QVERIFY(status.value("flagged") & QMailMessageMetaData::Replied);
    QVERIFY(!(status.value("fresh") & QMailMessageMetaData::Read));
    QCOMPARE(messages(work.id()).size(), 1);
    // A folder list and then message lists: the whole account has been synchronised.
    QVERIFY(AccountsFixture::agTool({ QStringLiteral("get-service"), QString::number(mAccount),
                                      QStringLiteral("local-email"),
                                      QStringLiteral("int:lastSynchronized") })
                .contains(QRegularExpression(QStringLiteral("= [1-9]"))));

    // Gone from the Maildir, gone from the store.
    QVERIFY(QDir(mMail + QStringLiteral("/.Lists.Work")).removeRecursively());
    QVERIFY(QFile::remove(mMail + QStringLiteral("/cur/1001.a:2,S")));
    QCOMPARE(outcome(request(QStringLiteral("RetrieveFolderList"),
                             { qulonglong(mAccount), qulonglong(0), true })),
             0);
    QVERIFY(!store->folder(work.id()).id().isValid());
    QCOMPARE(outcome(request(QStringLiteral("RetrieveMessageLists"),
                             { qulonglong(mAccount),
                               QVariant::fromValue(QList<qulonglong> { inbox.toULongLong() }), 20u,
                               QVariant::fromValue(QMailSortElementList()) })),
             0);
    QCOMPARE(messages(inbox).size(), 2);
}

void TestMessageServer::exportUpdates()
{
    const QMailFolderId inbox = folder(mAccount, QStringLiteral("INBOX"));
    QString fresh, flagged;
    for (const QMailMessageMetaData &m : messages(inbox)) {
        (m.subject() == QLatin1String("fresh") ? fresh : flagged)
            = QString::number(m.id().toULongLong());
    }
    QVERIFY(runQmfctl({ QStringLiteral("mark"), QStringLiteral("--read"), fresh }));
    QVERIFY(runQmfctl({ QStringLiteral("delete"), flagged }));
    QCOMPARE(outcome(request(QStringLiteral("ExportUpdates"), { qulonglong(mAccount) })), 0);
    QVERIFY(QFile::exists(mMail + QStringLiteral("/cur/1003.a:2,S")));
    QVERIFY(!QFile::exists(mMail + QStringLiteral("/new/1003.a")));
    QVERIFY(fileIn(mMail + QStringLiteral("/cur"), QStringLiteral("1002.a")).isEmpty());
    QCOMPARE(outcome(request(QStringLiteral("RetrieveMessageLists"),
                             { qulonglong(mAccount),
                               QVariant::fromValue(QList<qulonglong> { inbox.toULongLong() }), 20u,
                               QVariant::fromValue(QMailSortElementList()) })),
             0);
    QCOMPARE(messages(inbox).size(), 1);
}

void TestMessageServer::send()
{
    const QMailAccount account(QMailAccountId { mAccount });
    const QMailFolderId outbox = account.standardFolder(QMailFolder::OutboxFolder);
    QVERIFY(outbox.isValid());
    QMailMessage message = QMailMessage::fromRfc2822(mail(QStringLiteral("outgoing")));
    message.setParentAccountId(account.id());
    message.setParentFolderId(outbox);
    message.setStatus(QMailMessageMetaData::Outbox | QMailMessageMetaData::Outgoing, true);
    QVERIFY(QMailStore::instance()->addMessage(&message));

    QCOMPARE(outcome(request(QStringLiteral("TransmitMessages"), { qulonglong(mAccount) })), 0);
    const QMailMessageMetaData sent = QMailStore::instance()->messageMetaData(message.id());
    QCOMPARE(sent.parentFolderId(), account.standardFolder(QMailFolder::SentFolder));
    QVERIFY(sent.status() & QMailMessageMetaData::Sent);
    QVERIFY(!(sent.status() & QMailMessageMetaData::Outbox));
    QFile file(mMail + QStringLiteral("/.Sent/cur/")
               + fileIn(mMail + QStringLiteral("/.Sent/cur"), sent.serverUid()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().contains("Subject: outgoing"));
    QVERIFY(file.fileName().endsWith(QLatin1String(":2,S")));
}

void TestMessageServer::failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("imported");
    QTest::newRow("no Maildir root") << "missing" << 1037 << 0;
    QTest::newRow("root is a file") << "file" << 1037 << 0;
    QTest::newRow("unknown account") << "unknown" << 1037 << 0;
    QTest::newRow("unreadable message") << "dangling" << 1028 << 1;
}

void TestMessageServer::failures()
{
    QFETCH(QString, setup);
    QFETCH(int, code);
    QFETCH(int, imported);
    const QString root = mEnv.path(QStringLiteral("fail-") + setup);
    quint64 account = 4000000000u; // no account has it
    if (setup == QLatin1String("file")) {
        QVERIFY(writeFile(root, "not a folder"));
    } else if (setup == QLatin1String("dangling")) {
        makeMaildir(root);
        QVERIFY(writeFile(root + QStringLiteral("/cur/1.good:2,"), mail(QStringLiteral("good"))));
        QVERIFY(
            QFile::link(root + QStringLiteral("/nowhere"), root + QStringLiteral("/cur/2.bad:2,")));
    }
    if (setup != QLatin1String("unknown")) {
        account = addAccount(root);
    }
    const quint64 action
        = request(QStringLiteral("RetrieveFolderList"), { account, qulonglong(0), true });
    if (setup == QLatin1String("dangling")) {
        QCOMPARE(outcome(action), 0);
        const quint64 list = request(QStringLiteral("RetrieveMessageLists"),
                                     { account, QVariant::fromValue(QList<qulonglong>()), 20u,
                                       QVariant::fromValue(QMailSortElementList()) });
        QCOMPARE(outcome(list), code);
    } else {
        QCOMPARE(outcome(action), code);
    }
    QCOMPARE(QMailStore::instance()->countMessages(
                 QMailMessageKey::parentAccountId(QMailAccountId(account))),
             imported);
}

void TestMessageServer::cancelRollsBack()
{
    makeMaildir(mMail, { QStringLiteral("Big") });
    for (int i = 0; i < 1500; ++i) {
        QVERIFY(writeFile(mMail + QStringLiteral("/.Big/cur/%1.big:2,").arg(i),
                          mail(QString::number(i))));
    }
    QCOMPARE(outcome(request(QStringLiteral("RetrieveFolderList"),
                             { qulonglong(mAccount), qulonglong(0), true })),
             0);
    const QMailFolderId big = folder(mAccount, QStringLiteral("Big"));
    const QList<QVariant> arguments
        = { qulonglong(mAccount), QVariant::fromValue(QList<qulonglong> { big.toULongLong() }), 20u,
            QVariant::fromValue(QMailSortElementList()) };
    const quint64 action = request(QStringLiteral("RetrieveMessageLists"), arguments);
    QVERIFY(waitUntil([&] { return mHeard.value(action).progress > 0; }));
    // The running action is in the list the server gives.
    QDBusMessage reply = QDBusConnection::sessionBus().call(
        QDBusMessage::createMethodCall(Service, Path, Service, QStringLiteral("ListActions")));
    const auto listed
        = qdbus_cast<QMailActionDataList>(reply.arguments().value(0).value<QDBusArgument>());
    QCOMPARE(listed.size(), 1);
    QCOMPARE(listed.first().requestType, 3);
    QCOMPARE(listed.first().accountId, quint64(mAccount));
    QVERIFY(request(QStringLiteral("CancelAction"), { action }));
    QCOMPARE(outcome(action), 1030);
    QCOMPARE(messages(big).size(), 0);
    QVERIFY(!request(QStringLiteral("CancelAction"), { action })); // over already
}

void TestMessageServer::killDuringImport()
{
    const QMailFolderId big = folder(mAccount, QStringLiteral("Big"));
    const QList<QVariant> arguments
        = { qulonglong(mAccount), QVariant::fromValue(QList<qulonglong> { big.toULongLong() }), 20u,
            QVariant::fromValue(QMailSortElementList()) };
    const quint64 action = request(QStringLiteral("RetrieveMessageLists"), arguments);
    QVERIFY(waitUntil([&] { return mHeard.value(action).progress > 0; }));
    killServer();
    // Nothing half-imported: the folder's import was one transaction.
    QCOMPARE(messages(big).size(), 0);
    QVERIFY(startServer());
    QCOMPARE(outcome(request(QStringLiteral("RetrieveMessageLists"), arguments)), 0);
    const auto imported = messages(big);
    QCOMPARE(imported.size(), 1500);
    QVERIFY(QMailMessage(imported.last().id()).toRfc2822().contains("Subject: "));
}

void TestMessageServer::pushFolder()
{
    for (const QString &setting :
         { QStringLiteral("string:pushFolders=INBOX"), QStringLiteral("string:pushEnabled=1") }) {
        QVERIFY(
            !AccountsFixture::agTool({ QStringLiteral("update-service"), QString::number(mAccount),
                                       QStringLiteral("local-email"), setting })
                 .isNull());
    }
    // Watching begins with a look at what came while nobody watched.
    auto imports = [this] {
        int count = 0;
        for (const Heard &heard : qAsConst(mHeard)) {
            count += heard.requestType == 3 && heard.activity == 2 ? 1 : 0;
        }
        return count;
    };
    const int importsBefore = imports();
    QVERIFY(waitUntil([&] { return imports() > importsBefore; }));
    // Nobody asks for anything now: mail delivered into new/ arrives by itself.
    const QMailFolderId inbox = folder(mAccount, QStringLiteral("INBOX"));
    const int before = messages(inbox).size();
    QVERIFY(writeFile(mMail + QStringLiteral("/tmp/2001.push"), mail(QStringLiteral("pushed"))));
    QVERIFY(QFile::rename(mMail + QStringLiteral("/tmp/2001.push"),
                          mMail + QStringLiteral("/new/2001.push")));
    QVERIFY(waitUntil([&] { return messages(inbox).size() == before + 1; }));
}

void TestMessageServer::diskFull()
{
    killServer();
    QVERIFY(startServer(QStringLiteral("512")));
    const QMailAccount account(QMailAccountId { mAccount });
    QMailMessage message = QMailMessage::fromRfc2822(mail(QStringLiteral("too big"), 40000));
    message.setParentAccountId(account.id());
    message.setParentFolderId(account.standardFolder(QMailFolder::OutboxFolder));
    message.setStatus(QMailMessageMetaData::Outbox, true);
    QVERIFY(QMailStore::instance()->addMessage(&message));
    QCOMPARE(outcome(request(QStringLiteral("TransmitMessages"), { qulonglong(mAccount) })), 1031);
    // Still queued, and nothing half-written left in the Sent folder.
    QCOMPARE(QMailStore::instance()->messageMetaData(message.id()).parentFolderId(),
             account.standardFolder(QMailFolder::OutboxFolder));
    QCOMPARE(QDir(mMail + QStringLiteral("/.Sent/tmp")).entryList(QDir::Files).size(), 0);
}

QTEST_GUILESS_MAIN(TestMessageServer)
#include "tst_messageserver.moc"
