#include "processrunner.h"
#include "settingswriter.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <QtTest>

#include <csignal>

// The mirror end to end: the real daemon on a private session bus, the store
// changed by qmfctl from outside (also while the daemon is not running, or
// dies), and Tracker read back through the endpoint the daemon publishes, the
// way any Tracker client would. After each case the mirror holds exactly the
// store's accounts, folders and messages, with their folders and read flags,
// and no contact or attachment that belongs to no message.
class TestIndexerEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void mirrorEqualsStore_data();
    void mirrorEqualsStore();

private:
    QString qmfctl(const QString &command); // words separated by single blanks
    // Rows of a SELECT through the endpoint, values joined by ", " as tracker3
    // prints them, resource IRIs shortened to their keys.
    QStringList sparql(const QString &query);
    QStringList storeRows();
    QStringList mirrorRows();
    QString mbox(int count, const QString &tag, const QByteArray &to = "me@example.org");
    bool startDaemon();

    TestEnvironment env;
    QScopedPointer<ProcessRunner> daemon;
    QString folder;
};

void TestIndexerEndToEnd::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    QVERIFY(writeSettings(env.settingsFile(),
                          { { QStringLiteral("Syslog/Enabled"), 0 },
                            { QStringLiteral("StdStreamLog/Enabled"), 1 },
                            { QStringLiteral("Log categories/Queries"), 0 } }));
}

QString TestIndexerEndToEnd::qmfctl(const QString &command)
{
    QProcess process;
    process.start(TestEnvironment::binary(QStringLiteral("qmfctl")),
                  command.split(QLatin1Char(' ')));
    if (!finishWhileServing(process, 120000) || process.exitCode() != 0) {
        qWarning("qmfctl %s failed: %s", qPrintable(command.left(200)),
                 process.readAllStandardError().constData());
        return QString();
    }
    // Empty but not null: the command succeeded.
    return QString(QLatin1String(""))
        + QString::fromUtf8(process.readAllStandardOutput()).trimmed();
}

QStringList TestIndexerEndToEnd::sparql(const QString &query)
{
    QProcess cli;
    cli.start(QStringLiteral("tracker3"),
              { QStringLiteral("sparql"), QStringLiteral("--dbus-service"),
                QStringLiteral("com.brenmor.Postvane.Tracker"), QStringLiteral("-q"), query });
    if (!finishWhileServing(cli) || cli.exitCode() != 0) {
        return { QStringLiteral("query failed") };
    }
    // The rows follow a "Results:" line, indented, "None" when there is none.
    const QString output = QString::fromUtf8(cli.readAllStandardOutput());
    QStringList rows;
    for (QString line : output.mid(output.indexOf(QLatin1String("Results:")) + 8)
                            .split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        line = line.trimmed().remove(QRegularExpression(QStringLiteral("qmf://[^/]*/\\w+#")));
        if (!line.isEmpty() && line != QLatin1String("None")) {
            rows.append(line);
        }
    }
    return rows;
}

QStringList TestIndexerEndToEnd::storeRows()
{
    QStringList rows;
    const auto columns = [&](const char *what) {
        QList<QStringList> out;
        for (const QString &line : qmfctl(QStringLiteral("list ") + QLatin1String(what))
                                       .split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
            out.append(line.split(QLatin1Char('\t')));
        }
        return out;
    };
    for (const QStringList &account : columns("accounts")) {
        rows.append(QStringLiteral("account %1 %2").arg(account.at(0), account.at(1)));
    }
    for (const QStringList &folder : columns("folders")) {
        rows.append(QStringLiteral("folder %1 %2").arg(folder.at(0), folder.at(4)));
    }
    for (const QStringList &message : columns("messages")) {
        rows.append(QStringLiteral("message %1 %2 %3 %4")
                        .arg(message.at(0), message.at(1),
                             message.at(2).contains(QLatin1Char('R')) ? QStringLiteral("true")
                                                                      : QStringLiteral("false"),
                             message.mid(5).join(QLatin1Char('\t'))));
    }
    rows.append(QStringLiteral("orphans 0"));
    rows.sort();
    return rows;
}

QStringList TestIndexerEndToEnd::mirrorRows()
{
    QStringList rows;
    const auto add = [&](const char *prefix, const QString &query) {
        for (const QString &row : sparql(query)) {
            rows.append(QLatin1String(prefix) + QString(row).replace(QLatin1String(", "), " "));
        }
    };
    add("account ", QStringLiteral("SELECT ?a ?n { ?a a nmo:MailAccount ; nmo:accountName ?n }"));
    add("folder ", QStringLiteral("SELECT ?f ?n { ?f a nmo:MailFolder ; nmo:folderName ?n }"));
    add("message ",
        QStringLiteral("SELECT ?m ?f ?r ?s { ?m a nmo:Email ; nfo:belongsToContainer "
                       "?f ; nmo:isRead ?r ; nmo:messageSubject ?s }"));
    add("orphans ",
        QStringLiteral("SELECT (COUNT(?x) AS ?n) { { ?x a nco:Contact FILTER NOT EXISTS { ?m "
                       "nmo:from|nmo:to ?x } } UNION { ?x a nmo:Attachment FILTER NOT EXISTS { "
                       "?x nie:isPartOf ?m . ?m a nmo:Email } } }"));
    rows.sort();
    return rows;
}

QString TestIndexerEndToEnd::mbox(int count, const QString &tag, const QByteArray &to)
{
    const QString path = env.path(tag + QStringLiteral(".mbox"));
    QFile file(path);
    file.open(QIODevice::WriteOnly);
    for (int i = 0; i < count; ++i) {
        file.write("From x@example.org Tue Jan  2 10:00:00 2024\nFrom: Sender "
                   + QByteArray::number(i % 100) + " <s" + QByteArray::number(i % 100)
                   + "@example.org>\nTo: " + to + "\nSubject: " + tag.toUtf8() + " "
                   + QByteArray::number(i) + "\n\nBody\n\n");
    }
    return path;
}

bool TestIndexerEndToEnd::startDaemon()
{
    daemon.reset(new ProcessRunner);
    return daemon->start(TestEnvironment::binary(QStringLiteral("postvane")))
        && daemon->waitForLine(QStringLiteral("TrackerIndexer: catching up"), 60000);
}

// Recipients of one message: Tracker's time for them grows with their
// square, whatever the statements (half a minute of CPU for 100,000).
const int crowd = 10000;

enum Case {
    Live,
    KilledInBurst,
    Offline,
    Recipients,
    CrowdStopped,
    TermWithFullQueue,
    NewStore,
    AllRemoved
};

void TestIndexerEndToEnd::mirrorEqualsStore_data()
{
    QTest::addColumn<int>("what");
    // In this order: each case starts from what the one before left.
    QTest::newRow("live changes, poisoned and hostile mail") << int(Live);
    // Removed while the daemon is down: also what Tracker wrote but never
    // confirmed before the stop.
    QTest::newRow("kill -9 during a burst, removed, restart") << int(KilledInBurst);
    QTest::newRow("add, remove, mark read while stopped") << int(Offline);
    QTest::newRow("a crowd of recipients, then ordinary mail") << int(Recipients);
    QTest::newRow("SIGTERM amid a crowd's batches, removed, restart") << int(CrowdStopped);
    QTest::newRow("SIGTERM with a full queue, some removed, restart") << int(TermWithFullQueue);
    QTest::newRow("store made anew, ids used again") << int(NewStore);
    QTest::newRow("1,000 messages of 100 senders removed") << int(AllRemoved);
}

void TestIndexerEndToEnd::mirrorEqualsStore()
{
    QFETCH(int, what);
    const auto import = [&](const QStringList &paths) {
        return !qmfctl(QStringLiteral("import --folder ") + folder + QLatin1Char(' ')
                       + paths.join(QLatin1Char(' ')))
                    .isEmpty();
    };
    QStringList ids; // of the messages, oldest first
    for (const QString &line : qmfctl(QStringLiteral("list messages")).split(QLatin1Char('\n'))) {
        ids.append(line.section(QLatin1Char('\t'), 0, 0));
    }
    const QString mail = TestEnvironment::sourcePath(QStringLiteral("tests/indexer/mail/"));
    const QString success = QStringLiteral("TrackerIndexer: query executed successfully");
    const int confirmed = daemon ? daemon->linesContaining(success).size() : 0;
    // The messages added by this case, after the daemon has stopped.
    const auto removeNew = [&](int count) {
        QStringList added;
        for (const QString &line :
             qmfctl(QStringLiteral("list messages")).split(QLatin1Char('\n'))) {
            if (!ids.contains(line.section(QLatin1Char('\t'), 0, 0)))
                added.append(line.section(QLatin1Char('\t'), 0, 0));
        }
        return !qmfctl(QStringLiteral("delete ") + added.mid(0, count).join(' ')).isNull();
    };
    switch (what) {
    case Live:
    case NewStore:
        if (what == NewStore) {
            QVERIFY(daemon->terminate());
            QVERIFY(QDir(qEnvironmentVariable("QMF_DATA")).removeRecursively());
        } else {
            QVERIFY(startDaemon());
        }
        folder = qmfctl(QStringLiteral("folder add --path INBOX --standard inbox --account ")
                        + qmfctl(QStringLiteral("account add --name Work")));
        if (what == NewStore) {
            QVERIFY(import({ mbox(30, QStringLiteral("renewed")) }));
            QVERIFY(startDaemon());
            break;
        }
        // Dates Tracker's range cannot hold among good messages.
        QVERIFY(
            import({ mbox(20, QStringLiteral("good")), mail + QStringLiteral("report.eml"),
                     mail + QStringLiteral("poison.eml"), mail + QStringLiteral("hostile.eml") }));
        QVERIFY(!qmfctl(QStringLiteral("mark --read 3")).isNull());
        QVERIFY(!qmfctl(QStringLiteral("delete 21")).isNull()); // the report
        break;
    case KilledInBurst:
        QVERIFY(import({ mbox(1000, QStringLiteral("burst")) }));
        // Killed once Tracker has confirmed a batch of them, at most.
        QVERIFY(waitUntil([&] { return daemon->linesContaining(success).size() > confirmed; }));
        ::kill(pid_t(daemon->pid()), SIGKILL);
        QVERIFY(daemon->waitForFinished());
        QVERIFY(removeNew(500));
        QVERIFY(startDaemon());
        break;
    case Offline:
        QVERIFY(daemon->terminate());
        QVERIFY(import({ mbox(100, QStringLiteral("offline")) }));
        QVERIFY(!qmfctl(QStringLiteral("delete ") + ids.mid(ids.size() - 20).join(' ')).isNull());
        QVERIFY(!qmfctl(QStringLiteral("mark --read ") + ids.mid(10, 10).join(' ')).isNull());
        QVERIFY(startDaemon());
        break;
    case Recipients: {
        QByteArray to;
        for (int i = 0; i < crowd; ++i) {
            to += (i ? ",\n " : "") + QByteArray("P <p") + QByteArray::number(i) + "@example.org>";
        }
        QVERIFY(import({ mbox(1, QStringLiteral("crowd"), to), mbox(1, QStringLiteral("after")) }));
        // Changed while the rest of its recipients is still on its way.
        QVERIFY(!qmfctl(QStringLiteral("mark --read ")
                        + qmfctl(QStringLiteral("list messages"))
                              .section('\n', -2, -2)
                              .section('\t', 0, 0))
                     .isNull());
        QVERIFY(waitUntil(
            [&] {
                return sparql(QStringLiteral("SELECT (COUNT(?c) AS ?n) { ?m nmo:messageSubject "
                                             "\"crowd 0\" ; nmo:to ?c }"))
                    == QStringList { QString::number(crowd) };
            },
            600000));
        break;
    }
    case CrowdStopped: {
        QByteArray to;
        for (int i = 0; i < crowd; ++i) {
            to += (i ? ",\n " : "") + QByteArray("Q <q") + QByteArray::number(i) + "@example.org>";
        }
        QVERIFY(import({ mbox(1, QStringLiteral("stopped"), to) }));
        // Stopped once Tracker holds the message and the first of the rest.
        QVERIFY(waitUntil([&] { return daemon->linesContaining(success).size() > confirmed + 1; }));
        QVERIFY(daemon->terminate());
        QVERIFY(removeNew(1));
        QVERIFY(startDaemon());
        break;
    }
    case TermWithFullQueue:
        QVERIFY(import({ mbox(2000, QStringLiteral("queued")) }));
        QVERIFY(daemon->waitForLine(QStringLiteral("count= 2000"), 60000));
        QVERIFY(daemon->terminate());
        QCOMPARE(daemon->exitCode(), 0);
        QVERIFY(removeNew(300));
        QVERIFY(startDaemon());
        break;
    case AllRemoved:
        QVERIFY(import({ mbox(1000, QStringLiteral("senders")) }));
        QVERIFY(!qmfctl(QStringLiteral("account remove ")
                        + qmfctl(QStringLiteral("list accounts")).section(QLatin1Char('\t'), 0, 0))
                     .isNull());
        break;
    }
    const QStringList expected = storeRows();
    QStringList rows;
    if (!waitUntil([&] { return (rows = mirrorRows()) == expected; }, 600000)) {
        QCOMPARE(rows, expected);
    }
    QVERIFY(daemon->linesContaining(QStringLiteral("left out of the mirror")).isEmpty());
}

QTEST_GUILESS_MAIN(TestIndexerEndToEnd)
#include "tst_indexer_e2e.moc"
