// The mail store on a real SQLite database in a temporary folder, without a
// session bus: round trips, keys, invalid ids, cascades, transactions and the
// change signals a process receives for its own changes.

#include "testenvironment.h"

#include <qmailstore.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

namespace {

const QByteArray MultipartText = "From: Sender <sender@example.org>\n"
                                 "To: a@example.org\n"
                                 "Subject: parts\n"
                                 "Date: Wed, 2 Jul 2003 08:00:00 +0000\n"
                                 "Content-Type: multipart/mixed; boundary=b1\n"
                                 "\n"
                                 "--b1\n"
                                 "Content-Type: text/plain\n"
                                 "\n"
                                 "text\n"
                                 "--b1\n"
                                 "Content-Type: image/png; name=pic.png\n"
                                 "Content-Disposition: attachment; filename=pic.png\n"
                                 "Content-Transfer-Encoding: base64\n"
                                 "\n"
                                 "iVBORw0KGgo=\n"
                                 "--b1--\n";

} // namespace

class TestMailStore : public QObject
{
    Q_OBJECT
public:
    TestMailStore()
    {
        // This suite checks the store without any bus.
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DISPLAY");
    }

private Q_SLOTS:
    void initTestCase();
    void accountRoundTrip();
    void accountWithChosenId();
    void folderRoundTrip();
    void folderConstraints();
    void messageRoundTrip();
    void messageContentAndParts();
    void missingContentFile();
    void invalidIds();
    void folderKeys();
    void messageKeysAndSorting();
    void oneSignalPerOperation();
    void removalCascades();
    void transactionRollback();
    void failedOperationInsideTransaction();

private:
    int contentFiles() const
    {
        int files = 0;
        QDirIterator it(m_store->storagePath() + QLatin1String("/mail"), QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++files;
        }
        return files;
    }
    QMailAccountId makeAccount(const QString &name);
    QMailFolderId makeFolder(const QMailAccountId &account, const QString &path,
                             quint64 status = 0);

    TestEnvironment m_env;
    QMailStore *m_store = nullptr;
};

QMailAccountId TestMailStore::makeAccount(const QString &name)
{
    QMailAccount account;
    account.setName(name);
    if (!m_store->addAccount(&account))
        qWarning() << m_store->lastErrorText();
    return account.id();
}

QMailFolderId TestMailStore::makeFolder(const QMailAccountId &account, const QString &path,
                                        quint64 status)
{
    QMailFolder folder(path, QMailFolderId(), account);
    folder.setStatus(status);
    if (!m_store->addFolder(&folder))
        qWarning() << m_store->lastErrorText();
    return folder.id();
}

void TestMailStore::initTestCase()
{
    QVERIFY(m_env.isValid());
    m_store = QMailStore::instance();
    QCOMPARE(QMailStore::initializationState(), QMailStore::Initialized);
    QCOMPARE(m_store->storagePath(), m_env.path(QStringLiteral("home/.qmf")));
    QVERIFY(QFile::exists(m_store->databasePath()));
}

void TestMailStore::accountRoundTrip()
{
    QMailAccount account;
    account.setName(QStringLiteral("Work"));
    account.setSignature(QStringLiteral("-- \nRegards"));
    account.setFromAddress(
        QMailAddress(QStringLiteral("Ann Smith"), QStringLiteral("ann@example.org")));
    account.setStatus(QMailAccount::Enabled | QMailAccount::CanRetrieve);
    QVERIFY(m_store->addAccount(&account));
    QVERIFY(account.id().isValid());

    const QMailFolderId inbox = makeFolder(account.id(), QStringLiteral("INBOX"));
    const QMailFolderId trash = makeFolder(account.id(), QStringLiteral("Trash"));
    account.setStandardFolder(QMailFolder::InboxFolder, inbox);
    account.setStandardFolder(QMailFolder::TrashFolder, trash);
    QVERIFY(m_store->updateAccount(&account));

    const QMailAccount loaded(account.id());
    QVERIFY(loaded == account);

    // A standard folder that does not exist is refused and changes nothing.
    QMailAccount broken(loaded);
    broken.setStandardFolder(QMailFolder::SentFolder, QMailFolderId(999999));
    QVERIFY(!m_store->updateAccount(&broken));
    QCOMPARE(m_store->lastError(), QMailStore::ConstraintFailure);
    QVERIFY(QMailAccount(account.id()) == account);
}

void TestMailStore::accountWithChosenId()
{
    QMailAccount account;
    account.setId(QMailAccountId(4242));
    account.setName(QStringLiteral("Chosen"));
    QVERIFY(m_store->addAccount(&account));
    QCOMPARE(account.id(), QMailAccountId(4242));
    QCOMPARE(QMailAccount(QMailAccountId(4242)).name(), QStringLiteral("Chosen"));

    QMailAccount twin;
    twin.setId(QMailAccountId(4242));
    twin.setName(QStringLiteral("Twin"));
    QVERIFY(!m_store->addAccount(&twin));
    QCOMPARE(m_store->lastError(), QMailStore::ConstraintFailure);
    QCOMPARE(QMailAccount(QMailAccountId(4242)).name(), QStringLiteral("Chosen"));
}

void TestMailStore::folderRoundTrip()
{
    const QMailAccountId account = makeAccount(QStringLiteral("Folders"));
    QMailFolder parent(QStringLiteral("Lists"), QMailFolderId(), account);
    QVERIFY(m_store->addFolder(&parent));

    QMailFolder folder(QStringLiteral("Lists/Qt"), parent.id(), account);
    folder.setDisplayName(QStringLiteral("Qt list"));
    folder.setStatus(QMailFolder::Favourite | QMailFolder::Sent);
    QVERIFY(m_store->addFolder(&folder));

    QMailFolder loaded(folder.id());
    QCOMPARE(loaded.path(), QStringLiteral("Lists/Qt"));
    QCOMPARE(loaded.displayName(), QStringLiteral("Qt list"));
    QCOMPARE(loaded.parentFolderId(), parent.id());
    QCOMPARE(loaded.status(), QMailFolder::Favourite | QMailFolder::Sent);
    // Without a display name the path stands in.
    QCOMPARE(QMailFolder(parent.id()).displayName(), QStringLiteral("Lists"));

    loaded.setStatus(QMailFolder::Favourite, false);
    loaded.setStatus(QMailFolder::Trash, true);
    QVERIFY(m_store->updateFolder(&loaded));
    QCOMPARE(m_store->folder(folder.id()).status(), QMailFolder::Sent | QMailFolder::Trash);
}

void TestMailStore::folderConstraints()
{
    const QMailAccountId account = makeAccount(QStringLiteral("Constraints"));
    QMailFolder orphan(QStringLiteral("x"), QMailFolderId(888888), account);
    QVERIFY(!m_store->addFolder(&orphan));
    QCOMPARE(m_store->lastError(), QMailStore::ConstraintFailure);
    QVERIFY(!orphan.id().isValid());

    QMailFolder noAccount(QStringLiteral("x"), QMailFolderId(), QMailAccountId(777777));
    QVERIFY(!m_store->addFolder(&noAccount));

    // A folder cannot be moved below itself.
    const QMailFolderId top = makeFolder(account, QStringLiteral("top"));
    QMailFolder child(QStringLiteral("top/child"), top, account);
    QVERIFY(m_store->addFolder(&child));
    QMailFolder loop = m_store->folder(top);
    loop.setParentFolderId(child.id());
    QVERIFY(!m_store->updateFolder(&loop));
    QCOMPARE(m_store->lastError(), QMailStore::ConstraintFailure);
    QVERIFY(!m_store->folder(top).parentFolderId().isValid());

    QMailFolder ghost(QStringLiteral("ghost"));
    ghost.setId(QMailFolderId(555555));
    QVERIFY(!m_store->updateFolder(&ghost));
    QCOMPARE(m_store->lastError(), QMailStore::InvalidId);
}

void TestMailStore::messageRoundTrip()
{
    const QMailAccountId account = makeAccount(QStringLiteral("Messages"));
    const QMailFolderId folder = makeFolder(account, QStringLiteral("INBOX"));

    QMailMessageMetaData original;
    original.setParentFolderId(folder);
    original.setParentAccountId(account);
    original.setStatus(QMailMessageMetaData::Read | QMailMessageMetaData::HasAttachments);
    original.setSubject(QStringLiteral("Grüße aus Köln"));
    original.setFrom(QMailAddress(QStringLiteral("\"Last, First\" <first@example.org>")));
    original.setTo(QList<QMailAddress>()
                   << QMailAddress(QStringLiteral("a@example.org"))
                   << QMailAddress(QStringLiteral("Bee"), QStringLiteral("b@example.org")));
    original.setDate(QMailTimeStamp(QStringLiteral("Tue, 1 Jul 2003 10:52:37 +0200")));
    original.setReceivedDate(QMailTimeStamp(QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9), Qt::UTC)));
    original.setServerUid(QStringLiteral("uid-17"));
    original.setSize(12345);
    original.setContent(QMailMessageMetaData::HtmlContent);
    original.setContentScheme(QStringLiteral("elsewhere"));
    original.setContentIdentifier(QStringLiteral("/somewhere/else"));
    QVERIFY(m_store->addMessage(&original));
    QVERIFY(original.id().isValid());

    QMailMessageMetaData reply;
    reply.setParentFolderId(folder);
    reply.setInResponseTo(original.id());
    QVERIFY(m_store->addMessage(&reply));
    // The folder's account is the message's account.
    QCOMPARE(reply.parentAccountId(), account);

    const QMailMessageMetaData loaded = m_store->messageMetaData(original.id());
    QVERIFY(loaded == original);
    QCOMPARE(loaded.from().name(), QStringLiteral("Last, First"));
    QCOMPARE(loaded.date().utcOffset(), 7200);
    QCOMPARE(QMailMessageMetaData(reply.id()).inResponseTo(), original.id());

    // Dates that were never set stay null through the store.
    const QMailMessageMetaData bare = m_store->messageMetaData(reply.id());
    QVERIFY(bare.date().isNull());
    QVERIFY(bare.receivedDate().isNull());

    QCOMPARE(m_store->messageMetaData(QStringLiteral("uid-17"), account).id(), original.id());

    // A name decoded from an encoded word may hold any character, also the
    // ones the store separates addresses with: they never split an address.
    QMailMessageMetaData smuggled;
    smuggled.setParentFolderId(folder);
    smuggled.setTo(QList<QMailAddress>() << QMailAddress(QStringLiteral("A\x1e"
                                                                        "B\x1f"
                                                                        "C"),
                                                         QStringLiteral("a@example.org"))
                                         << QMailAddress(QStringLiteral("b@example.org")));
    QVERIFY(m_store->addMessage(&smuggled));
    const QList<QMailAddress> to = m_store->messageMetaData(smuggled.id()).to();
    QCOMPARE(to.size(), 2);
    QCOMPARE(to.at(0).name(), QStringLiteral("A B C"));
    QCOMPARE(to.at(0).address(), QStringLiteral("a@example.org"));
    QCOMPARE(to.at(1).address(), QStringLiteral("b@example.org"));

    // A NUL byte never cuts a text short.
    QMailMessage nul = QMailMessage::fromRfc2822(QByteArray("Subject: a\0b\n\nbody\n", 19));
    nul.setParentFolderId(folder);
    QVERIFY(m_store->addMessage(&nul));
    QCOMPARE(m_store->messageMetaData(nul.id()).subject(), QString::fromUtf8("a\uFFFDb"));

    // Removing the answered message leaves the reply pointing at nothing.
    QVERIFY(m_store->removeMessage(original.id()));
    QVERIFY(!m_store->messageMetaData(reply.id()).inResponseTo().isValid());
}

void TestMailStore::messageContentAndParts()
{
    const QMailAccountId account = makeAccount(QStringLiteral("Content"));
    const QMailFolderId folder = makeFolder(account, QStringLiteral("INBOX"));
    QMailMessage message = QMailMessage::fromRfc2822(MultipartText);
    message.setParentFolderId(folder);
    QVERIFY(m_store->addMessage(&message));
    QCOMPARE(message.contentScheme(), QStringLiteral("qmfstoragemanager"));
    const QString file = message.contentIdentifier();
    QVERIFY(file.startsWith(m_store->storagePath() + QLatin1String("/mail/")));
    QFile stored(file);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), MultipartText);

    const QMailMessage loaded(message.id());
    QCOMPARE(loaded.size(), uint(MultipartText.size()));
    QCOMPARE(loaded.content(), QMailMessageMetaData::MultipartContent);
    QVERIFY(loaded.status() & QMailMessageMetaData::HasAttachments);
    QCOMPARE(loaded.partCount(), 2);
    const QMailMessagePart &picture = loaded.partAt(1);
    QCOMPARE(picture.location().toString(true),
             QString::number(message.id().toULongLong()) + QLatin1String("-2"));
    QCOMPARE(picture.body().data(QMailMessageBody::Decoded),
             QByteArray::fromBase64("iVBORw0KGgo="));
    // The locations of the writer's copy name the assigned id too.
    QCOMPARE(message.partAt(0).location().toString(true),
             QString::number(message.id().toULongLong()) + QLatin1String("-1"));

    // New content replaces the file; the old one goes after the commit.
    QMailMessage changed = loaded;
    changed.setRfc2822Content("Subject: replaced\n\nshort\n");
    QVERIFY(m_store->updateMessage(&changed));
    QVERIFY(!QFile::exists(file));
    const QMailMessage reloaded(message.id());
    QCOMPARE(reloaded.toRfc2822(), QByteArray("Subject: replaced\n\nshort\n"));
    QCOMPARE(reloaded.partCount(), 0);

    // Removing the message removes its content file.
    const QString current = reloaded.contentIdentifier();
    QVERIFY(QFile::exists(current));
    QVERIFY(m_store->removeMessage(message.id()));
    QVERIFY(!QFile::exists(current));
}

void TestMailStore::missingContentFile()
{
    const QMailFolderId folder
        = makeFolder(makeAccount(QStringLiteral("Missing")), QStringLiteral("INBOX"));
    QMailMessage message = QMailMessage::fromRfc2822(MultipartText);
    message.setParentFolderId(folder);
    QVERIFY(m_store->addMessage(&message));
    QVERIFY(QFile::remove(message.contentIdentifier()));

    const QMailMessage loaded(message.id());
    QCOMPARE(loaded.id(), message.id());
    QCOMPARE(loaded.subject(), QStringLiteral("parts"));
    QCOMPARE(loaded.partCount(), 0);
    QCOMPARE(m_store->lastError(), QMailStore::ContentInaccessible);
    // Removing such a message still works.
    QVERIFY(m_store->removeMessage(message.id()));
}

void TestMailStore::invalidIds()
{
    const QMailAccount account(QMailAccountId(987654));
    QVERIFY(!account.id().isValid());
    QVERIFY(!QMailAccount(QMailAccountId()).id().isValid());

    const QMailFolder folder(QMailFolderId(987654));
    QVERIFY(!folder.id().isValid());
    QVERIFY(!m_store->folder(QMailFolderId()).id().isValid());

    const QMailMessageMetaData metaData = m_store->messageMetaData(QMailMessageId(987654));
    QVERIFY(!metaData.id().isValid());
    QVERIFY(metaData == QMailMessageMetaData());

    const QMailMessage message(QMailMessageId(987654));
    QVERIFY(!message.id().isValid());
    QVERIFY(!QMailMessage(QMailMessageId()).id().isValid());

    QMailMessageMetaData ghost;
    ghost.setId(QMailMessageId(987654));
    QVERIFY(!m_store->updateMessage(&ghost));
    QCOMPARE(m_store->lastError(), QMailStore::InvalidId);
    // No object at all is a failure that says why.
    QVERIFY(!m_store->addAccount(nullptr));
    QCOMPARE(m_store->lastError(), QMailStore::InvalidId);
    QVERIFY(!m_store->updateFolder(nullptr));
    QCOMPARE(m_store->lastErrorText(), QStringLiteral("No folder to update"));
    QVERIFY(!m_store->addMessages(QList<QMailMessage *>() << nullptr));
    QCOMPARE(m_store->lastError(), QMailStore::InvalidId);
    // Removing what is not there is no error and announces nothing.
    QSignalSpy removed(m_store, &QMailStore::messagesRemoved);
    QVERIFY(m_store->removeMessage(QMailMessageId(987654)));
    QCOMPARE(removed.count(), 0);
}

void TestMailStore::folderKeys()
{
    const QMailAccountId first = makeAccount(QStringLiteral("Keys 1"));
    const QMailAccountId second = makeAccount(QStringLiteral("Keys 2"));
    const QMailFolderId a = makeFolder(first, QStringLiteral("B-folder"), QMailFolder::Favourite);
    const QMailFolderId b = makeFolder(first, QStringLiteral("A-folder"));
    const QMailFolderId c
        = makeFolder(first, QStringLiteral("C-folder"), QMailFolder::Favourite | QMailFolder::Sent);
    const QMailFolderId d = makeFolder(second, QStringLiteral("D-folder"), QMailFolder::Favourite);

    const QMailFolderKey favourite
        = QMailFolderKey::status(QMailFolder::Favourite, QMailDataComparator::Includes);
    QCOMPARE(m_store->queryFolders(QMailFolderKey::parentAccountId(first) & favourite),
             (QMailFolderIdList { a, c }));
    QCOMPARE(m_store->queryFolders(
                 QMailFolderKey::parentAccountId(first)
                 & QMailFolderKey::status(QMailFolder::Favourite, QMailDataComparator::Excludes)),
             (QMailFolderIdList { b }));
    // Includes asks for every bit of the mask.
    QCOMPARE(
        m_store->queryFolders(QMailFolderKey::status(QMailFolder::Favourite | QMailFolder::Sent)
                              & QMailFolderKey::parentAccountId(first)),
        (QMailFolderIdList { c }));
    QCOMPARE(
        m_store->queryFolders(QMailFolderKey::parentAccountId(first), QMailFolderSortKey::path()),
        (QMailFolderIdList { b, a, c }));
    QCOMPARE(m_store->queryFolders(QMailFolderKey::parentAccountId(first),
                                   QMailFolderSortKey::path(Qt::DescendingOrder), 2),
             (QMailFolderIdList { c, a }));
    QCOMPARE(m_store->queryFolders(QMailFolderKey::id(QMailFolderIdList { a, d })
                                   | QMailFolderKey::path(QStringLiteral("A-folder"))),
             (QMailFolderIdList { a, b, d }));
    QCOMPARE(m_store->queryFolders(
                 ~QMailFolderKey::parentAccountId(first)
                 & QMailFolderKey::parentAccountId(QMailAccountIdList { first, second })),
             (QMailFolderIdList { d }));
    QCOMPARE(m_store->queryFolders(
                 QMailFolderKey::path(QStringLiteral("-fold"), QMailDataComparator::Includes)
                 & QMailFolderKey::parentAccountId(second)),
             (QMailFolderIdList { d }));
    QVERIFY(m_store->queryFolders(QMailFolderKey::id(QMailFolderIdList())).isEmpty());
    // Wildcards in a text are matched literally.
    QVERIFY(
        m_store
            ->queryFolders(QMailFolderKey::path(QStringLiteral("%"), QMailDataComparator::Includes))
            .isEmpty());
}

void TestMailStore::messageKeysAndSorting()
{
    const QMailAccountId account = makeAccount(QStringLiteral("Message keys"));
    const QMailFolderId inbox = makeFolder(account, QStringLiteral("INBOX"));
    const QMailFolderId other = makeFolder(account, QStringLiteral("Other"));
    QList<QMailMessageMetaData> messages;
    const int days[] = { 3, 1, 2 };
    for (int i = 0; i < 3; ++i) {
        QMailMessageMetaData m;
        m.setParentFolderId(i == 2 ? other : inbox);
        m.setSubject(QStringLiteral("subject %1").arg(i));
        m.setServerUid(QStringLiteral("uid%1").arg(i));
        m.setDate(QMailTimeStamp(QDateTime(QDate(2020, 1, days[i]), QTime(0, 0), Qt::UTC)));
        m.setStatus(i == 0 ? QMailMessageMetaData::Read : 0);
        QVERIFY(m_store->addMessage(&m));
        messages.append(m);
    }
    const QMailMessageId m0 = messages[0].id(), m1 = messages[1].id(), m2 = messages[2].id();
    QCOMPARE(m_store->queryMessages(QMailMessageKey::parentFolderId(inbox)),
             (QMailMessageIdList { m0, m1 }));
    QCOMPARE(m_store->queryMessages(QMailMessageKey::parentAccountId(account)),
             (QMailMessageIdList { m0, m1, m2 }));
    QCOMPARE(m_store->queryMessages(QMailMessageKey::parentAccountId(account),
                                    QMailMessageSortKey::timeStamp()),
             (QMailMessageIdList { m1, m2, m0 }));
    QCOMPARE(m_store->queryMessages(QMailMessageKey::parentAccountId(account),
                                    QMailMessageSortKey(), 1, 1),
             (QMailMessageIdList { m1 }));
    QCOMPARE(m_store->queryMessages(QMailMessageKey::parentAccountId(account)
                                    & QMailMessageKey::status(QMailMessageMetaData::Read,
                                                              QMailDataComparator::Excludes)),
             (QMailMessageIdList { m1, m2 }));
    QCOMPARE(m_store->queryMessages(QMailMessageKey::serverUid(QStringLiteral("uid1"))
                                    & QMailMessageKey::parentAccountId(account)),
             (QMailMessageIdList { m1 }));
    QCOMPARE(m_store->queryMessages(
                 QMailMessageKey::timeStamp(QDateTime(QDate(2020, 1, 2), QTime(0, 0), Qt::UTC),
                                            QMailDataComparator::GreaterThanEqual)
                 & QMailMessageKey::parentAccountId(account)),
             (QMailMessageIdList { m0, m2 }));
    // Lists of server uids are lists of texts, not of ids.
    QCOMPARE(m_store->queryMessages(QMailMessageKey::serverUid(QStringList { "uid2", "uid0", "x" })
                                    & QMailMessageKey::parentAccountId(account)),
             (QMailMessageIdList { m0, m2 }));
    // Texts are values, never part of the statement.
    const QString hostile = QStringLiteral("x' OR '1'='1'); DROP TABLE messages; --");
    QMailMessageMetaData quoted;
    quoted.setParentFolderId(other);
    quoted.setSubject(hostile);
    quoted.setServerUid(hostile);
    QVERIFY(m_store->addMessage(&quoted));
    QCOMPARE(m_store->messageMetaData(quoted.id()).subject(), hostile);
    QCOMPARE(m_store->queryMessages(QMailMessageKey::serverUid(hostile)),
             (QMailMessageIdList { quoted.id() }));
    QCOMPARE(m_store->queryMessages(QMailMessageKey::subject(QStringLiteral("OR '1'='1'"),
                                                             QMailDataComparator::Includes)),
             (QMailMessageIdList { quoted.id() }));
    QCOMPARE(m_store->messageMetaData(hostile, account).id(), quoted.id());
    // An id list longer than SQLite's limit on bound values still works.
    QMailMessageIdList many;
    for (quint64 i = 1; i <= 40000; ++i)
        many.append(QMailMessageId(i + 1000000));
    many.append(m1);
    QCOMPARE(m_store->queryMessages(QMailMessageKey::id(many)), (QMailMessageIdList { m1 }));
}

void TestMailStore::oneSignalPerOperation()
{
    const QMailAccountId account = makeAccount(QStringLiteral("Signals"));
    const QMailFolderId folder = makeFolder(account, QStringLiteral("INBOX"));
    QSignalSpy added(m_store, &QMailStore::messagesAdded);
    QSignalSpy updated(m_store, &QMailStore::messagesUpdated);
    QSignalSpy removed(m_store, &QMailStore::messagesRemoved);

    QList<QMailMessageMetaData> storage;
    for (int i = 0; i < 500; ++i) {
        QMailMessageMetaData m;
        m.setParentFolderId(folder);
        m.setSubject(QString::number(i));
        storage.append(m);
    }
    QList<QMailMessageMetaData *> pointers;
    for (QMailMessageMetaData &m : storage)
        pointers.append(&m);
    QVERIFY(m_store->addMessages(pointers));
    QCOMPARE(added.count(), 1);
    const QMailMessageIdList ids = added.at(0).at(0).value<QMailMessageIdList>();
    QCOMPARE(ids.size(), 500);
    QCOMPARE(ids.last(), storage.last().id());

    QVERIFY(m_store->updateMessagesMetaData(QMailMessageKey::parentFolderId(folder),
                                            QMailMessageMetaData::Read, true));
    QCOMPARE(updated.count(), 1);
    QCOMPARE(updated.at(0).at(0).value<QMailMessageIdList>().size(), 500);

    // A transaction of many operations announces once per kind at its end.
    QVERIFY(m_store->startTransaction());
    QMailMessageMetaData extra;
    extra.setParentFolderId(folder);
    QVERIFY(m_store->addMessage(&extra));
    QVERIFY(m_store->updateMessage(&extra));
    QVERIFY(m_store->removeMessage(ids.at(0)));
    QVERIFY(m_store->removeMessage(ids.at(1)));
    QCOMPARE(added.count(), 1);
    QVERIFY(m_store->commitTransaction());
    QCOMPARE(added.count(), 2);
    QCOMPARE(added.last().at(0).value<QMailMessageIdList>(), (QMailMessageIdList { extra.id() }));
    QCOMPARE(updated.count(), 2);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(removed.last().at(0).value<QMailMessageIdList>(),
             (QMailMessageIdList { ids.at(0), ids.at(1) }));

    QVERIFY(m_store->removeMessages(QMailMessageKey::parentFolderId(folder)));
    QCOMPARE(removed.count(), 2);
    QCOMPARE(removed.last().at(0).value<QMailMessageIdList>().size(), 499);
}

void TestMailStore::removalCascades()
{
    const QMailAccountId account = makeAccount(QStringLiteral("Cascade"));
    const QMailAccountId bystander = makeAccount(QStringLiteral("Bystander"));
    const QMailFolderId top = makeFolder(account, QStringLiteral("top"));
    QMailFolder sub(QStringLiteral("top/sub"), top, account);
    QVERIFY(m_store->addFolder(&sub));
    QMailMessage message = QMailMessage::fromRfc2822(MultipartText);
    message.setParentFolderId(sub.id());
    QVERIFY(m_store->addMessage(&message));
    const QString file = message.contentIdentifier();

    // A bystander account that used the sub-folder as its trash loses the role.
    QMailAccount other(bystander);
    other.setStandardFolder(QMailFolder::TrashFolder, sub.id());
    QVERIFY(m_store->updateAccount(&other));

    QSignalSpy messagesRemoved(m_store, &QMailStore::messagesRemoved);
    QSignalSpy foldersRemoved(m_store, &QMailStore::foldersRemoved);
    QSignalSpy accountsUpdated(m_store, &QMailStore::accountsUpdated);
    QVERIFY(m_store->removeFolder(top));
    QCOMPARE(messagesRemoved.count(), 1);
    QCOMPARE(messagesRemoved.at(0).at(0).value<QMailMessageIdList>(),
             (QMailMessageIdList { message.id() }));
    QCOMPARE(foldersRemoved.count(), 1);
    QCOMPARE(foldersRemoved.at(0).at(0).value<QMailFolderIdList>(),
             (QMailFolderIdList { top, sub.id() }));
    QCOMPARE(accountsUpdated.count(), 1);
    QCOMPARE(accountsUpdated.at(0).at(0).value<QMailAccountIdList>(),
             (QMailAccountIdList { bystander }));
    QVERIFY(!QMailAccount(bystander).standardFolder(QMailFolder::TrashFolder).isValid());
    QVERIFY(!QFile::exists(file));

    // Removing an account takes its folders and messages along.
    const QMailFolderId inbox = makeFolder(account, QStringLiteral("INBOX"));
    QMailMessageMetaData m;
    m.setParentFolderId(inbox);
    QVERIFY(m_store->addMessage(&m));
    QSignalSpy accountsRemoved(m_store, &QMailStore::accountsRemoved);
    QVERIFY(m_store->removeAccount(account));
    QCOMPARE(accountsRemoved.count(), 1);
    QCOMPARE(accountsRemoved.at(0).at(0).value<QMailAccountIdList>(),
             (QMailAccountIdList { account }));
    QCOMPARE(foldersRemoved.last().at(0).value<QMailFolderIdList>(), (QMailFolderIdList { inbox }));
    QCOMPARE(messagesRemoved.last().at(0).value<QMailMessageIdList>(),
             (QMailMessageIdList { m.id() }));
    QVERIFY(!m_store->messageMetaData(m.id()).id().isValid());
    QVERIFY(QMailAccount(bystander).id().isValid());
}

void TestMailStore::transactionRollback()
{
    const QMailFolderId folder
        = makeFolder(makeAccount(QStringLiteral("Rollback")), QStringLiteral("INBOX"));
    const int before = m_store->countMessages();
    const int filesBefore = contentFiles();
    QSignalSpy added(m_store, &QMailStore::messagesAdded);

    QVERIFY(m_store->startTransaction());
    QVERIFY(!m_store->startTransaction());
    QMailMessage message = QMailMessage::fromRfc2822(MultipartText);
    message.setParentFolderId(folder);
    QVERIFY(m_store->addMessage(&message));
    // Readable inside the transaction, gone with it.
    QCOMPARE(m_store->message(message.id()).partCount(), 2);
    m_store->rollbackTransaction();
    QCOMPARE(added.count(), 0);
    QCOMPARE(m_store->countMessages(), before);
    QCOMPARE(contentFiles(), filesBefore);
    QVERIFY(!m_store->inTransaction());
    QVERIFY(!m_store->commitTransaction());
}

void TestMailStore::failedOperationInsideTransaction()
{
    const QMailFolderId folder
        = makeFolder(makeAccount(QStringLiteral("Partial")), QStringLiteral("INBOX"));
    const int filesBefore = contentFiles();
    QSignalSpy added(m_store, &QMailStore::messagesAdded);
    QVERIFY(m_store->startTransaction());
    QMailMessage good = QMailMessage::fromRfc2822(MultipartText);
    good.setParentFolderId(folder);
    QMailMessage bad = QMailMessage::fromRfc2822(MultipartText);
    bad.setParentFolderId(QMailFolderId(99999999));
    // The failing batch leaves no row, no file and no announcement behind.
    QVERIFY(!m_store->addMessages(QList<QMailMessage *>() << &good << &bad));
    QCOMPARE(m_store->lastError(), QMailStore::ConstraintFailure);
    QVERIFY(!good.id().isValid());
    QMailMessage later = QMailMessage::fromRfc2822(MultipartText);
    later.setParentFolderId(folder);
    QVERIFY(m_store->addMessage(&later));
    QVERIFY(m_store->commitTransaction());
    QCOMPARE(added.count(), 1);
    QCOMPARE(added.at(0).at(0).value<QMailMessageIdList>(), (QMailMessageIdList { later.id() }));
    QCOMPARE(m_store->queryMessages(QMailMessageKey::parentFolderId(folder)),
             (QMailMessageIdList { later.id() }));
    QCOMPARE(contentFiles(), filesBefore + 1);
}

QTEST_GUILESS_MAIN(TestMailStore)
#include "tst_qmailstore.moc"
