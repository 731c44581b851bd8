// qmfctl against real stores in temporary folders: accounts, folders, Maildir,
// mbox and stream import, flags, moves, removals, and every way it refuses.

#include "storefixture.h"
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
#include <memory>
#include <sys/stat.h>

namespace {

struct Result
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

const QByteArray Attachment = "From: Carol <carol@example.org>\nTo: dave@example.org\n"
                              "Subject: with attachment\nDate: Fri, 5 Apr 2024 12:00:00 +0000\n"
                              "Content-Type: multipart/mixed; boundary=q\n\n"
                              "--q\nContent-Type: text/plain\n\nsee attached\n"
                              "--q\nContent-Type: text/csv; name=data.csv; charset=utf-8\n"
                              "Content-Disposition: attachment; filename=data.csv\n\na,b\n--q--\n";
const QByteArray AttachmentLine
    = "\t--A\t2024-04-05T12:00:00Z\tCarol <carol@example.org>\twith attachment\n";

// qmfctl started on the store in dataDir (the test's own store when empty).
std::unique_ptr<QProcess> start(const QStringList &args, const QString &dataDir = QString())
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!dataDir.isEmpty())
        environment.insert(QStringLiteral("QMF_DATA"), dataDir);
    process->setProcessEnvironment(environment);
    process->start(TestEnvironment::binary(QStringLiteral("qmfctl")), args);
    return process;
}

Result run(const QStringList &args, const QString &dataDir = QString(),
           const QByteArray &input = QByteArray())
{
    const std::unique_ptr<QProcess> process = start(args, dataDir);
    process->write(input);
    process->closeWriteChannel();
    Result result;
    if (!process->waitForFinished(60000) || process->exitStatus() != QProcess::NormalExit)
        return result;
    return { process->exitCode(), process->readAllStandardOutput(),
             process->readAllStandardError() };
}

void write(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        qFatal("cannot write %s", qPrintable(path));
}

} // namespace

using StoreFixture::contentFiles;

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
    void accountsAndFolders();
    void importsAndChanges();
    void concurrentImports();
    void failures_data();
    void failures();
    void unusableStore_data();
    void unusableStore();
    void upgradedSchema();
    void streams_data();
    void streams();
    void notMail_data();
    void notMail();
    void killedImportLeavesNoOrphan();

private:
    // A store in its own folder with one account (1) and folder (1), holding
    // `count` messages imported from a Maildir.
    QString makeStore(const QString &name, int count = 0);

    TestEnvironment m_env;
};

QString TestQmfctl::makeStore(const QString &name, int count)
{
    const QString dir = m_env.path(name);
    for (int i = 0; i < count; ++i)
        write(dir + QLatin1String("-maildir/cur/") + QString::number(i),
              "From: a@example.org\nSubject: " + QByteArray(400, 'a' + i % 26) + "\n\nbody\n");
    if (QFile::exists(dir))
        return dir;
    if (run({ "account", "add", "--name", "A" }, dir).code != 0
        || run({ "folder", "add", "--account", "1", "--path", "INBOX" }, dir).code != 0
        || (count > 0 && run({ "import", "--folder", "1", dir + "-maildir" }, dir).code != 0))
        return QString();
    return dir;
}

void TestQmfctl::initTestCase()
{
    QVERIFY(m_env.isValid());
    QCOMPARE(QMailStore::instance()->initializationState(), QMailStore::Initialized);
    const Result help = run({ "--help" });
    QCOMPARE(help.code, 0);
    QVERIFY(help.out.contains("list messages [--folder ID] [--account ID]"));
}

void TestQmfctl::accountsAndFolders()
{
    Result result
        = run({ "account", "add", "--id", "12", "--name", "Home mail", "--from",
                "Eve Example <eve@example.org>", "--signature", "Eve", "--standard-folders" });
    QCOMPARE(result.out, QByteArray("12\n"));
    const QMailAccount account(QMailAccountId(12));
    QCOMPARE(account.signature(), QStringLiteral("Eve"));
    const QMailFolderId inbox = account.standardFolder(QMailFolder::InboxFolder);
    QCOMPARE(QMailFolder(inbox).path(), QStringLiteral("Inbox"));
    QVERIFY(QMailFolder(account.standardFolder(QMailFolder::TrashFolder)).status()
            & QMailFolder::Trash);

    QCOMPARE(run({ "account", "update", "12", "--name", "Renamed" }).code, 0);
    QVERIFY(run({ "list", "accounts" })
                .out.startsWith("12\tRenamed\tEve Example <eve@example.org>\tinbox="
                                + QByteArray::number(inbox.toULongLong()) + " outbox="));
    result = run({ "folder", "add", "--account", "12", "--path", "Archive/2024", "--name",
                   "Archive", "--favourite" });
    const QByteArray archive = result.out.trimmed();
    QVERIFY(QMailFolder(QMailFolderId(archive.toULongLong())).status() & QMailFolder::Favourite);
    QCOMPARE(run({ "folder", "update", archive, "--no-favourite", "--standard", "junk" }).code, 0);
    QCOMPARE(QMailAccount(QMailAccountId(12)).standardFolder(QMailFolder::JunkFolder),
             QMailFolderId(archive.toULongLong()));
    QVERIFY(run({ "list", "folders", "--account", "12" })
                .out.contains(archive + "\t12\t0\tArchive/2024\tArchive\tjunk\n"));
}

void TestQmfctl::importsAndChanges()
{
    const QString maildir = m_env.path(QStringLiteral("Maildir"));
    write(maildir + "/new/1700000000.1.host", "From: a@example.org\nSubject: new one\n\nhello\n");
    write(maildir + "/cur/1700000001.2.host:2,RS", Attachment);
    write(maildir + "/cur/1700000002.3.host:2,",
          "Subject: truncated\nContent-Type: multipart/mixed; boundary=z\n\n--z\nContent-Type: t");
    write(maildir + "/tmp/ignored", "Subject: still being delivered\n\n");
    const QString mbox = m_env.path(QStringLiteral("inbox.mbox"));
    write(mbox,
          "From alice@example.org Mon Jan  1 00:00:00 2024\n"
          "From: alice@example.org\nSubject: first\n\n>From the start, this line was quoted.\n\n"
          "From carol@example.org Mon Jan  1 00:00:02 2024\n"
          "From: carol@example.org\nSubject: third\n\nlast\n");
    const QString dir = makeStore(QStringLiteral("imports"));
    QVERIFY(!dir.isEmpty());
    Result result = run({ "import", "--folder", "1", maildir }, dir);
    QCOMPARE(result.err, QByteArray());
    QCOMPARE(result.out, QByteArray("3\n"));
    QCOMPARE(run({ "import", "--folder", "1", "--read", mbox }, dir).out, QByteArray("2\n"));

    // id, folder, flags (R read, E read elsewhere, A attachments), date, sender, subject
    QCOMPARE(run({ "list", "messages", "--folder", "1" }, dir).out,
             "1\t1\t---\t\ta@example.org\tnew one\n2\t1\tR-A" + AttachmentLine.mid(4)
                 + "3\t1\t---\t\t\ttruncated\n4\t1\tR--\t\talice@example.org\tfirst\n"
                   "5\t1\tR--\t\tcarol@example.org\tthird\n");
    QCOMPARE(run({ "mark", "--read-elsewhere", "1", "3" }, dir).code, 0);
    QCOMPARE(run({ "mark", "--unread", "2" }, dir).code, 0);
    QCOMPARE(run({ "folder", "add", "--account", "1", "--path", "Other" }, dir).out, "2\n");
    QCOMPARE(run({ "move", "--folder", "2", "4" }, dir).code, 0);
    QCOMPARE(run({ "delete", "5" }, dir).code, 0);
    QCOMPARE(run({ "list", "messages" }, dir).out,
             "1\t1\t-E-\t\ta@example.org\tnew one\n2\t1" + AttachmentLine
                 + "3\t1\t-E-\t\t\ttruncated\n4\t2\tR--\t\talice@example.org\tfirst\n");
    // The deleted message's content went with it.
    QCOMPARE(contentFiles(dir).size(), 4);
    QCOMPARE(run({ "account", "remove", "1" }, dir).code, 0);
    QCOMPARE(run({ "list", "messages" }, dir).out, QByteArray());
    QCOMPARE(contentFiles(dir), QStringList());
}

void TestQmfctl::concurrentImports()
{
    // Two writers at once: the second waits for the first instead of failing.
    const QString store = makeStore(QStringLiteral("parallel"));
    std::unique_ptr<QProcess> imports[2];
    for (int d = 0; d < 2; ++d) {
        const QString dir = m_env.path(QStringLiteral("parallel%1").arg(d));
        for (int i = 0; i < 300; ++i)
            write(dir + QStringLiteral("/cur/%1:2,").arg(i), "Subject: parallel\n\nx\n");
        imports[d] = start({ "import", "--folder", "1", dir }, store);
    }
    for (const auto &process : imports) {
        QVERIFY(process->waitForFinished(60000));
        QCOMPARE(process->readAllStandardOutput(), QByteArray("300\n"));
    }
    QCOMPARE(run({ "list", "messages" }, store).out.count('\n'), 600);
}

void TestQmfctl::failures_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("error");
    const QString missing = m_env.path(QStringLiteral("missing.eml"));
    const QString huge = m_env.path(QStringLiteral("huge.eml"));
    const QString good = m_env.path(QStringLiteral("good.eml"));
    // Sparse: a file too large to be a message takes no room.
    QFile file(huge);
    if (file.open(QIODevice::WriteOnly))
        file.resize((qint64(1) << 30) + 1);
    write(good, Attachment);
    auto row = [](const char *name, const QStringList &args, int code, const QByteArray &error) {
        QTest::newRow(name) << args << code << QByteArray("qmfctl: " + error + "\n");
    };
    const QByteArray help = " (see qmfctl --help)";
    row("nothing", {}, 2, "no command given" + help);
    row("unknown", { "frobnicate" }, 2, "unknown command \"frobnicate\"" + help);
    row("no name", { "account", "add" }, 2, "account add needs --name" + help);
    row("bad id", { "account", "add", "--name", "x", "--id", "-3" }, 2,
        "an account id must be a positive number, not \"-3\"" + help);
    row("missing value", { "import", "--folder" }, 2, "option --folder needs a value" + help);
    row("unknown option", { "delete", "--force", "1" }, 2, "unknown option --force" + help);
    row("two flags", { "mark", "--read", "--unread", "1" }, 2,
        "mark needs exactly one of --read, --unread, --read-elsewhere, --not-read-elsewhere"
            + help);
    row("bad kind", { "folder", "add", "--account", "1", "--path", "p", "--standard", "attic" }, 2,
        "unknown standard folder kind \"attic\"" + help);
    row("no bus", { "watch" }, 1,
        "no session bus: the changes of other processes cannot be watched");
    row("account twice", { "account", "add", "--id", "1", "--name", "Again" }, 1,
        "Account 1 exists already");
    row("no parent", { "folder", "add", "--account", "1", "--path", "x", "--parent", "99" }, 1,
        "no folder 99");
    row("no account", { "account", "remove", "9" }, 1, "no account 9");
    row("list account", { "list", "messages", "--account", "9" }, 1, "no account 9");
    row("import folder", { "import", "--folder", "42", good }, 1, "no folder 42");
    row("missing file", { "import", "--folder", "1", good, missing }, 1,
        QFile::encodeName(missing) + ": no such file or folder");
    row("huge file", { "import", "--folder", "1", good, huge }, 1,
        QFile::encodeName(huge) + ": larger than 256 MiB, the largest message the store takes");
    row("no message", { "mark", "--read", "7" }, 1, "no message 7");
}

void TestQmfctl::failures()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QByteArray, error);
    const QString dir = makeStore(QStringLiteral("failures"));
    const Result result = run(args, dir);
    QCOMPARE(result.err, error);
    QCOMPARE(result.code, code);
    QCOMPARE(result.out, QByteArray());
    // Nothing was written.
    QCOMPARE(run({ "list", "messages" }, dir).out, QByteArray());
}

void TestQmfctl::unusableStore_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("error"); // "%1" is the database file
    const QStringList list = { "list", "accounts" };
    QTest::newRow("text file") << "text" << list
                               << QByteArray("%1 is not a mail store: file is not a database");
    QTest::newRow("foreign database")
        << "foreign" << list
        << QByteArray("%1 is not a mail store: it holds another application's data");
    QTest::newRow("newer schema")
        << "newer" << list
        << QByteArray("The mail store %1 has schema version 5; this program reads version 4");
    // Every command refuses a damaged store.
    for (const QStringList &args : QList<QStringList> { { "list", "accounts" },
                                                        { "list", "folders" },
                                                        { "list", "messages" },
                                                        { "account", "add", "--name", "x" },
                                                        { "folder", "update", "1", "--name", "y" },
                                                        { "import", "--folder", "1", "/dev/stdin" },
                                                        { "mark", "--read", "1" },
                                                        { "move", "--folder", "1", "2" },
                                                        { "delete", "3" } })
        QTest::newRow(qPrintable("damaged, " + args.join(QLatin1Char(' '))))
            << "damaged" << args
            << QByteArray("The mail store %1 is damaged: database disk image is malformed");
}

void TestQmfctl::unusableStore()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, args);
    QFETCH(QByteArray, error);
    const QString dir = m_env.path(kind);
    const QString db = dir + QLatin1String("/qmailstore.db");
    if (kind == QLatin1String("text")) {
        write(db, "This is not a database, just some long enough text.\n");
    } else if (kind == QLatin1String("damaged") && !QFile::exists(db)) {
        QVERIFY(!makeStore(kind, 1000).isEmpty());
        // 16 KiB overwritten in the middle of the file.
        QFile file(db);
        QVERIFY(file.open(QIODevice::ReadWrite) && file.seek(file.size() / 2));
        file.write(QByteArray(16384, '\xa5'));
    } else if (kind != QLatin1String("damaged")) {
        QVERIFY(kind == QLatin1String("foreign") || !makeStore(kind).isEmpty());
        QDir().mkpath(dir);
        {
            QSqlDatabase other = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kind);
            other.setDatabaseName(db);
            QVERIFY(other.open());
            QVERIFY(!other
                         .exec(kind == QLatin1String("newer") ? "PRAGMA user_version = 5"
                                                              : "CREATE TABLE notes (text TEXT)")
                         .lastError()
                         .isValid());
        }
        QSqlDatabase::removeDatabase(kind);
    }
    QFile before(db);
    QVERIFY(before.open(QIODevice::ReadOnly));
    const QByteArray original = before.readAll();

    // One line naming the file and why, not a warning of the library first,
    // nothing on standard output, and the file left as it was.
    const Result result = run(args, dir, Attachment);
    QCOMPARE(result.code, 1);
    QCOMPARE(result.out, QByteArray());
    QVERIFY2(result.err.startsWith("qmfctl: " + error.replace("%1", QFile::encodeName(db))),
             result.err.constData());
    QCOMPARE(result.err.count('\n'), 1);
    QFile after(db);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), original);
}

void TestQmfctl::upgradedSchema()
{
    // The first stores of version 1 let SQLite reuse a removed account's id.
    const QString dir = makeStore(QStringLiteral("schema-1"), 1);
    QVERIFY(!dir.isEmpty());
    QCOMPARE(run({ "account", "add", "--name", "B" }, dir).code, 0);
    QCOMPARE(run({ "account", "remove", "2" }, dir).code, 0);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("v"));
        db.setDatabaseName(dir + QLatin1String("/qmailstore.db"));
        QVERIFY(db.open());
        // Back to the shape of version 1: no identity, no change stamps, no
        // removal records.
        QStringList downgrade { QStringLiteral("DROP TABLE storeinfo"),
                                QStringLiteral("DROP TABLE removals"),
                                QStringLiteral("DROP TABLE origins"),
                                QStringLiteral("DROP TRIGGER messages_moved"),
                                QStringLiteral("DROP TRIGGER messages_gone") };
        for (const char *table : { "accounts", "folders", "messages" })
            downgrade << QStringLiteral("DROP TRIGGER %1_added").arg(table)
                      << QStringLiteral("DROP TRIGGER %1_changed").arg(table)
                      << QStringLiteral("DROP INDEX %1_changestamp").arg(table)
                      << QStringLiteral("ALTER TABLE %1 DROP COLUMN changestamp").arg(table);
        for (const QString &sql : qAsConst(downgrade))
            QVERIFY2(!db.exec(sql).lastError().isValid(), qPrintable(sql));
        for (const char *sql :
             { "CREATE TABLE old (id INTEGER PRIMARY KEY, name TEXT NOT NULL DEFAULT '',"
               " signature TEXT NOT NULL DEFAULT '', fromaddress TEXT NOT NULL DEFAULT '',"
               " fromname TEXT NOT NULL DEFAULT '', status INTEGER NOT NULL DEFAULT 0)",
               "INSERT INTO old SELECT * FROM accounts", "DROP TABLE accounts",
               "ALTER TABLE old RENAME TO accounts", "PRAGMA user_version = 1" })
            QVERIFY2(!db.exec(QLatin1String(sql)).lastError().isValid(), sql);
    }
    QSqlDatabase::removeDatabase(QStringLiteral("v"));
    const Result list = run({ "list", "messages" }, dir);
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
    const QString dir = makeStore(QStringLiteral("stream-%1").arg(fifo));
    QVERIFY(!dir.isEmpty());
    const QString path = fifo ? dir + QLatin1String("/fifo") : QStringLiteral("/dev/stdin");
    if (fifo)
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    const std::unique_ptr<QProcess> process = start({ "import", "--folder", "1", path }, dir);
    if (fifo) {
        // qmfctl waits for the writer, and reads to the end as cat would.
        QFile writer(path);
        QVERIFY(writer.open(QIODevice::WriteOnly));
        writer.write(Attachment);
    } else {
        process->write(Attachment);
    }
    process->closeWriteChannel();
    QVERIFY(process->waitForFinished(60000));
    QCOMPARE(process->readAllStandardError(), QByteArray());
    QCOMPARE(process->exitCode(), 0);
    QCOMPARE(process->readAllStandardOutput(), QByteArray("1\n"));
    QCOMPARE(run({ "list", "messages" }, dir).out, "1\t1" + AttachmentLine);
}

void TestQmfctl::notMail_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("why");
    const QByteArray noHeader = "it does not start with a header field";
    QTest::newRow("empty") << QByteArray() << QByteArray("the file is empty");
    QTest::newRow("text") << QByteArray("Dear Bob,\nsee you: soon\n") << noHeader;
}

void TestQmfctl::notMail()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, why);
    const QString dir = makeStore(QStringLiteral("notmail-") + QTest::currentDataTag());
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
                 + ": skipped 1 file that is not mail (empty, not starting with a header "
                   "field, too large, or not a regular file): bad\nqmfctl: "
                 + folder + ": subfolders are not imported (name them to import them): sub\n");
}

void TestQmfctl::killedImportLeavesNoOrphan()
{
    const QString dir = makeStore(QStringLiteral("killed"));
    QVERIFY(!dir.isEmpty());
    for (int i = 0; i < 5000; ++i)
        write(dir + QStringLiteral("-big/cur/%1").arg(i), Attachment);
    const std::unique_ptr<QProcess> import
        = start({ "import", "--folder", "1", dir + "-big" }, dir);
    QVERIFY(waitUntil([&] { return contentFiles(dir).size() >= 200; }));
    ::kill(pid_t(import->processId()), SIGKILL);
    QVERIFY(import->waitForFinished());
    QVERIFY(import->exitStatus() == QProcess::CrashExit);
    // The next process to open the store clears what the dead one left.
    const Result list = run({ "list", "messages" }, dir);
    QCOMPARE(list.code, 0);
    QCOMPARE(list.out, QByteArray());
    QCOMPARE(contentFiles(dir), QStringList());
}

QTEST_GUILESS_MAIN(TestQmfctl)
#include "tst_qmfctl.moc"
