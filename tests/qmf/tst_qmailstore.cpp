// The mail store on a real SQLite database in a temporary folder, without a
// session bus: round trips, keys, invalid ids, cascades, transactions and the
// change signals a process receives for its own changes.

#include "storefixture.h"
#include "testenvironment.h"

#include <qmailbulkpriority.h>
#include <qmailmaildir.h>
#include <qmailstore.h>

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QtTest>

#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

const QByteArray MultipartText = "From: Sender <sender@example.org>\nTo: a@example.org\n"
                                 "Subject: parts\nDate: Wed, 2 Jul 2003 08:00:00 +0000\n"
                                 "Content-Type: multipart/mixed; boundary=b1\n\n"
                                 "--b1\nContent-Type: text/plain\n\ntext\n"
                                 "--b1\nContent-Type: image/png; name=pic.png\n"
                                 "Content-Disposition: attachment; filename=pic.png\n"
                                 "Content-Transfer-Encoding: base64\n\niVBORw0KGgo=\n--b1--\n";

template<typename Id> QList<Id> idsOf(const QSignalSpy &spy, int index)
{
    return spy.at(index).at(0).value<QList<Id>>();
}

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
    void accounts();
    void folders();
    void messageRoundTrip();
    void messageContentAndParts();
    void messageFromFile_data();
    void messageFromFile();
    void invalidIds();
    void folderKeys();
    void messageKeysAndSorting();
    void removalCascades();
    void transactionsAndSignals();
    void bulkSlice();

private:
    int contentFiles() const { return StoreFixture::contentFiles(m_store->storagePath()).size(); }
    QMailMessage addText(const QMailFolderId &folder, const QByteArray &text = MultipartText)
    {
        QMailMessage message = QMailMessage::fromRfc2822(text);
        message.setParentFolderId(folder);
        m_store->addMessage(&message);
        return message;
    }

    TestEnvironment m_env;
    QMailStore *m_store = nullptr;
};

void TestMailStore::initTestCase()
{
    QVERIFY(m_env.isValid());
    m_store = QMailStore::instance();
    QCOMPARE(QMailStore::initializationState(), QMailStore::Initialized);
    QCOMPARE(m_store->storagePath(), m_env.path(QStringLiteral("home/.qmf")));
    QVERIFY(QFile::exists(m_store->databasePath()));
}

void TestMailStore::accounts()
{
    QMailAccount account;
    account.setName(QStringLiteral("Work"));
    account.setSignature(QStringLiteral("-- \nRegards"));
    account.setFromAddress(
        QMailAddress(QStringLiteral("Ann Smith"), QStringLiteral("ann@example.org")));
    account.setStatus(QMailAccount::Enabled | QMailAccount::CanRetrieve);
    QVERIFY(m_store->addAccount(&account));
    account.setStandardFolder(QMailFolder::InboxFolder,
                              StoreFixture::addFolder(account.id(), QStringLiteral("INBOX")));
    account.setStandardFolder(QMailFolder::TrashFolder,
                              StoreFixture::addFolder(account.id(), QStringLiteral("Trash")));
    QVERIFY(m_store->updateAccount(&account));
    QVERIFY(QMailAccount(account.id()) == account);

    // A standard folder that does not exist is refused and changes nothing.
    QMailAccount broken(account);
    broken.setStandardFolder(QMailFolder::SentFolder, QMailFolderId(999999));
    QVERIFY(!m_store->updateAccount(&broken));
    QCOMPARE(m_store->lastError(), QMailStore::ConstraintFailure);
    QVERIFY(QMailAccount(account.id()) == account);

    // An account may bring its id, once.
    QMailAccount chosen;
    chosen.setId(QMailAccountId(4242));
    chosen.setName(QStringLiteral("Chosen"));
    QVERIFY(m_store->addAccount(&chosen));
    QCOMPARE(QMailAccount(QMailAccountId(4242)).name(), QStringLiteral("Chosen"));
    chosen.setName(QStringLiteral("Twin"));
    QVERIFY(!m_store->addAccount(&chosen));
    QCOMPARE(m_store->lastError(), QMailStore::ConstraintFailure);
    QCOMPARE(QMailAccount(QMailAccountId(4242)).name(), QStringLiteral("Chosen"));
}

void TestMailStore::folders()
{
    const QMailAccountId account = StoreFixture::addAccount(QStringLiteral("Folders"));
    const QMailFolderId parent = StoreFixture::addFolder(account, QStringLiteral("Lists"));
    QMailFolder folder(QStringLiteral("Lists/Qt"), parent, account);
    folder.setDisplayName(QStringLiteral("Qt list"));
    folder.setStatus(QMailFolder::Favourite | QMailFolder::Sent);
    QVERIFY(m_store->addFolder(&folder));
    QMailFolder loaded(folder.id());
    QVERIFY(loaded == folder);
    // Without a display name the path stands in.
    QCOMPARE(QMailFolder(parent).displayName(), QStringLiteral("Lists"));
    loaded.setStatus(QMailFolder::Favourite, false);
    loaded.setStatus(QMailFolder::Trash, true);
    QVERIFY(m_store->updateFolder(&loaded));
    QCOMPARE(m_store->folder(folder.id()).status(), QMailFolder::Sent | QMailFolder::Trash);

    // No missing parent or account, and no folder below itself.
    QMailFolder orphan(QStringLiteral("x"), QMailFolderId(888888), account);
    QVERIFY(!m_store->addFolder(&orphan));
    QCOMPARE(m_store->lastError(), QMailStore::ConstraintFailure);
    QVERIFY(!orphan.id().isValid());
    QMailFolder noAccount(QStringLiteral("x"), QMailFolderId(), QMailAccountId(777777));
    QVERIFY(!m_store->addFolder(&noAccount));
    QMailFolder loop = m_store->folder(parent);
    loop.setParentFolderId(folder.id());
    QVERIFY(!m_store->updateFolder(&loop));
    QCOMPARE(m_store->lastError(), QMailStore::ConstraintFailure);
    QVERIFY(!m_store->folder(parent).parentFolderId().isValid());
    QMailFolder ghost(QStringLiteral("ghost"));
    ghost.setId(QMailFolderId(555555));
    QVERIFY(!m_store->updateFolder(&ghost));
    QCOMPARE(m_store->lastError(), QMailStore::InvalidId);
}

void TestMailStore::messageRoundTrip()
{
    QMailFolderId folder;
    const QMailAccountId account = StoreFixture::addAccount(QStringLiteral("Messages"), &folder);

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

    QMailMessageMetaData reply;
    reply.setParentFolderId(folder);
    reply.setInResponseTo(original.id());
    QVERIFY(m_store->addMessage(&reply));
    // The folder's account is the message's account.
    QCOMPARE(reply.parentAccountId(), account);

    const QMailMessageMetaData loaded = m_store->messageMetaData(original.id());
    QVERIFY(loaded == original);
    QCOMPARE(loaded.date().utcOffset(), 7200);
    // Dates that were never set stay null through the store.
    const QMailMessageMetaData bare(reply.id());
    QCOMPARE(bare.inResponseTo(), original.id());
    QVERIFY(bare.date().isNull() && bare.receivedDate().isNull());

    QCOMPARE(m_store->messageMetaData(QStringLiteral("uid-17"), account).id(), original.id());

    // A name decoded from an encoded word may hold any character, also the
    // ones the store separates addresses with: they never split an address.
    QMailMessageMetaData smuggled;
    smuggled.setParentFolderId(folder);
    smuggled.setTo(
        { QMailAddress(QStringLiteral("A\u001eB\u001fC"), QStringLiteral("a@example.org")),
          QMailAddress(QStringLiteral("b@example.org")) });
    QVERIFY(m_store->addMessage(&smuggled));
    QCOMPARE(m_store->messageMetaData(smuggled.id()).to(),
             (QList<QMailAddress> {
                 QMailAddress(QStringLiteral("A B C"), QStringLiteral("a@example.org")),
                 QMailAddress(QStringLiteral("b@example.org")) }));

    // A NUL byte never cuts a text short.
    const QMailMessage nul = addText(folder, QByteArray("Subject: a\0b\n\nbody\n", 19));
    QCOMPARE(m_store->messageMetaData(nul.id()).subject(), QString::fromUtf8("a\uFFFDb"));

    // Removing the answered message leaves the reply pointing at nothing.
    QVERIFY(m_store->removeMessage(original.id()));
    QVERIFY(!m_store->messageMetaData(reply.id()).inResponseTo().isValid());
}

void TestMailStore::messageContentAndParts()
{
    QMailFolderId folder;
    StoreFixture::addAccount(QStringLiteral("Content"), &folder);
    const QMailMessage message = addText(folder);
    QCOMPARE(message.contentScheme(), QStringLiteral("qmfstoragemanager"));
    const QString file = message.contentIdentifier();
    QVERIFY(file.startsWith(m_store->storagePath() + QLatin1String("/mail/")));
    QFile stored(file);
    QVERIFY(stored.open(QIODevice::ReadOnly));
    QCOMPARE(stored.readAll(), MultipartText);

    const QMailMessage loaded(message.id());
    QVERIFY(loaded.status() & QMailMessageMetaData::HasAttachments);
    QCOMPARE(loaded.partCount(), 2);
    // The locations of the loaded parts and of the writer's copy name the id.
    const QString id = QString::number(message.id().toULongLong());
    QCOMPARE(loaded.partAt(1).location().toString(true), id + QLatin1String("-2"));
    QCOMPARE(message.partAt(0).location().toString(true), id + QLatin1String("-1"));
    QCOMPARE(loaded.partAt(1).body().data(QMailMessageBody::Decoded),
             QByteArray::fromBase64("iVBORw0KGgo="));

    // New content replaces the file; the old one goes after the commit.
    QMailMessage changed = loaded;
    changed.setRfc2822Content("Subject: replaced\n\nshort\n");
    QVERIFY(m_store->updateMessage(&changed));
    QVERIFY(!QFile::exists(file));
    const QMailMessage reloaded(message.id());
    QCOMPARE(reloaded.toRfc2822(), QByteArray("Subject: replaced\n\nshort\n"));
    QCOMPARE(reloaded.partCount(), 0);

    // A message whose file is gone keeps its metadata and can be removed.
    QVERIFY(QFile::remove(reloaded.contentIdentifier()));
    const QMailMessage orphan(message.id());
    QCOMPARE(orphan.subject(), QStringLiteral("replaced"));
    QCOMPARE(orphan.partCount(), 0);
    QCOMPARE(m_store->lastError(), QMailStore::ContentInaccessible);
    QVERIFY(m_store->removeMessage(message.id()));
    // Removing a message removes its content file.
    const QMailMessage other = addText(folder);
    QVERIFY(m_store->removeMessage(other.id()));
    QVERIFY(!QFile::exists(other.contentIdentifier()));
}

void TestMailStore::messageFromFile_data()
{
    // What the file is a link to, "fifo", "" for a file, "elsewhere" for a
    // file on another file system.
    QTest::addColumn<QString>("link");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("refusal"); // after "<path>: "; empty when the file is taken
    const QString link = QStringLiteral("a symbolic link, not a regular file");
    QTest::newRow("message") << QString() << MultipartText << QString();
    QTest::newRow("attachment two levels down")
        << QString()
        << QByteArray("Subject: nested\nContent-Type: multipart/alternative; boundary=b1\n\n"
                      "--b1\n\nplain\n--b1\nContent-Type: multipart/mixed; boundary=b10\n\n"
                      "--b10\nContent-Type: text/html\n\n<p>html\n--b10\n"
                      "Content-Disposition: attachment; filename=a.pdf\n\nJVBE\n--b1--\n")
        << QString();
    // Past 1 MiB a file is read as it goes rather than whole first; copied so
    // from another file system.
    const QByteArray large
        = QByteArray("Subject: big\nContent-Type: multipart/mixed; boundary=b\n\n"
                     "--b\n\ntext\n--b\nContent-Disposition: attachment; filename=a.bin\n\n")
        + (QByteArray(76, 'A') + '\n').repeated(15000) + "--b--\n";
    QTest::newRow("streamed") << QString() << large << QString();
    QTest::newRow("another file system") << "elsewhere" << large << QString();
    QTest::newRow("FIFO") << "fifo" << QByteArray() << "a FIFO, not a regular file";
    QTest::newRow("link out of the folder") << "/etc/passwd" << QByteArray() << link;
    QTest::newRow("empty") << QString() << QByteArray() << "not a mail message: the file is empty";
    QTest::newRow("binary") << QString()
                            << QByteArray("\x7f"
                                          "ELF\x02\x01",
                                          6)
                            << "not a mail message: it does not start with a header field";
    // Sparse: no room taken.
    QTest::newRow("too large") << QString() << QByteArray()
                               << "larger than 256 MiB, the largest message the store takes";
}

void TestMailStore::messageFromFile()
{
    QFETCH(QString, link);
    QFETCH(QByteArray, content);
    QFETCH(QString, refusal);
    static QMailFolderId folder;
    if (!folder.isValid())
        StoreFixture::addAccount(QStringLiteral("Files"), &folder);
    const QString name
        = QStringLiteral("file-") + QString(QTest::currentDataTag()).replace('/', '-');
    const QTemporaryDir shm(QStringLiteral("/dev/shm/tst_qmailstore-XXXXXX"));
    const QString path = link == QLatin1String("elsewhere") ? shm.filePath(name) : m_env.path(name);
    QFile file(path);
    if (link == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (!link.isEmpty() && link != QLatin1String("elsewhere"))
        QVERIFY(QFile::link(link.startsWith(QLatin1Char('/')) ? link : m_env.path(link), path));
    else
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size()
                && (!refusal.startsWith(QLatin1String("larger"))
                    || file.resize(QMailMessageFile::MaximumSize + 1)));
    file.close();
    const int before = m_store->countMessages();
    const int files = contentFiles();
    QMailMessageMetaData metaData;
    metaData.setParentFolderId(folder);
    const bool added = m_store->addMessageFromFile(&metaData, path);
    // Taken or not, the file stays as it was.
    QVERIFY(QFileInfo(path).isSymLink() || QFileInfo(path).size() >= content.size());
    if (!refusal.isEmpty()) {
        QVERIFY(!added);
        QCOMPARE(m_store->lastError(), QMailStore::ContentRefused);
        QCOMPARE(m_store->lastErrorText(), path + QStringLiteral(": ") + refusal);
        QCOMPARE(m_store->countMessages(), before);
        QCOMPARE(contentFiles(), files);
        return;
    }
    QVERIFY2(added, qPrintable(m_store->lastErrorText()));
    // As the whole text gives it, though only the header was parsed.
    const QMailMessage stored(metaData.id());
    const QMailMessage whole = addText(folder, content);
    QCOMPARE(stored.toRfc2822(), content);
    // Where it can be, the file itself is the content, under a second name.
    struct stat source = {}, kept = {};
    QVERIFY(::stat(QFile::encodeName(path).constData(), &source) == 0
            && ::stat(QFile::encodeName(stored.contentIdentifier()).constData(), &kept) == 0);
    QCOMPARE(source.st_ino == kept.st_ino, source.st_dev == kept.st_dev);
    QCOMPARE(source.st_dev == kept.st_dev, link.isEmpty());
    QCOMPARE(stored.subject() + stored.date().toString() + stored.to().value(0).address(),
             whole.subject() + whole.date().toString() + whole.to().value(0).address());
    QCOMPARE(stored.status(), whole.status());
    QVERIFY(stored.status() & QMailMessageMetaData::HasAttachments);
    QCOMPARE(m_store->messageHeaders(stored.id()).partAt(1).partCount(),
             whole.partAt(1).partCount());
    // The same read for a list of ids: an id the store lacks is left out.
    const QList<QMailMessage> headers
        = m_store->messagesHeaders({ QMailMessageId(1u << 30), stored.id() });
    QCOMPARE(headers.size(), 1);
    QCOMPARE(headers.first().subject() + QString::number(headers.first().partAt(1).partCount()),
             whole.subject() + QString::number(whole.partAt(1).partCount()));
    QCOMPARE(stored.size(), whole.size());
    QCOMPARE(stored.receivedDate().toUTC().toSecsSinceEpoch(),
             QFileInfo(path).lastModified().toSecsSinceEpoch());
    // A shared file a writer then grew past the largest message is not read.
    if (link.isEmpty()) {
        QVERIFY(QFile::resize(path, QMailMessageFile::MaximumSize + 1));
        QCOMPARE(QMailMessage(metaData.id()).partCount(), 0);
        QCOMPARE(m_store->lastError(), QMailStore::ContentRefused);
    }
}

void TestMailStore::invalidIds()
{
    QVERIFY(!QMailAccount(QMailAccountId(987654)).id().isValid());
    QVERIFY(!QMailAccount(QMailAccountId()).id().isValid());
    QVERIFY(!QMailFolder(QMailFolderId(987654)).id().isValid());
    QVERIFY(!m_store->folder(QMailFolderId()).id().isValid());
    QVERIFY(m_store->messageMetaData(QMailMessageId(987654)) == QMailMessageMetaData());
    QVERIFY(!QMailMessage(QMailMessageId(987654)).id().isValid());
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
    using StoreFixture::addFolder;
    QMailFolderId b, e; // the accounts' inboxes
    const QMailAccountId first = StoreFixture::addAccount(QStringLiteral("Keys 1"), &b);
    const QMailAccountId second = StoreFixture::addAccount(QStringLiteral("Keys 2"), &e);
    const QMailFolderId a = addFolder(first, QStringLiteral("B-folder"), QMailFolder::Favourite);
    const QMailFolderId c
        = addFolder(first, QStringLiteral("C-folder"), QMailFolder::Favourite | QMailFolder::Sent);
    const QMailFolderId d = addFolder(second, QStringLiteral("D-folder"), QMailFolder::Favourite);
    const QMailFolderKey inFirst = QMailFolderKey::parentAccountId(first);
    namespace C = QMailDataComparator;
    // Includes asks for every bit of the mask.
    const QList<QPair<QMailFolderKey, QMailFolderIdList>> cases = {
        { inFirst & QMailFolderKey::status(QMailFolder::Favourite, C::Includes), { a, c } },
        { inFirst & QMailFolderKey::status(QMailFolder::Favourite, C::Excludes), { b } },
        { inFirst & QMailFolderKey::status(QMailFolder::Favourite | QMailFolder::Sent), { c } },
        { QMailFolderKey::id(QMailFolderIdList { a, d })
              | QMailFolderKey::path(QStringLiteral("C-folder")),
          { a, c, d } },
        { ~inFirst & QMailFolderKey::parentAccountId(QMailAccountIdList { first, second }),
          { e, d } },
        { QMailFolderKey::path(QStringLiteral("-fold"), C::Includes)
              & QMailFolderKey::parentAccountId(second),
          { d } },
        { QMailFolderKey::id(QMailFolderIdList()), {} },
        // Wildcards in a text are matched literally.
        { QMailFolderKey::path(QStringLiteral("%"), C::Includes), {} },
    };
    for (const auto &query : cases)
        QCOMPARE(m_store->queryFolders(query.first), query.second);
    QCOMPARE(m_store->queryFolders(inFirst, QMailFolderSortKey::path()),
             (QMailFolderIdList { a, c, b }));
    QCOMPARE(m_store->queryFolders(inFirst, QMailFolderSortKey::path(Qt::DescendingOrder), 2),
             (QMailFolderIdList { b, c }));
}

void TestMailStore::messageKeysAndSorting()
{
    QMailFolderId inbox;
    const QMailAccountId account = StoreFixture::addAccount(QStringLiteral("Message keys"), &inbox);
    const QMailFolderId other = StoreFixture::addFolder(account, QStringLiteral("Other"));
    QMailMessageIdList ids;
    const int days[] = { 3, 1, 2 };
    for (int i = 0; i < 3; ++i) {
        QMailMessageMetaData m;
        m.setParentFolderId(i == 2 ? other : inbox);
        m.setServerUid(QStringLiteral("uid%1").arg(i));
        m.setDate(QMailTimeStamp(QDateTime(QDate(2020, 1, days[i]), QTime(0, 0), Qt::UTC)));
        m.setStatus(i == 0 ? QMailMessageMetaData::Read : 0);
        QVERIFY(m_store->addMessage(&m));
        ids.append(m.id());
    }
    // Texts are values, never part of the statement.
    const QString hostile = QStringLiteral("x' OR '1'='1'); DROP TABLE messages; --");
    QMailMessageMetaData quoted;
    quoted.setParentFolderId(other);
    quoted.setSubject(hostile);
    quoted.setServerUid(hostile);
    QVERIFY(m_store->addMessage(&quoted));
    const QMailMessageKey inAccount = QMailMessageKey::parentAccountId(account);
    const QMailMessageKey old = ~QMailMessageKey::id(quoted.id());
    namespace C = QMailDataComparator;
    const QList<QPair<QMailMessageKey, QMailMessageIdList>> cases = {
        { QMailMessageKey::parentFolderId(inbox), { ids[0], ids[1] } },
        { inAccount & old & QMailMessageKey::status(QMailMessageMetaData::Read, C::Excludes),
          { ids[1], ids[2] } },
        { inAccount & QMailMessageKey::serverUid(QStringLiteral("uid1")), { ids[1] } },
        { inAccount & old
              & QMailMessageKey::timeStamp(QDateTime(QDate(2020, 1, 2), QTime(0, 0), Qt::UTC),
                                           C::GreaterThanEqual),
          { ids[0], ids[2] } },
        // Lists of server uids are lists of texts, not of ids.
        { inAccount & QMailMessageKey::serverUid(QStringList { "uid2", "uid0", "x" }),
          { ids[0], ids[2] } },
        { QMailMessageKey::serverUid(hostile), { quoted.id() } },
        { QMailMessageKey::subject(QStringLiteral("OR '1'='1'"), C::Includes), { quoted.id() } },
    };
    for (const auto &query : cases) {
        QCOMPARE(m_store->queryMessages(query.first), query.second);
        QMailMessageIdList read; // the same messages, read whole
        for (const QMailMessageMetaData &m : m_store->messagesMetaData(query.first))
            read.append(m.id());
        QCOMPARE(read, query.second);
    }
    QCOMPARE(m_store->queryMessages(inAccount & old, QMailMessageSortKey::timeStamp()),
             (QMailMessageIdList { ids[1], ids[2], ids[0] }));
    QCOMPARE(m_store->queryMessages(inAccount, QMailMessageSortKey(), 1, 1),
             (QMailMessageIdList { ids[1] }));
    QCOMPARE(m_store->messageMetaData(quoted.id()).subject(), hostile);
    QCOMPARE(m_store->messageMetaData(hostile, account).id(), quoted.id());
    // An id list longer than SQLite's limit on bound values still works.
    QMailMessageIdList many;
    for (quint64 i = 1; i <= 40000; ++i)
        many.append(QMailMessageId(i + 1000000));
    many.append(ids[1]);
    QCOMPARE(m_store->queryMessages(QMailMessageKey::id(many)), (QMailMessageIdList { ids[1] }));
}

void TestMailStore::removalCascades()
{
    QMailFolderId inbox;
    const QMailAccountId account = StoreFixture::addAccount(QStringLiteral("Cascade"), &inbox);
    QMailFolderId bystanderInbox;
    const QMailAccountId bystander
        = StoreFixture::addAccount(QStringLiteral("Bystander"), &bystanderInbox);
    const QMailFolderId top = StoreFixture::addFolder(account, QStringLiteral("top"));
    const QMailFolder sub(StoreFixture::addFolder(account, QStringLiteral("top/sub"), 0, top));
    const QMailMessage message = addText(sub.id());
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
    QCOMPARE(idsOf<QMailMessageId>(messagesRemoved, 0), (QMailMessageIdList { message.id() }));
    QCOMPARE(foldersRemoved.count(), 1);
    QCOMPARE(idsOf<QMailFolderId>(foldersRemoved, 0), (QMailFolderIdList { top, sub.id() }));
    QCOMPARE(accountsUpdated.count(), 1);
    QCOMPARE(idsOf<QMailAccountId>(accountsUpdated, 0), (QMailAccountIdList { bystander }));
    QVERIFY(!QMailAccount(bystander).standardFolder(QMailFolder::TrashFolder).isValid());
    QVERIFY(!QFile::exists(file));

    // The user's removal records where the server copy is: where a moved
    // message came from, and only for a message with a server copy.
    const QMailFolderId other2 = StoreFixture::addFolder(account, QStringLiteral("other"));
    QMailMessageMetaData m, plain;
    m.setParentFolderId(inbox);
    m.setServerUid(QStringLiteral("u1"));
    QVERIFY(m_store->addMessage(&m) && m_store->addMessage(&plain));
    QVERIFY(m_store->moveMessages(QMailMessageKey::id(m.id()), other2));
    QVERIFY(m_store->moveMessages(QMailMessageKey::id(m.id()), bystanderInbox));
    QVERIFY(m_store->removeMessages(QMailMessageKey::id(QMailMessageIdList { m.id(), plain.id() }),
                                    QMailStore::CreateRemovalRecord));
    const QList<QMailServerCopy> records = m_store->messageRemovalRecords(account);
    QVERIFY(records.size() == 1 && records.at(0).folderId == inbox);
    QVERIFY(m_store->messageOrigins(account).isEmpty());
    QVERIFY(m_store->purgeMessageRemovalRecords(records));
    QVERIFY(m_store->messageRemovalRecords(account).isEmpty());

    // Removing an account takes its folders and messages along.
    m = QMailMessageMetaData();
    m.setParentFolderId(inbox);
    QVERIFY(m_store->addMessage(&m));
    QSignalSpy accountsRemoved(m_store, &QMailStore::accountsRemoved);
    QVERIFY(m_store->removeAccount(account));
    QCOMPARE(accountsRemoved.count(), 1);
    QCOMPARE(idsOf<QMailAccountId>(accountsRemoved, 0), (QMailAccountIdList { account }));
    QCOMPARE(idsOf<QMailFolderId>(foldersRemoved, foldersRemoved.count() - 1),
             (QMailFolderIdList { inbox, other2 }));
    QCOMPARE(idsOf<QMailMessageId>(messagesRemoved, messagesRemoved.count() - 1),
             (QMailMessageIdList { m.id() }));
    QVERIFY(!m_store->messageMetaData(m.id()).id().isValid());
    QVERIFY(QMailAccount(bystander).id().isValid());
}

void TestMailStore::transactionsAndSignals()
{
    QMailFolderId folder;
    StoreFixture::addAccount(QStringLiteral("Signals"), &folder);
    const int filesBefore = contentFiles();
    QSignalSpy added(m_store, &QMailStore::messagesAdded);
    QSignalSpy updated(m_store, &QMailStore::messagesUpdated);
    QSignalSpy removed(m_store, &QMailStore::messagesRemoved);
    // One signal per operation, whatever its size.
    std::vector<QMailMessageMetaData> storage(500);
    QList<QMailMessageMetaData *> pointers;
    for (QMailMessageMetaData &m : storage) {
        m.setParentFolderId(folder);
        pointers.append(&m);
    }
    QVERIFY(m_store->addMessages(pointers));
    QCOMPARE(added.count(), 1);
    const QMailMessageIdList ids = idsOf<QMailMessageId>(added, 0);
    QCOMPARE(ids.size(), 500);
    QCOMPARE(ids.last(), storage.back().id());
    QVERIFY(m_store->updateMessagesMetaData(QMailMessageKey::parentFolderId(folder),
                                            QMailMessageMetaData::Read, true));
    QCOMPARE(updated.count(), 1);
    QCOMPARE(idsOf<QMailMessageId>(updated, 0).size(), 500);
    const int before = m_store->countMessages();

    QVERIFY(m_store->startTransaction());
    QVERIFY(!m_store->startTransaction());
    const QMailMessage message = addText(folder);
    // Readable inside the transaction, gone with it.
    QCOMPARE(m_store->message(message.id()).partCount(), 2);
    m_store->rollbackTransaction();
    QCOMPARE(m_store->countMessages(), before);
    QCOMPARE(contentFiles(), filesBefore);
    QVERIFY(!m_store->inTransaction());
    QVERIFY(!m_store->commitTransaction());

    // A failing batch inside a transaction leaves no row, no file and no
    // announcement behind; the rest of the transaction goes on, and is
    // announced once per kind at its end.
    QVERIFY(m_store->startTransaction());
    QMailMessage good = QMailMessage::fromRfc2822(MultipartText);
    good.setParentFolderId(folder);
    QMailMessage bad = good;
    bad.setParentFolderId(QMailFolderId(99999999));
    QVERIFY(!m_store->addMessages(QList<QMailMessage *>() << &good << &bad));
    QCOMPARE(m_store->lastError(), QMailStore::ConstraintFailure);
    QVERIFY(!good.id().isValid());
    QMailMessage later = addText(folder);
    QVERIFY(m_store->updateMessage(&later));
    QVERIFY(m_store->removeMessage(ids.at(0)));
    QVERIFY(m_store->removeMessage(ids.at(1)));
    QCOMPARE(added.count() + updated.count() + removed.count(), 2);
    QVERIFY(m_store->commitTransaction());
    QCOMPARE(added.count(), 2);
    QCOMPARE(idsOf<QMailMessageId>(added, 1), (QMailMessageIdList { later.id() }));
    QCOMPARE(updated.count(), 2);
    QCOMPARE(removed.count(), 1);
    QCOMPARE(idsOf<QMailMessageId>(removed, 0), (QMailMessageIdList { ids.at(0), ids.at(1) }));
    QCOMPARE(contentFiles(), filesBefore + 1);
    QVERIFY(m_store->removeMessages(QMailMessageKey::parentFolderId(folder)));
    QCOMPARE(removed.count(), 2);
    QCOMPARE(idsOf<QMailMessageId>(removed, 1).size(), 499);
}

void TestMailStore::bulkSlice()
{
    // I/O priority, nice value and scheduling policy of this thread.
    const auto state = [] {
        return QList<long> { syscall(SYS_ioprio_get, 1, 0),
                             long(getpriority(PRIO_PROCESS, id_t(syscall(SYS_gettid)))),
                             long(sched_getscheduler(0)) };
    };
    const QList<long> before = state();
    {
        const QMailBulkSlice slice(true);
        const QList<long> during = state();
        QCOMPARE(during.at(0), long((2 << 13) | 7)); // best effort, level 7
        QVERIFY(during.at(1) >= 10 || during.at(2) == SCHED_BATCH);
    }
    QCOMPARE(state(), before);
    {
        const QMailBulkSlice none(false);
        QCOMPARE(state(), before);
    }
}

QTEST_GUILESS_MAIN(TestMailStore)
#include "tst_qmailstore.moc"
