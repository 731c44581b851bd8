// qmfctl against a real store in a temporary folder: accounts, folders,
// Maildir and mbox import, flags, moves, removals, and its error handling.

#include "testenvironment.h"

#include <qmailstore.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

namespace {

struct Result
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

const QByteArray Attachment = "From: Carol <carol@example.org>\n"
                              "To: dave@example.org\n"
                              "Subject: with attachment\n"
                              "Date: Fri, 5 Apr 2024 12:00:00 +0000\n"
                              "Content-Type: multipart/mixed; boundary=q\n"
                              "\n"
                              "--q\n"
                              "Content-Type: text/plain\n"
                              "\n"
                              "see attached\n"
                              "--q\n"
                              "Content-Type: text/csv; name=data.csv; charset=utf-8\n"
                              "Content-Disposition: attachment; filename=data.csv\n"
                              "\n"
                              "a,b\n"
                              "--q--\n";

} // namespace

class TestQmfctl : public QObject
{
    Q_OBJECT
public:
    TestQmfctl()
    {
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        qunsetenv("DISPLAY");
    }

private Q_SLOTS:
    void initTestCase();
    void help();
    void accounts();
    void folders();
    void maildirImport();
    void mboxImport();
    void failedImportWritesNothing();
    void concurrentImports();
    void flagsMovesAndDeletes();
    void badArguments_data();
    void badArguments();
    void removeAccount();
    void notAStore_data();
    void notAStore();

private:
    Result run(const QStringList &args, const QString &dataDir = QString());
    void write(const QString &path, const QByteArray &data);

    TestEnvironment m_env;
    QMailStore *m_store = nullptr;
    QMailFolderId m_inbox;
    QMailFolderId m_archive;
};

Result TestQmfctl::run(const QStringList &args, const QString &dataDir)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!dataDir.isEmpty())
        environment.insert(QStringLiteral("QMF_DATA"), dataDir);
    process.setProcessEnvironment(environment);
    process.start(TestEnvironment::binary(QStringLiteral("qmfctl")), args);
    Result result;
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
        return result;
    result.code = process.exitCode();
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

void TestQmfctl::write(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
}

void TestQmfctl::initTestCase()
{
    QVERIFY(m_env.isValid());
    QVERIFY(QFile::exists(TestEnvironment::binary(QStringLiteral("qmfctl"))));
    m_store = QMailStore::instance();
    QCOMPARE(QMailStore::initializationState(), QMailStore::Initialized);
}

void TestQmfctl::help()
{
    const Result result = run({ "--help" });
    QCOMPARE(result.code, 0);
    for (const char *command : { "account add", "folder update", "import --folder", "mark", "move",
                                 "delete", "list messages", "watch" })
        QVERIFY2(result.out.contains(command), command);

    // Watching needs the bus that carries the changes of other processes.
    const Result watch = run({ "watch" });
    QCOMPARE(watch.code, 1);
    QCOMPARE(watch.err,
             QByteArray("qmfctl: no session bus: the changes of other processes cannot be "
                        "watched\n"));
}

void TestQmfctl::accounts()
{
    Result result
        = run({ "account", "add", "--id", "12", "--name", "Home mail", "--from",
                "Eve Example <eve@example.org>", "--signature", "Eve", "--standard-folders" });
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out, QByteArray("12\n"));
    QVERIFY(result.err.isEmpty());

    const QMailAccount account(QMailAccountId(12));
    QCOMPARE(account.name(), QStringLiteral("Home mail"));
    QCOMPARE(account.fromAddress().toString(true), QStringLiteral("Eve Example <eve@example.org>"));
    QCOMPARE(account.signature(), QStringLiteral("Eve"));
    m_inbox = account.standardFolder(QMailFolder::InboxFolder);
    QVERIFY(m_inbox.isValid());
    const QMailFolder inbox(m_inbox);
    QCOMPARE(inbox.path(), QStringLiteral("Inbox"));
    QCOMPARE(inbox.parentAccountId(), QMailAccountId(12));
    QVERIFY(QMailFolder(account.standardFolder(QMailFolder::SentFolder)).status()
            & QMailFolder::Sent);
    QVERIFY(QMailFolder(account.standardFolder(QMailFolder::TrashFolder)).status()
            & QMailFolder::Trash);

    QCOMPARE(run({ "account", "update", "12", "--name", "Renamed" }).code, 0);
    QCOMPARE(QMailAccount(QMailAccountId(12)).name(), QStringLiteral("Renamed"));

    result = run({ "list", "accounts" });
    QCOMPARE(result.code, 0);
    QVERIFY(result.out.startsWith("12\tRenamed\tEve Example <eve@example.org>\tinbox="
                                  + QByteArray::number(m_inbox.toULongLong()) + " outbox="));

    // The same number twice is refused with one line.
    result = run({ "account", "add", "--id", "12", "--name", "Again" });
    QCOMPARE(result.code, 1);
    QCOMPARE(result.err.count('\n'), 1);
    QVERIFY(result.err.startsWith("qmfctl: Account 12 exists already"));
}

void TestQmfctl::folders()
{
    Result result = run({ "folder", "add", "--account", "12", "--path", "Archive/2024", "--name",
                          "Archive", "--favourite" });
    QCOMPARE(result.code, 0);
    m_archive = QMailFolderId(result.out.trimmed().toULongLong());
    QMailFolder archive(m_archive);
    QCOMPARE(archive.path(), QStringLiteral("Archive/2024"));
    QCOMPARE(archive.displayName(), QStringLiteral("Archive"));
    QVERIFY(archive.status() & QMailFolder::Favourite);

    QCOMPARE(run({ "folder", "update", QString::number(m_archive.toULongLong()), "--no-favourite",
                   "--standard", "junk" })
                 .code,
             0);
    archive = QMailFolder(m_archive);
    QVERIFY(!(archive.status() & QMailFolder::Favourite));
    QVERIFY(archive.status() & QMailFolder::Junk);
    QCOMPARE(QMailAccount(QMailAccountId(12)).standardFolder(QMailFolder::JunkFolder), m_archive);

    result = run({ "list", "folders", "--account", "12" });
    QCOMPARE(result.code, 0);
    QVERIFY(result.out.contains(QByteArray::number(m_archive.toULongLong())
                                + "\t12\t0\tArchive/2024\tArchive\tjunk\n"));

    result = run({ "folder", "add", "--account", "12", "--path", "x", "--parent", "99999" });
    QCOMPARE(result.code, 1);
    QCOMPARE(result.err, QByteArray("qmfctl: no folder 99999\n"));
}

void TestQmfctl::maildirImport()
{
    const QString maildir = m_env.path(QStringLiteral("Maildir"));
    write(maildir + QLatin1String("/new/1700000000.1.host"),
          "From: a@example.org\nSubject: new one\n\nhello\n");
    write(maildir + QLatin1String("/cur/1700000001.2.host:2,RS"), Attachment);
    write(maildir + QLatin1String("/cur/1700000002.3.host:2,"),
          "Subject: truncated\nContent-Type: multipart/mixed; boundary=z\n\n--z\nContent-Type: "
          "text/pl");
    QVERIFY(QDir().mkpath(maildir + QLatin1String("/tmp")));
    write(maildir + QLatin1String("/tmp/ignored"), "Subject: still being delivered\n\n");

    const Result result
        = run({ "import", "--folder", QString::number(m_inbox.toULongLong()), maildir });
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out, QByteArray("3\n"));

    const QMailMessageIdList ids = m_store->queryMessages(QMailMessageKey::parentFolderId(m_inbox));
    QCOMPARE(ids.size(), 3);
    QHash<QString, QMailMessageMetaData> byUid;
    for (const QMailMessageId &id : ids) {
        const QMailMessageMetaData m = m_store->messageMetaData(id);
        byUid.insert(m.serverUid(), m);
        QCOMPARE(m.parentAccountId(), QMailAccountId(12));
        QVERIFY(m.receivedDate().isValid());
    }
    QVERIFY(byUid.contains(QStringLiteral("1700000000.1.host")));
    QVERIFY(
        !(byUid.value(QStringLiteral("1700000000.1.host")).status() & QMailMessageMetaData::Read));
    const QMailMessageMetaData seen = byUid.value(QStringLiteral("1700000001.2.host"));
    QVERIFY(seen.status() & QMailMessageMetaData::Read);
    QVERIFY(seen.status() & QMailMessageMetaData::HasAttachments);
    QCOMPARE(seen.from().toString(), QStringLiteral("Carol <carol@example.org>"));

    const QMailMessage full(seen.id());
    QCOMPARE(full.partCount(), 2);
    QCOMPARE(full.partAt(1).contentType().name(), QByteArray("data.csv"));
    QCOMPARE(full.partAt(1).location().toString(true),
             QString::number(seen.id().toULongLong()) + QLatin1String("-2"));

    const QMailMessage truncated(byUid.value(QStringLiteral("1700000002.3.host")).id());
    QCOMPARE(truncated.subject(), QStringLiteral("truncated"));
}

void TestQmfctl::mboxImport()
{
    const QString mbox = m_env.path(QStringLiteral("inbox.mbox"));
    write(mbox,
          "From alice@example.org Mon Jan  1 00:00:00 2024\n"
          "From: alice@example.org\nSubject: first\n\n"
          ">From the start, this line was quoted.\n\n"
          "From bob@example.org Mon Jan  1 00:00:01 2024\n"
          "From: bob@example.org\nSubject: second\n\nbody\n\n"
          "From carol@example.org Mon Jan  1 00:00:02 2024\n"
          "From: carol@example.org\nSubject: third\n\nlast\n");
    const Result result
        = run({ "import", "--folder", QString::number(m_archive.toULongLong()), "--read", mbox });
    QCOMPARE(result.code, 0);
    QCOMPARE(result.out, QByteArray("3\n"));
    const QMailMessageIdList ids
        = m_store->queryMessages(QMailMessageKey::parentFolderId(m_archive));
    QCOMPARE(ids.size(), 3);
    const QMailMessage first(ids.at(0));
    QCOMPARE(first.subject(), QStringLiteral("first"));
    QVERIFY(first.status() & QMailMessageMetaData::Read);
    QCOMPARE(first.body().data(QMailMessageBody::Decoded),
             QByteArray("From the start, this line was quoted.\n"));
    QCOMPARE(QMailMessage(ids.at(2)).toRfc2822(),
             QByteArray("From: carol@example.org\nSubject: third\n\nlast\n"));
}

void TestQmfctl::failedImportWritesNothing()
{
    const int before = m_store->countMessages();
    const QString good = m_env.path(QStringLiteral("good.eml"));
    write(good, "Subject: good\n\nbody\n");
    const QString missing = m_env.path(QStringLiteral("missing.eml"));
    const Result result
        = run({ "import", "--folder", QString::number(m_inbox.toULongLong()), good, missing });
    QCOMPARE(result.code, 1);
    QCOMPARE(result.err, "qmfctl: " + QFile::encodeName(missing) + ": no such file or folder\n");
    QVERIFY(result.out.isEmpty());
    QCOMPARE(m_store->countMessages(), before);

    // A file too large to be a message is refused before it is read (the
    // file is sparse: it takes no room).
    const QString huge = m_env.path(QStringLiteral("huge.eml"));
    {
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize((qint64(1) << 30) + 1));
    }
    const Result tooLarge
        = run({ "import", "--folder", QString::number(m_inbox.toULongLong()), good, huge });
    QCOMPARE(tooLarge.code, 1);
    QCOMPARE(tooLarge.err,
             "qmfctl: " + QFile::encodeName(huge)
                 + ": a message larger than 1 GiB cannot be imported\n");
    QVERIFY(QFile::remove(huge));
    QCOMPARE(m_store->countMessages(), before);

    const Result wrongFolder = run({ "import", "--folder", "424242", good });
    QCOMPARE(wrongFolder.code, 1);
    QCOMPARE(wrongFolder.err, QByteArray("qmfctl: no folder 424242\n"));
    QCOMPARE(m_store->countMessages(), before);
}

void TestQmfctl::concurrentImports()
{
    // Two writers at once: the second waits for the first instead of failing.
    QList<QString> dirs;
    for (int d = 0; d < 2; ++d) {
        const QString dir = m_env.path(QStringLiteral("parallel%1").arg(d));
        for (int i = 0; i < 300; ++i)
            write(dir + QStringLiteral("/cur/%1:2,").arg(i),
                  "Subject: parallel " + QByteArray::number(d) + "\n\nx\n");
        dirs.append(dir);
    }
    const Result folderResult = run({ "folder", "add", "--account", "12", "--path", "Parallel" });
    QCOMPARE(folderResult.code, 0);
    const QString folder = QString::fromLatin1(folderResult.out.trimmed());
    QProcess first, second;
    first.start(TestEnvironment::binary(QStringLiteral("qmfctl")),
                { "import", "--folder", folder, dirs.at(0) });
    second.start(TestEnvironment::binary(QStringLiteral("qmfctl")),
                 { "import", "--folder", folder, dirs.at(1) });
    QVERIFY(first.waitForFinished(60000));
    QVERIFY(second.waitForFinished(60000));
    QCOMPARE(first.exitCode(), 0);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(first.readAllStandardOutput(), QByteArray("300\n"));
    QCOMPARE(second.readAllStandardOutput(), QByteArray("300\n"));
    QCOMPARE(m_store->countMessages(
                 QMailMessageKey::parentFolderId(QMailFolderId(folder.toULongLong()))),
             600);
}

void TestQmfctl::flagsMovesAndDeletes()
{
    const QMailMessageIdList ids = m_store->queryMessages(QMailMessageKey::parentFolderId(m_inbox));
    QVERIFY(ids.size() >= 2);
    const QString a = QString::number(ids.at(0).toULongLong());
    const QString b = QString::number(ids.at(1).toULongLong());

    QCOMPARE(run({ "mark", "--read-elsewhere", a, b }).code, 0);
    QVERIFY(m_store->messageMetaData(ids.at(0)).status() & QMailMessageMetaData::ReadElsewhere);
    QVERIFY(m_store->messageMetaData(ids.at(1)).status() & QMailMessageMetaData::ReadElsewhere);
    QCOMPARE(run({ "mark", "--read", a }).code, 0);
    QCOMPARE(run({ "mark", "--unread", a }).code, 0);
    QVERIFY(!(m_store->messageMetaData(ids.at(0)).status() & QMailMessageMetaData::Read));
    QCOMPARE(run({ "mark", "--not-read-elsewhere", a }).code, 0);
    QVERIFY(!(m_store->messageMetaData(ids.at(0)).status() & QMailMessageMetaData::ReadElsewhere));

    Result result = run({ "list", "messages", "--folder", QString::number(m_inbox.toULongLong()) });
    QCOMPARE(result.code, 0);
    QVERIFY(result.out.contains(b.toLatin1() + '\t' + QByteArray::number(m_inbox.toULongLong())
                                + "\t"));

    QCOMPARE(run({ "move", "--folder", QString::number(m_archive.toULongLong()), a }).code, 0);
    QCOMPARE(m_store->messageMetaData(ids.at(0)).parentFolderId(), m_archive);

    const QString file = m_store->messageMetaData(ids.at(1)).contentIdentifier();
    QVERIFY(QFile::exists(file));
    QCOMPARE(run({ "delete", b }).code, 0);
    QVERIFY(!m_store->messageMetaData(ids.at(1)).id().isValid());
    QVERIFY(!QFile::exists(file));

    // An unknown id anywhere in the list changes nothing.
    result = run({ "mark", "--read", a, "999999" });
    QCOMPARE(result.code, 1);
    QCOMPARE(result.err, QByteArray("qmfctl: no message 999999\n"));
    QVERIFY(!(m_store->messageMetaData(ids.at(0)).status() & QMailMessageMetaData::Read));
}

void TestQmfctl::badArguments_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("nothing") << QStringList()
                             << QByteArray("qmfctl: no command given (see qmfctl --help)\n");
    QTest::newRow("unknown") << QStringList { "frobnicate" }
                             << QByteArray(
                                    "qmfctl: unknown command \"frobnicate\" (see qmfctl --help)\n");
    QTest::newRow("no name") << QStringList { "account", "add" }
                             << QByteArray(
                                    "qmfctl: account add needs --name (see qmfctl --help)\n");
    QTest::newRow("bad id")
        << QStringList { "account", "add", "--name", "x", "--id", "-3" }
        << QByteArray(
               "qmfctl: an account id must be a positive number, not \"-3\" (see qmfctl --help)\n");
    QTest::newRow("missing value")
        << QStringList { "import", "--folder" }
        << QByteArray("qmfctl: option --folder needs a value (see qmfctl --help)\n");
    QTest::newRow("unknown option")
        << QStringList { "delete", "--force", "1" }
        << QByteArray("qmfctl: unknown option --force (see qmfctl --help)\n");
    QTest::newRow("two flags")
        << QStringList { "mark", "--read", "--unread", "1" }
        << QByteArray("qmfctl: mark needs exactly one of --read, --unread, --read-elsewhere, "
                      "--not-read-elsewhere (see qmfctl --help)\n");
    QTest::newRow("bad kind") << QStringList {
        "folder", "add", "--account", "12", "--path", "p", "--standard", "attic"
    } << QByteArray("qmfctl: unknown standard folder kind \"attic\" (see qmfctl --help)\n");
}

void TestQmfctl::badArguments()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, error);
    const int folders = m_store->countFolders();
    const Result result = run(args);
    QCOMPARE(result.code, 2);
    QCOMPARE(result.err, error);
    QCOMPARE(m_store->countFolders(), folders);
}

void TestQmfctl::removeAccount()
{
    QVERIFY(m_store->countMessages(QMailMessageKey::parentAccountId(QMailAccountId(12))) > 0);
    QCOMPARE(run({ "account", "remove", "12" }).code, 0);
    QVERIFY(!QMailAccount(QMailAccountId(12)).id().isValid());
    QCOMPARE(m_store->countFolders(QMailFolderKey::parentAccountId(QMailAccountId(12))), 0);
    QCOMPARE(m_store->countMessages(QMailMessageKey::parentAccountId(QMailAccountId(12))), 0);
    const Result again = run({ "account", "remove", "12" });
    QCOMPARE(again.code, 1);
    QCOMPARE(again.err, QByteArray("qmfctl: no account 12\n"));
}

void TestQmfctl::notAStore_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("why");
    QTest::newRow("text file") << QByteArray(
        "This is not a database, just some text that is long enough.\n")
                               << QByteArray("file is not a database\n");
    // An SQLite database of some other program.
    QTest::newRow("foreign database")
        << QByteArray() << QByteArray("holds another application's data");
}

void TestQmfctl::notAStore()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, why);
    const QString dir
        = m_env.path(QStringLiteral("bad-store-")
                     + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-'));
    const QString db = dir + QLatin1String("/qmailstore.db");
    if (content.isEmpty()) {
        QDir().mkpath(dir);
        QSqlDatabase other
            = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("foreign"));
        other.setDatabaseName(db);
        QVERIFY(other.open());
        QVERIFY(other.exec(QStringLiteral("CREATE TABLE notes (text TEXT)")).lastError().type()
                == QSqlError::NoError);
        other.close();
        other = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("foreign"));
    } else {
        write(db, content);
    }
    QFile before(db);
    QVERIFY(before.open(QIODevice::ReadOnly));
    const QByteArray original = before.readAll();
    before.close();

    const Result result = run({ "list", "accounts" }, dir);
    QCOMPARE(result.code, 1);
    QVERIFY2(result.err.startsWith("qmfctl: " + QFile::encodeName(db) + " is not a mail store: "),
             result.err.constData());
    QVERIFY2(result.err.contains(why), result.err.constData());
    // One line, not a warning of the library before qmfctl's own.
    QCOMPARE(result.err.count('\n'), 1);
    QFile after(db);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), original);
}

QTEST_GUILESS_MAIN(TestQmfctl)
#include "tst_qmfctl.moc"
