#include "processrunner.h"
#include "settingswriter.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <QtTest>

// The mirror end to end: the real daemon on a private session bus, the store
// changed by qmfctl from outside, and Tracker read back through the endpoint
// the daemon publishes, the way any Tracker client would.
class TestIndexerEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void storeChangesAreMirroredAndSearchable();

private:
    QString qmfctl(const QStringList &arguments);
    // Rows of a SELECT through the endpoint, each row its values joined by ", "
    // as tracker3 prints them; a null list when the query failed.
    QStringList sparql(const QString &query);
    bool waitForRows(const QString &query, const QStringList &expected);

    TestEnvironment env;
};

void TestIndexerEndToEnd::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    QVERIFY(writeSettings(env.settingsFile(),
                          { { QStringLiteral("Syslog/Enabled"), 0 },
                            { QStringLiteral("StdStreamLog/Enabled"), 1 },
                            { QStringLiteral("Log categories/Indexer"), 1 },
                            { QStringLiteral("Log categories/Queries"), 1 },
                            { QStringLiteral("Log categories/Notifications"), 1 } }));
}

QString TestIndexerEndToEnd::qmfctl(const QStringList &arguments)
{
    QProcess process;
    process.start(TestEnvironment::binary(QStringLiteral("qmfctl")), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        qWarning("qmfctl %s failed: %s", qPrintable(arguments.join(QLatin1Char(' '))),
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
    if (!cli.waitForFinished(60000) || cli.exitCode() != 0) {
        return QStringList();
    }
    // The rows follow a "Results:" line, indented, "None" when there is none.
    const QString output = QString::fromUtf8(cli.readAllStandardOutput());
    QStringList rows;
    for (const QString &line : output.mid(output.indexOf(QLatin1String("Results:")) + 8)
                                   .split(QLatin1Char('\n'), Qt::SkipEmptyParts)) {
        if (!line.trimmed().isEmpty() && line.trimmed() != QLatin1String("None")) {
            rows.append(line.trimmed());
        }
    }
    return rows;
}

// The daemon mirrors asynchronously: ask the endpoint until the answer is the
// expected one.
bool TestIndexerEndToEnd::waitForRows(const QString &query, const QStringList &expected)
{
    QStringList rows;
    if (waitUntil([&] { return (rows = sparql(query)) == expected; }, 60000)) {
        return true;
    }
    qWarning("last answer to %s: %s", qPrintable(query), qPrintable(rows.join(QLatin1Char('|'))));
    return false;
}

void TestIndexerEndToEnd::storeChangesAreMirroredAndSearchable()
{
    ProcessRunner daemon;
    QVERIFY(daemon.start(TestEnvironment::binary(QStringLiteral("postvane"))));
    QVERIFY(daemon.waitForLine(QStringLiteral("TrackerIndexer is created."), 60000));
    QVERIFY(daemon.waitForLine(QStringLiteral("Postvane::enableNotifications("), 60000));

    const QString account
        = qmfctl({ QStringLiteral("account"), QStringLiteral("add"), QStringLiteral("--name"),
                   QStringLiteral("Work"), QStringLiteral("--from"),
                   QStringLiteral("Alice Example <alice@example.org>") });
    const QString inbox
        = qmfctl({ QStringLiteral("folder"), QStringLiteral("add"), QStringLiteral("--account"),
                   account, QStringLiteral("--path"), QStringLiteral("INBOX"),
                   QStringLiteral("--standard"), QStringLiteral("inbox") });
    QVERIFY(!account.isEmpty() && !inbox.isEmpty());
    QCOMPARE(
        qmfctl({ QStringLiteral("import"), QStringLiteral("--folder"), inbox,
                 TestEnvironment::sourcePath(QStringLiteral("tests/indexer/mail/report.eml")),
                 TestEnvironment::sourcePath(QStringLiteral("tests/indexer/mail/hostile.eml")) }),
        QStringLiteral("2"));

    // Everything arrives through the store's change signals, the hostile
    // subject exactly as written.
    QVERIFY(waitForRows(QStringLiteral("SELECT ?n ?s WHERE { ?a nmo:accountName ?n ; "
                                       "nmo:signature ?s }"),
                        { QStringLiteral("Work,") }));
    QVERIFY(
        waitForRows(QStringLiteral("SELECT ?n WHERE { ?f a nmo:MailFolder ; nmo:folderName ?n }"),
                    { QStringLiteral("INBOX") }));
    QVERIFY(waitForRows(
        QStringLiteral("SELECT ?s WHERE { ?m a nmo:Email ; nmo:messageSubject ?s } ORDER BY ?s"),
        { QStringLiteral("Lunch\" ; nmo:isRead true . } DELETE { ?m a rdfs:Resource } WHERE { ?m "
                         "a nmo:Email } #"),
          QStringLiteral("Quarterly figures for the board") }));
    const QStringList report = qmfctl({ QStringLiteral("list"), QStringLiteral("messages"),
                                        QStringLiteral("--folder"), inbox })
                                   .split(QLatin1Char('\n'))
                                   .filter(QStringLiteral("Quarterly"));
    QCOMPARE(report.size(), 1);
    const QString reportId = report.first().split(QLatin1Char('\t')).first();
    const QString reportIri = QStringLiteral("qmf://mail.brenmor.com/email#") + reportId;
    // Updates, and removals with the attachments.
    QVERIFY(!qmfctl({ QStringLiteral("mark"), QStringLiteral("--read"), reportId }).isNull());
    QVERIFY(waitForRows(QStringLiteral("SELECT ?r WHERE { <%1> nmo:isRead ?r }").arg(reportIri),
                        { QStringLiteral("true") }));
    QVERIFY(!qmfctl({ QStringLiteral("delete"), reportId }).isNull());
    QVERIFY(waitForRows(
        QStringLiteral("SELECT ?x WHERE { { <%1> a ?x } UNION { ?x nie:isPartOf <%1> } }")
            .arg(reportIri),
        {}));

    // The settings' "Queries" switch shows each batch line by line.
    QVERIFY(daemon.waitForLine(
        QStringLiteral("[Queries] \"DELETE {<%1> a rdfs:Resource }\"").arg(reportIri)));
    QVERIFY(daemon.linesContaining(QStringLiteral("Unable to execute query")).isEmpty());
    QVERIFY(daemon.terminate());
    QCOMPARE(daemon.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestIndexerEndToEnd)
#include "tst_indexer_e2e.moc"
