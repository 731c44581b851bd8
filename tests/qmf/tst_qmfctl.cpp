// qmfctl against a real store in a temporary folder: accounts, folders,
// Maildir and mbox import, flags, moves, removals, and its error handling.

#include "testenvironment.h"
#include "waituntil.h"

#include <qmailstore.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <csignal>
#include <sys/stat.h>

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
    void schemaVersions_data();
    void schemaVersions();
    void streams_data();
    void streams();
    void notMail_data();
    void notMail();
    void unknownIds_data();
    void unknownIds();
    void damagedStore_data();
    void damagedStore();
    void killedImportLeavesNoOrphan();

private:
    Result run(const QStringList &args, const QString &dataDir = QString(),
               const QByteArray &input = QByteArray());
    // A store in its own folder with one account (1) and folder (1), holding
    // `count` messages imported from a Maildir.
    QString makeStore(const QString &name, int count);
    QStringList contentFiles(const QString &dir);
    void write(const QString &path, const QByteArray &data);

    TestEnvironment m_env;
    QMailStore *m_store = nullptr;
    QMailFolderId m_inbox;
    QMailFolderId m_archive;
};

Result TestQmfctl::run(const QStringList &args, const QString &dataDir, const QByteArray &input)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!dataDir.isEmpty())
        environment.insert(QStringLiteral("QMF_DATA"), dataDir);
    process.setProcessEnvironment(environment);
    process.start(TestEnvironment::binary(QStringLiteral("qmfctl")), args);
    process.write(input);
    process.closeWriteChannel();
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

QString TestQmfctl::makeStore(const QString &name, int count)
{
    const QString dir = m_env.path(name);
    const QString maildir = dir + QLatin1String("-maildir/cur/");
    for (int i = 0; i < count; ++i)
        write(maildir + QString::number(i),
              "From: a@example.org\nSubject: " + QByteArray(400, 'a' + i % 26) + "\n\nbody\n");
    if (run({ "account", "add", "--name", "A" }, dir).code != 0
        || run({ "folder", "add", "--account", "1", "--path", "INBOX" }, dir).code != 0
        || (count > 0 && run({ "import", "--folder", "1", dir + "-maildir" }, dir).code != 0))
        return QString();
    return dir;
}

QStringList TestQmfctl::contentFiles(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir + QLatin1String("/mail"), QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    return files;
}

void TestQmfctl::schemaVersions_data()
{
    QTest::addColumn<int>("version");
    QTest::addColumn<QByteArray>("error");
    // The first stores of version 1 let SQLite reuse a removed account's id.
    QTest::newRow("old shape, upgraded") << 1 << QByteArray();
    QTest::newRow("newer, refused") << 3
                                    << QByteArray(" has schema version 3; this program reads "
                                                  "version 2\n");
}

void TestQmfctl::schemaVersions()
{
    QFETCH(int, version);
    QFETCH(QByteArray, error);
    const QString dir = makeStore(QStringLiteral("schema-%1").arg(version), 1);
    QVERIFY(!dir.isEmpty());
    QVERIFY(run({ "account", "add", "--name", "B" }, dir).code == 0);
    QCOMPARE(run({ "account", "remove", "2" }, dir).code, 0);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("v"));
        db.setDatabaseName(dir + QLatin1String("/qmailstore.db"));
        QVERIFY(db.open());
        for (const char *sql :
             { "CREATE TABLE old (id INTEGER PRIMARY KEY, name TEXT NOT NULL DEFAULT '',"
               " signature TEXT NOT NULL DEFAULT '', fromaddress TEXT NOT NULL DEFAULT '',"
               " fromname TEXT NOT NULL DEFAULT '', status INTEGER NOT NULL DEFAULT 0)",
               "INSERT INTO old SELECT * FROM accounts", "DROP TABLE accounts",
               "ALTER TABLE old RENAME TO accounts" })
            QVERIFY2(!db.exec(QLatin1String(sql)).lastError().isValid(), sql);
        db.exec(QStringLiteral("PRAGMA user_version = %1").arg(version));
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("v"));

    const Result list = run({ "list", "messages" }, dir);
    if (!error.isEmpty()) {
        QCOMPARE(list.code, 1);
        QCOMPARE(list.err,
                 "qmfctl: The mail store " + QFile::encodeName(dir) + "/qmailstore.db" + error);
        return;
    }
    QCOMPARE(list.code, 0);
    QCOMPARE(list.out.count('\n'), 1);
    QVERIFY(run({ "list", "accounts" }, dir).out.startsWith("1\tA\t"));
    // Upgraded in place: from now on a removed account's id stays unused.
    QCOMPARE(run({ "account", "add", "--name", "C" }, dir).out, QByteArray("2\n"));
    QCOMPARE(run({ "account", "remove", "2" }, dir).code, 0);
    QCOMPARE(run({ "account", "add", "--name", "D" }, dir).out, QByteArray("3\n"));
}

void TestQmfctl::streams_data()
{
    QTest::addColumn<bool>("fifo");
    QTest::newRow("pipe on standard input") << false;
    QTest::newRow("FIFO") << true;
}

void TestQmfctl::streams()
{
    QFETCH(bool, fifo);
    const QString dir = makeStore(QStringLiteral("stream-%1").arg(fifo), 0);
    QVERIFY(!dir.isEmpty());
    QString path = QStringLiteral("/dev/stdin");
    QByteArray input = Attachment;
    if (fifo) {
        path = dir + QLatin1String("/fifo");
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        input.clear();
    }
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QMF_DATA"), dir);
    process.setProcessEnvironment(environment);
    process.start(TestEnvironment::binary(QStringLiteral("qmfctl")),
                  { "import", "--folder", "1", path });
    if (fifo) {
        // qmfctl waits for the writer, and reads to the end as cat would.
        QFile writer(path);
        QVERIFY(writer.open(QIODevice::WriteOnly));
        writer.write(Attachment);
    } else {
        process.write(input);
    }
    process.closeWriteChannel();
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.readAllStandardError(), QByteArray());
    QCOMPARE(process.exitCode(), 0);
    QCOMPARE(process.readAllStandardOutput(), QByteArray("1\n"));
    const Result list = run({ "list", "messages" }, dir);
    QVERIFY2(list.out.endsWith("\t--A\t2024-04-05T12:00:00Z\tCarol <carol@example.org>\twith "
                               "attachment\n"),
             list.out.constData());
}

void TestQmfctl::notMail_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("why");
    QTest::newRow("empty") << QByteArray() << QByteArray("the file is empty");
    QTest::newRow("binary") << QByteArray("\x7f"
                                          "ELF\x02\x01\x01\0\0\0",
                                          10)
                            << QByteArray("it does not start with a header field");
    QTest::newRow("text") << QByteArray("Dear Bob,\nsee you: soon\n")
                          << QByteArray("it does not start with a header field");
}

void TestQmfctl::notMail()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, why);
    const QString dir = makeStore(QStringLiteral("notmail-") + QTest::currentDataTag(), 0);
    QVERIFY(!dir.isEmpty());
    const QString file = dir + QLatin1String("-in/bad");
    write(file, content);
    // Named on the command line: the import fails, naming the file.
    const Result single = run({ "import", "--folder", "1", file, "/dev/null" }, dir);
    QCOMPARE(single.code, 1);
    QCOMPARE(single.err,
             "qmfctl: " + QFile::encodeName(file) + ": not a mail message: " + why + "\n");
    // Found in a folder: skipped and counted, as are subfolders.
    write(dir + QLatin1String("-in/good"), Attachment);
    QDir().mkpath(dir + QLatin1String("-in/sub"));
    const QByteArray folder = QFile::encodeName(dir + QLatin1String("-in"));
    const Result many = run({ "import", "--folder", "1", folder }, dir);
    QCOMPARE(many.code, 0);
    QCOMPARE(many.out, QByteArray("1\n"));
    QCOMPARE(many.err,
             "qmfctl: " + folder
                 + ": skipped 1 file that is not mail (empty, or not starting with a header "
                   "field): bad\nqmfctl: "
                 + folder + ": subfolders are not imported (name them to import them): sub\n");
}

void TestQmfctl::unknownIds_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("error");
    QTest::newRow("messages of a folder")
        << QStringList { "list", "messages", "--folder", "42" } << QByteArray("no folder 42");
    QTest::newRow("messages of an account")
        << QStringList { "list", "messages", "--account", "9" } << QByteArray("no account 9");
    QTest::newRow("folders of an account")
        << QStringList { "list", "folders", "--account", "9" } << QByteArray("no account 9");
}

void TestQmfctl::unknownIds()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, error);
    const Result result = run(args, makeStore(QStringLiteral("unknown"), 0));
    QCOMPARE(result.code, 1);
    QCOMPARE(result.out, QByteArray());
    QCOMPARE(result.err, "qmfctl: " + error + "\n");
}

void TestQmfctl::damagedStore_data()
{
    QTest::addColumn<QStringList>("args");
    for (const QStringList &args : QList<QStringList> { { "list", "accounts" },
                                                        { "list", "folders" },
                                                        { "list", "messages" },
                                                        { "account", "add", "--name", "x" },
                                                        { "folder", "update", "1", "--name", "y" },
                                                        { "import", "--folder", "1", "/dev/stdin" },
                                                        { "mark", "--read", "1" },
                                                        { "move", "--folder", "1", "2" },
                                                        { "delete", "3" } })
        QTest::newRow(qPrintable(args.join(QLatin1Char(' ')))) << args;
}

void TestQmfctl::damagedStore()
{
    QFETCH(QStringList, args);
    const QString dir = m_env.path(QStringLiteral("damaged"));
    const QString db = dir + QLatin1String("/qmailstore.db");
    if (!QFile::exists(db)) {
        QVERIFY(!makeStore(QStringLiteral("damaged"), 1000).isEmpty());
        // 16 KiB overwritten in the middle of the file.
        QFile file(db);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(file.size() / 2));
        file.write(QByteArray(16384, '\xa5'));
    }
    const Result result = run(args, dir, Attachment);
    QCOMPARE(result.code, 1);
    QCOMPARE(result.out, QByteArray());
    const QByteArray expected = "qmfctl: The mail store " + QFile::encodeName(db)
        + " is damaged: database disk image is malformed";
    QVERIFY2(result.err.startsWith(expected) && result.err.count('\n') == 1,
             result.err.constData());
}

void TestQmfctl::killedImportLeavesNoOrphan()
{
    const QString dir = makeStore(QStringLiteral("killed"), 0);
    QVERIFY(!dir.isEmpty());
    for (int i = 0; i < 5000; ++i)
        write(dir + QStringLiteral("-big/cur/%1").arg(i), Attachment);
    QProcess import;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QMF_DATA"), dir);
    import.setProcessEnvironment(environment);
    import.start(TestEnvironment::binary(QStringLiteral("qmfctl")),
                 { "import", "--folder", "1", dir + "-big" });
    QVERIFY(waitUntil([&] { return contentFiles(dir).size() >= 200; }));
    ::kill(pid_t(import.processId()), SIGKILL);
    QVERIFY(import.waitForFinished());
    QVERIFY(import.exitStatus() == QProcess::CrashExit);
    // The next process to open the store clears what the dead one left.
    const Result list = run({ "list", "messages" }, dir);
    QCOMPARE(list.code, 0);
    QCOMPARE(list.out, QByteArray());
    QCOMPARE(contentFiles(dir), QStringList());
}

QTEST_GUILESS_MAIN(TestQmfctl)
#include "tst_qmfctl.moc"
