#include <processrunner.h>
#include <testenvironment.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QtTest>

#include <functional>

// The mirror end to end: the real daemon on a private session bus, the store
// changed by qmfctl from outside, and Tracker read back through the endpoint
// the daemon publishes, the way any Tracker client would.
class TestIndexerEndToEnd : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void storeChangesAreMirroredAndSearchable();
    void withoutADatabaseTheDaemonRunsUnmirrored();

private:
    void writeSettings();
    QString qmfctl(const QStringList &arguments);
    // Rows of a SELECT through the endpoint, each row its values joined by ", "
    // as tracker3 prints them; a null list when the query failed.
    QStringList sparql(const QString &query);
    bool waitForRows(const QString &query, const std::function<bool(const QStringList &)> &accept,
                     QStringList *last = nullptr);

    TestEnvironment env;
};

void TestIndexerEndToEnd::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    writeSettings();
}

void TestIndexerEndToEnd::writeSettings()
{
    QSettings settings(env.settingsFile(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("Syslog/Enabled"), 0);
    settings.setValue(QStringLiteral("FileLog/Enabled"), 0);
    settings.setValue(QStringLiteral("StdStreamLog/Enabled"), 1);
    settings.setValue(QStringLiteral("Log categories/Indexer"), 1);
    settings.setValue(QStringLiteral("Log categories/Queries"), 1);
    settings.setValue(QStringLiteral("Log categories/Notifications"), 1);
    settings.setValue(QStringLiteral("Notification/Enabled"), 1);
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
    const QStringList lines
        = QString::fromUtf8(cli.readAllStandardOutput()).split(QLatin1Char('\n'));
    QStringList rows;
    bool inResults = false;
    for (const QString &line : lines) {
        if (line.startsWith(QLatin1String("Results:"))) {
            inResults = true;
        } else if (inResults && !line.trimmed().isEmpty()
                   && line.trimmed() != QLatin1String("None")) {
            rows.append(line.trimmed());
        }
    }
    return rows.isEmpty() ? QStringList { QString() }.mid(1) : rows;
}

// The daemon mirrors asynchronously: poll the endpoint until the answer is the
// expected one (or give up after a generous while).
bool TestIndexerEndToEnd::waitForRows(const QString &query,
                                      const std::function<bool(const QStringList &)> &accept,
                                      QStringList *last)
{
    QDeadlineTimer deadline(60000);
    QStringList rows;
    do {
        rows = sparql(query);
        if (accept(rows)) {
            if (last) {
                *last = rows;
            }
            return true;
        }
        QTest::qWait(100);
    } while (!deadline.hasExpired());
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
    QVERIFY(!account.isEmpty());
    const QString inbox
        = qmfctl({ QStringLiteral("folder"), QStringLiteral("add"), QStringLiteral("--account"),
                   account, QStringLiteral("--path"), QStringLiteral("INBOX"),
                   QStringLiteral("--standard"), QStringLiteral("inbox") });
    const QString projects = qmfctl(
        { QStringLiteral("folder"), QStringLiteral("add"), QStringLiteral("--account"), account,
          QStringLiteral("--path"), QStringLiteral("INBOX/Projects"), QStringLiteral("--parent"),
          inbox, QStringLiteral("--name"), QStringLiteral("Pro\"jects } #") });
    QVERIFY(!inbox.isEmpty() && !projects.isEmpty());
    QCOMPARE(
        qmfctl({ QStringLiteral("import"), QStringLiteral("--folder"), inbox,
                 TestEnvironment::sourcePath(QStringLiteral("tests/indexer/mail/report.eml")),
                 TestEnvironment::sourcePath(QStringLiteral("tests/indexer/mail/hostile.eml")) }),
        QStringLiteral("2"));

    const QString accountIri = QStringLiteral("qmf://mail.brenmor.com/accounts#") + account;
    QVERIFY(waitForRows(
        QStringLiteral("SELECT ?n ?s WHERE { <%1> nmo:accountName ?n ; nmo:signature ?s }")
            .arg(accountIri),
        [](const QStringList &rows) { return rows == QStringList { QStringLiteral("Work,") }; }));
    QVERIFY(waitForRows(
        QStringLiteral("SELECT ?n WHERE { ?f a nmo:MailFolder ; nmo:folderName ?n ; "
                       "nie:relatedTo <%1> } ORDER BY ?n")
            .arg(accountIri),
        [](const QStringList &rows) {
            return rows
                == QStringList({ QStringLiteral("INBOX"), QStringLiteral("Pro\"jects } #") });
        }));

    // Both messages, their attachments and their contacts; the hostile one
    // exactly as written and nothing more.
    QStringList subjects;
    QVERIFY(waitForRows(
        QStringLiteral("SELECT ?s WHERE { ?m a nmo:Email ; nmo:messageSubject ?s } ORDER BY ?s"),
        [](const QStringList &rows) { return rows.size() == 2; }, &subjects));
    QCOMPARE(
        subjects,
        QStringList({ QStringLiteral("Lunch\" ; nmo:isRead true . } DELETE { ?m a rdfs:Resource } "
                                     "WHERE { ?m a nmo:Email } #"),
                      QStringLiteral("Quarterly figures for the board") }));
    const QStringList messages = qmfctl({ QStringLiteral("list"), QStringLiteral("messages"),
                                          QStringLiteral("--folder"), inbox })
                                     .split(QLatin1Char('\n'));
    QCOMPARE(messages.size(), 2);
    QString reportId;
    QString hostileId;
    for (const QString &line : messages) {
        const QStringList columns = line.split(QLatin1Char('\t'));
        (line.contains(QStringLiteral("Quarterly")) ? reportId : hostileId) = columns.first();
    }
    const QString reportIri = QStringLiteral("qmf://mail.brenmor.com/email#") + reportId;
    const QString hostileIri = QStringLiteral("qmf://mail.brenmor.com/email#") + hostileId;

    QCOMPARE(sparql(QStringLiteral(
                        "SELECT ?f WHERE { ?p nie:isPartOf <%1> ; nfo:fileName ?f } ORDER BY ?f")
                        .arg(reportIri)),
             QStringList({ QStringLiteral("figures.pdf"), QStringLiteral("raw-data.csv") }));
    QCOMPARE(sparql(QStringLiteral("SELECT ?f WHERE { ?p nie:isPartOf <%1> ; nfo:fileName ?f }")
                        .arg(hostileIri)),
             QStringList { QStringLiteral("evil\"> ; <urn:x> a nmo:Email ; x.bin") });
    QCOMPARE(sparql(QStringLiteral("SELECT ?n ?a WHERE { <%1> nmo:from ?c . ?c nco:fullname ?n ; "
                                   "nco:hasEmailAddress ?a }")
                        .arg(reportIri)),
             QStringList { QStringLiteral("Alice Example, mailto:alice@example.org") });
    QCOMPARE(
        sparql(QStringLiteral(
                   "SELECT ?a WHERE { <%1> nmo:to ?c . ?c nco:hasEmailAddress ?a } ORDER BY ?a")
                   .arg(reportIri)),
        QStringList({ QStringLiteral("mailto:bob@example.org"),
                      QStringLiteral("mailto:carol@example.org") }));
    QCOMPARE(sparql(QStringLiteral("SELECT ?n WHERE { <%1> nmo:from ?c . ?c nco:fullname ?n }")
                        .arg(hostileIri)),
             QStringList { QStringLiteral("Mallory \" } INSERT { <urn:evil> a nmo:Email } #") });
    QCOMPARE(
        sparql(QStringLiteral("SELECT ?r ?h WHERE { <%1> nmo:isRead ?r ; nmo:hasAttachment ?h }")
                   .arg(hostileIri)),
        QStringList { QStringLiteral("false, true") });
    QCOMPARE(
        sparql(QStringLiteral("SELECT ?x WHERE { { <urn:evil> ?x ?o } UNION { <urn:x> ?x ?o } }")),
        QStringList());

    // Full-text search: a word of a subject, a sender's name, a file name.
    QCOMPARE(sparql(QStringLiteral("SELECT ?m WHERE { ?m fts:match \"quarterly\" ; a nmo:Email }")),
             QStringList { reportIri });
    QCOMPARE(sparql(QStringLiteral("SELECT ?m WHERE { ?c fts:match \"Alice\" . ?m nmo:from ?c }")),
             QStringList { reportIri });
    QCOMPARE(
        sparql(QStringLiteral(
            "SELECT ?m WHERE { ?p fts:match \"figures\" ; a nmo:Attachment ; nie:isPartOf ?m }")),
        QStringList { reportIri });

    // Updates are a removal and a fresh insertion.
    QVERIFY(!qmfctl({ QStringLiteral("mark"), QStringLiteral("--read"), reportId }).isNull());
    QVERIFY(waitForRows(
        QStringLiteral("SELECT ?r WHERE { <%1> nmo:isRead ?r }").arg(reportIri),
        [](const QStringList &rows) { return rows == QStringList { QStringLiteral("true") }; }));
    QCOMPARE(sparql(QStringLiteral(
                        "SELECT ?f WHERE { ?p nie:isPartOf <%1> ; nfo:fileName ?f } ORDER BY ?f")
                        .arg(reportIri)),
             QStringList({ QStringLiteral("figures.pdf"), QStringLiteral("raw-data.csv") }));
    QVERIFY(!qmfctl({ QStringLiteral("account"), QStringLiteral("update"), account,
                      QStringLiteral("--name"), QStringLiteral("Home"),
                      QStringLiteral("--signature"), QStringLiteral("Cheers") })
                 .isNull());
    QVERIFY(waitForRows(
        QStringLiteral("SELECT ?n ?s WHERE { <%1> nmo:accountName ?n ; nmo:signature ?s }")
            .arg(accountIri),
        [](const QStringList &rows) {
            return rows == QStringList { QStringLiteral("Home, Cheers") };
        }));

    // Removals take the message's attachments along.
    QVERIFY(!qmfctl({ QStringLiteral("delete"), reportId }).isNull());
    QVERIFY(waitForRows(
        QStringLiteral("SELECT ?x WHERE { { <%1> a ?x } UNION { ?x nie:isPartOf <%1> } }")
            .arg(reportIri),
        [](const QStringList &rows) { return rows.isEmpty(); }));
    QCOMPARE(sparql(QStringLiteral("SELECT ?m WHERE { ?m a nmo:Email }")),
             QStringList { hostileIri });
    QVERIFY(!qmfctl({ QStringLiteral("folder"), QStringLiteral("remove"), projects }).isNull());
    QVERIFY(waitForRows(
        QStringLiteral("SELECT ?n WHERE { ?f a nmo:MailFolder ; nmo:folderName ?n }"),
        [](const QStringList &rows) { return rows == QStringList { QStringLiteral("INBOX") }; }));

    // Each batch is logged line by line under "Queries".
    QVERIFY(daemon.waitForLine(
        QStringLiteral("[Queries] \"DELETE {<%1> a rdfs:Resource }\"").arg(reportIri)));
    QVERIFY(daemon.waitForLine(QStringLiteral(
        "[Queries] \"   nmo:messageSubject \\\"Quarterly figures for the board\\\" ;\"")));
    QVERIFY(daemon.waitForLine(QStringLiteral(
        "[Indexer] void TrackerIndexer::addMessages(const QMailMessageIdList&) count= 2")));
    QVERIFY(daemon.linesContaining(QStringLiteral("Unable to execute query")).isEmpty());

    QVERIFY(daemon.terminate());
    QCOMPARE(daemon.exitStatus(), QProcess::NormalExit);
    QCOMPARE(daemon.exitCode(), 0);
}

void TestIndexerEndToEnd::withoutADatabaseTheDaemonRunsUnmirrored()
{
    // A file where the database folder belongs.
    const QString data = env.path(QStringLiteral("home/.local/share/postvane"));
    QDir(data).removeRecursively();
    QFile blocker(data);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    ProcessRunner daemon;
    QVERIFY(daemon.start(TestEnvironment::binary(QStringLiteral("postvane"))));
    QVERIFY(daemon.waitForLine(QStringLiteral("Unable to establish SPARQL connection"), 60000));
    QVERIFY(daemon.waitForLine(QStringLiteral("Postvane::enableNotifications("), 60000));

    const QString folders = qmfctl({ QStringLiteral("list"), QStringLiteral("folders") });
    const QString inbox = folders.split(QLatin1Char('\t')).first();
    QVERIFY(!inbox.isEmpty());
    QCOMPARE(
        qmfctl({ QStringLiteral("import"), QStringLiteral("--folder"), inbox,
                 TestEnvironment::sourcePath(QStringLiteral("tests/indexer/mail/report.eml")) }),
        QStringLiteral("1"));
    // The daemon's own new-mail handling still sees the message...
    QVERIFY(daemon.waitForLine(QStringLiteral("notifyNewItems: message"), 60000));
    // ...while nothing went to a mirror, and no endpoint answers.
    QVERIFY(daemon.linesContaining(QStringLiteral("TrackerIndexer")).isEmpty());
    QVERIFY(sparql(QStringLiteral("SELECT ?m WHERE { ?m a nmo:Email }")).isEmpty());

    QVERIFY(daemon.terminate());
    QCOMPARE(daemon.exitCode(), 0);
}

QTEST_GUILESS_MAIN(TestIndexerEndToEnd)
#include "tst_indexer_e2e.moc"
