// Two processes on one store: qmfctl changes it, this process receives the
// change signals over a private session bus.

#include "testenvironment.h"

#include <qmailstore.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

class TestStoreIpc : public QObject
{
    Q_OBJECT
public:
    TestStoreIpc() { m_busStarted = m_env.startSessionBus(); }

private Q_SLOTS:
    void initTestCase();
    void accountAndFoldersFromAnotherProcess();
    void importArrivesAsOneSignal();
    void flagsMovesAndRemovals();
    void ownChangesArriveOnce();
    void everyOtherProcessHearsOnce();
    void otherStoresAreIgnored();

private:
    int qmfctl(const QStringList &args, QByteArray *output = nullptr,
               const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment());

    TestEnvironment m_env;
    bool m_busStarted = false;
    QMailStore *m_store = nullptr;
    QMailAccountId m_account;
    QMailFolderId m_inbox;
    QMailMessageIdList m_imported;
};

int TestStoreIpc::qmfctl(const QStringList &args, QByteArray *output,
                         const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(TestEnvironment::binary(QStringLiteral("qmfctl")), args);
    if (!process.waitForFinished(60000))
        return -1;
    if (output)
        *output = process.readAllStandardOutput();
    const QByteArray errors = process.readAllStandardError();
    if (!errors.isEmpty())
        qWarning() << "qmfctl:" << errors;
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void TestStoreIpc::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY(m_busStarted);
    m_store = QMailStore::instance();
    QCOMPARE(QMailStore::initializationState(), QMailStore::Initialized);
}

void TestStoreIpc::accountAndFoldersFromAnotherProcess()
{
    QSignalSpy accountsAdded(m_store, &QMailStore::accountsAdded);
    QSignalSpy accountsUpdated(m_store, &QMailStore::accountsUpdated);
    QSignalSpy foldersAdded(m_store, &QMailStore::foldersAdded);
    QCOMPARE(qmfctl({ "account", "add", "--id", "31", "--name", "Remote", "--standard-folders" }),
             0);

    QTRY_COMPARE_WITH_TIMEOUT(accountsUpdated.count(), 1, 15000);
    QCOMPARE(accountsAdded.count(), 1);
    QCOMPARE(accountsAdded.at(0).at(0).value<QMailAccountIdList>(),
             (QMailAccountIdList { QMailAccountId(31) }));
    QCOMPARE(foldersAdded.count(), 1);
    const QMailFolderIdList folders = foldersAdded.at(0).at(0).value<QMailFolderIdList>();
    QCOMPARE(folders.size(), 6);
    m_account = QMailAccountId(31);
    // What the signal announces is there to be read.
    const QMailAccount account(m_account);
    QCOMPARE(account.name(), QStringLiteral("Remote"));
    m_inbox = account.standardFolder(QMailFolder::InboxFolder);
    QVERIFY(folders.contains(m_inbox));
    QCOMPARE(QMailFolder(m_inbox).path(), QStringLiteral("Inbox"));
}

void TestStoreIpc::importArrivesAsOneSignal()
{
    QVERIFY(m_inbox.isValid());
    const QString maildir = m_env.path(QStringLiteral("maildir"));
    QVERIFY(QDir().mkpath(maildir + QLatin1String("/new")));
    QVERIFY(QDir().mkpath(maildir + QLatin1String("/cur")));
    for (int i = 0; i < 50; ++i) {
        QFile file(maildir + QStringLiteral("/new/msg%1").arg(i, 3, 10, QLatin1Char('0')));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("From: a@example.org\nSubject: number " + QByteArray::number(i) + "\n\nbody\n");
    }
    QSignalSpy added(m_store, &QMailStore::messagesAdded);
    QByteArray output;
    QCOMPARE(
        qmfctl({ "import", "--folder", QString::number(m_inbox.toULongLong()), maildir }, &output),
        0);
    QCOMPARE(output, QByteArray("50\n"));
    QTRY_COMPARE_WITH_TIMEOUT(added.count(), 1, 15000);
    m_imported = added.at(0).at(0).value<QMailMessageIdList>();
    QCOMPARE(m_imported.size(), 50);
    QCOMPARE(m_store->messageMetaData(m_imported.first()).subject(), QStringLiteral("number 0"));
    QCOMPARE(m_store->messageMetaData(m_imported.last()).parentFolderId(), m_inbox);
    // Nothing else trickles in afterwards.
    QTest::qWait(200);
    QCOMPARE(added.count(), 1);
}

void TestStoreIpc::flagsMovesAndRemovals()
{
    QVERIFY(m_imported.size() >= 3);
    QSignalSpy updated(m_store, &QMailStore::messagesUpdated);
    QSignalSpy removed(m_store, &QMailStore::messagesRemoved);
    QSignalSpy foldersUpdated(m_store, &QMailStore::foldersUpdated);
    const QString first = QString::number(m_imported.at(0).toULongLong());
    const QString second = QString::number(m_imported.at(1).toULongLong());
    QCOMPARE(qmfctl({ "mark", "--read-elsewhere", first, second }), 0);
    QTRY_COMPARE_WITH_TIMEOUT(updated.count(), 1, 15000);
    QCOMPARE(updated.at(0).at(0).value<QMailMessageIdList>(),
             (QMailMessageIdList { m_imported.at(0), m_imported.at(1) }));
    QVERIFY(m_store->messageMetaData(m_imported.at(0)).status()
            & QMailMessageMetaData::ReadElsewhere);

    QCOMPARE(qmfctl({ "delete", first }), 0);
    QTRY_COMPARE_WITH_TIMEOUT(removed.count(), 1, 15000);
    QCOMPARE(removed.at(0).at(0).value<QMailMessageIdList>(),
             (QMailMessageIdList { m_imported.at(0) }));
    QVERIFY(!m_store->messageMetaData(m_imported.at(0)).id().isValid());

    QCOMPARE(qmfctl({ "folder", "update", QString::number(m_inbox.toULongLong()), "--favourite" }),
             0);
    QTRY_COMPARE_WITH_TIMEOUT(foldersUpdated.count(), 1, 15000);
    QVERIFY(QMailFolder(m_inbox).status() & QMailFolder::Favourite);
}

void TestStoreIpc::ownChangesArriveOnce()
{
    QSignalSpy foldersAdded(m_store, &QMailStore::foldersAdded);
    QMailFolder local(QStringLiteral("Local"), QMailFolderId(), m_account);
    QVERIFY(m_store->addFolder(&local));
    QCOMPARE(foldersAdded.count(), 1);
    // A later change of another process arrives after the echo of ours
    // would have: by then the echo must have been dropped.
    QCOMPARE(qmfctl({ "folder", "add", "--account", "31", "--path", "Remote folder" }), 0);
    QTRY_COMPARE_WITH_TIMEOUT(foldersAdded.count(), 2, 15000);
    QTest::qWait(200);
    QCOMPARE(foldersAdded.count(), 2);
    QCOMPARE(foldersAdded.at(0).at(0).value<QMailFolderIdList>(),
             (QMailFolderIdList { local.id() }));
    QVERIFY(foldersAdded.at(1).at(0).value<QMailFolderIdList>()
            != (QMailFolderIdList { local.id() }));
}

void TestStoreIpc::everyOtherProcessHearsOnce()
{
    // Two other processes with the store open, this one writing: each of
    // them hears each operation once, as one signal with all its ids.
    QProcess first, second;
    for (QProcess *watcher : { &first, &second }) {
        watcher->start(TestEnvironment::binary(QStringLiteral("qmfctl")),
                       { "watch", "--count", "3" });
        QVERIFY(watcher->waitForStarted());
    }
    for (QProcess *watcher : { &first, &second }) {
        QTRY_VERIFY_WITH_TIMEOUT(watcher->canReadLine(), 15000);
        QCOMPARE(watcher->readLine(),
                 "watching " + QFile::encodeName(m_store->databasePath()) + '\n');
    }

    QMailFolder folder(QStringLiteral("Watched"), QMailFolderId(), m_account);
    QVERIFY(m_store->addFolder(&folder));
    QList<QMailMessageMetaData> messages;
    for (int i = 0; i < 3; ++i) {
        QMailMessageMetaData message;
        message.setParentFolderId(folder.id());
        messages.append(message);
    }
    QVERIFY(m_store->addMessages(
        QList<QMailMessageMetaData *> { &messages[0], &messages[1], &messages[2] }));
    folder.setStatus(QMailFolder::Favourite, true);
    QVERIFY(m_store->updateFolder(&folder));
    m_store->flushIpcNotifications();

    const QByteArray folderId = QByteArray::number(folder.id().toULongLong());
    const QByteArray expected = "foldersAdded\t" + folderId + "\nmessagesAdded\t"
        + QByteArray::number(messages[0].id().toULongLong()) + ' '
        + QByteArray::number(messages[1].id().toULongLong()) + ' '
        + QByteArray::number(messages[2].id().toULongLong()) + "\nfoldersUpdated\t" + folderId
        + '\n';
    for (QProcess *watcher : { &first, &second }) {
        QVERIFY(watcher->waitForFinished(15000));
        QCOMPARE(watcher->exitCode(), 0);
        QCOMPARE(watcher->readAllStandardOutput(), expected);
    }
}

void TestStoreIpc::otherStoresAreIgnored()
{
    QSignalSpy accountsAdded(m_store, &QMailStore::accountsAdded);
    QProcessEnvironment elsewhere = QProcessEnvironment::systemEnvironment();
    elsewhere.insert(QStringLiteral("QMF_DATA"), m_env.path(QStringLiteral("other-store")));
    QCOMPARE(qmfctl({ "account", "add", "--id", "77", "--name", "Elsewhere" }, nullptr, elsewhere),
             0);
    QCOMPARE(qmfctl({ "account", "add", "--id", "78", "--name", "Here" }), 0);
    QTRY_COMPARE_WITH_TIMEOUT(accountsAdded.count(), 1, 15000);
    QTest::qWait(200);
    QCOMPARE(accountsAdded.count(), 1);
    QCOMPARE(accountsAdded.at(0).at(0).value<QMailAccountIdList>(),
             (QMailAccountIdList { QMailAccountId(78) }));
    QVERIFY(!QMailAccount(QMailAccountId(77)).id().isValid());
}

QTEST_GUILESS_MAIN(TestStoreIpc)
#include "tst_qmfipc.moc"
