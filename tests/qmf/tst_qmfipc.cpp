// Processes on one store: qmfctl changes it, this process receives the change
// signals over a private session bus, each once, and only for its own store.

#include "testenvironment.h"
#include "waituntil.h"

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
    void changesOfAnotherProcess();
    void everyOtherProcessHearsOnce();
    void ownAndOtherStoresChangesAreNotTaken();

private:
    int qmfctl(const QStringList &args, const QString &dataDir = QString());

    TestEnvironment m_env;
    bool m_busStarted = false;
    QMailStore *m_store = nullptr;
};

int TestStoreIpc::qmfctl(const QStringList &args, const QString &dataDir)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!dataDir.isEmpty())
        environment.insert(QStringLiteral("QMF_DATA"), dataDir);
    process.setProcessEnvironment(environment);
    process.start(TestEnvironment::binary(QStringLiteral("qmfctl")), args);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    return process.exitCode();
}

void TestStoreIpc::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY(m_busStarted);
    m_store = QMailStore::instance();
    QCOMPARE(QMailStore::initializationState(), QMailStore::Initialized);
}

void TestStoreIpc::changesOfAnotherProcess()
{
    QSignalSpy accountsUpdated(m_store, &QMailStore::accountsUpdated);
    QSignalSpy foldersAdded(m_store, &QMailStore::foldersAdded);
    QSignalSpy foldersUpdated(m_store, &QMailStore::foldersUpdated);
    QSignalSpy added(m_store, &QMailStore::messagesAdded);
    QSignalSpy updated(m_store, &QMailStore::messagesUpdated);
    QSignalSpy removed(m_store, &QMailStore::messagesRemoved);
    QCOMPARE(qmfctl({ "account", "add", "--id", "31", "--name", "Remote", "--standard-folders" }),
             0);
    QVERIFY(waitUntil([&] { return accountsUpdated.count() == 1; }));
    // What the signal announces is there to be read.
    const QMailFolderId inbox
        = QMailAccount(QMailAccountId(31)).standardFolder(QMailFolder::InboxFolder);
    QCOMPARE(foldersAdded.count(), 1);
    QVERIFY(foldersAdded.at(0).at(0).value<QMailFolderIdList>().contains(inbox));

    const QString maildir = m_env.path(QStringLiteral("maildir"));
    QVERIFY(QDir().mkpath(maildir + QLatin1String("/new")));
    for (int i = 0; i < 50; ++i) {
        QFile file(maildir + QStringLiteral("/new/msg%1").arg(i, 3, 10, QLatin1Char('0')));
        QVERIFY(file.open(QIODevice::WriteOnly)
                && file.write("Subject: number " + QByteArray::number(i) + "\n\nx\n") > 0);
    }
    const QString folder = QString::number(inbox.toULongLong());
    QCOMPARE(qmfctl({ "import", "--folder", folder, maildir }), 0);
    QVERIFY(waitUntil([&] { return added.count() == 1; }));
    const QMailMessageIdList ids = added.at(0).at(0).value<QMailMessageIdList>();
    QCOMPARE(ids.size(), 50);
    QCOMPARE(m_store->messageMetaData(ids.first()).subject(), QStringLiteral("number 0"));

    const QString first = QString::number(ids.at(0).toULongLong());
    QCOMPARE(
        qmfctl({ "mark", "--read-elsewhere", first, QString::number(ids.at(1).toULongLong()) }), 0);
    QCOMPARE(qmfctl({ "delete", first }), 0);
    QCOMPARE(qmfctl({ "folder", "update", folder, "--favourite" }), 0);
    QVERIFY(waitUntil([&] { return foldersUpdated.count() == 1; }));
    // Everything before the folder's change has arrived, each once.
    QCOMPARE(added.count(), 1);
    QCOMPARE(updated.count(), 1);
    QCOMPARE(updated.at(0).at(0).value<QMailMessageIdList>(), ids.mid(0, 2));
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed.at(0).at(0).value<QMailMessageIdList>(), ids.mid(0, 1));
    QVERIFY(QMailFolder(inbox).status() & QMailFolder::Favourite);
}

void TestStoreIpc::everyOtherProcessHearsOnce()
{
    // Two other processes with the store open, this one writing: each of
    // them hears each operation once, as one signal with all its ids.
    QProcess first, second;
    for (QProcess *watcher : { &first, &second }) {
        watcher->start(TestEnvironment::binary(QStringLiteral("qmfctl")),
                       { "watch", "--count", "3" });
        QVERIFY(waitUntil([watcher] { return watcher->canReadLine(); }));
        QCOMPARE(watcher->readLine(),
                 "watching " + QFile::encodeName(m_store->databasePath()) + '\n');
    }
    QMailFolder folder(QStringLiteral("Watched"), QMailFolderId(), QMailAccountId(31));
    QVERIFY(m_store->addFolder(&folder));
    QList<QMailMessageMetaData> messages { {}, {}, {} };
    for (QMailMessageMetaData &message : messages)
        message.setParentFolderId(folder.id());
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
        QCOMPARE(watcher->readAllStandardOutput(), expected);
    }
}

void TestStoreIpc::ownAndOtherStoresChangesAreNotTaken()
{
    QSignalSpy foldersAdded(m_store, &QMailStore::foldersAdded);
    QSignalSpy accountsAdded(m_store, &QMailStore::accountsAdded);
    QMailFolder local(QStringLiteral("Local"), QMailFolderId(), QMailAccountId(31));
    QVERIFY(m_store->addFolder(&local));
    QCOMPARE(foldersAdded.count(), 1);
    // The echo of our own change and the change of another store come first:
    // had either been taken, it would come before the change made here last.
    QCOMPARE(qmfctl({ "account", "add", "--id", "77", "--name", "Elsewhere" },
                    m_env.path(QStringLiteral("other-store"))),
             0);
    QCOMPARE(qmfctl({ "folder", "add", "--account", "31", "--path", "Remote folder" }), 0);
    QVERIFY(waitUntil([&] { return foldersAdded.count() >= 2; }));
    QVERIFY(foldersAdded.at(1).at(0).value<QMailFolderIdList>()
            != (QMailFolderIdList { local.id() }));
    QCOMPARE(accountsAdded.count(), 0);
}

QTEST_GUILESS_MAIN(TestStoreIpc)
#include "tst_qmfipc.moc"
