#include "testenvironment.h"

#include <qsparqlconnection.h>

#include <QDir>
#include <QSignalSpy>
#include <QUrl>
#include <QtTest>

// The Tracker driver against real Tracker databases in a temporary home.
class TestSparqlConnection : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void hostileValuesBecomeExactlyTheIntendedTriples();
    void unusableConnections_data();
    void unusableConnections();
    void readsTypedValues();
    void databaseIsPublishedOnlyUnderAFreeName();

private:
    QSparqlConnectionOptions options(const QString &name) const;
    static QSparqlResult *run(QSparqlConnection &connection, const QString &text,
                              QSparqlQuery::StatementType type = QSparqlQuery::SelectStatement);
    static qlonglong count(QSparqlConnection &connection);

    TestEnvironment env;
};

void TestSparqlConnection::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
}

QSparqlConnectionOptions TestSparqlConnection::options(const QString &name) const
{
    QSparqlConnectionOptions options;
    options.setDataPath(env.path(QStringLiteral("db-") + name));
    options.setOntologyPath(QStringLiteral(MAIL_ONTOLOGY_DIR));
    return options;
}

QSparqlResult *TestSparqlConnection::run(QSparqlConnection &connection, const QString &text,
                                         QSparqlQuery::StatementType type)
{
    QSparqlResult *result = connection.exec(QSparqlQuery(text, type));
    result->waitForFinished();
    return result;
}

qlonglong TestSparqlConnection::count(QSparqlConnection &connection)
{
    QSparqlResult *result
        = run(connection, QStringLiteral("SELECT (COUNT(?m) AS ?c) { ?m a nmo:Email }"));
    return result->next() ? result->value(0).toLongLong() : -1;
}

void TestSparqlConnection::hostileValuesBecomeExactlyTheIntendedTriples()
{
    const QStringList hostile = {
        QStringLiteral("x\" ; nmo:messageSubject \"injected"),
        QStringLiteral("x\" } ; INSERT { <urn:evil> a nmo:Email } ; INSERT { <urn:y> nie:title \""),
        QStringLiteral("x' } ; DELETE { ?r a rdfs:Resource } WHERE { ?r a nmo:Email } #"),
        QStringLiteral("\\u0022 } INSERT { <urn:evil> a nmo:Email } \\u0022 \\U00000022"),
        QStringLiteral("line\nbreak\r\nand\ttab\bback\fform ctl\x01\x1b\x7f end"),
        QStringLiteral("nul") + QChar(0) + QStringLiteral(" } INSERT { <urn:evil> a nmo:Email }"),
        QStringLiteral("?:s ?:t # not a comment\n} <urn:evil> > < {} | ^ ` %3E"),
        QStringLiteral("\u202egnp.exe \U0001F600 J\u00f6rg"),
        QStringLiteral("lone ") + QChar(0xd800) + QStringLiteral(" \" } ") + QChar(0xdc00),
    };
    // What reaches the store is UTF-8, where a lone surrogate has no form.
    const auto asStored = [](const QString &text) { return QString::fromUtf8(text.toUtf8()); };
    QSparqlConnection connection(QStringLiteral("QTRACKER_DIRECT"), options(QStringLiteral("h")));
    QVERIFY2(connection.isValid(), qPrintable(connection.errorString()));
    QMap<QString, QPair<QString, QString>> expected; // resource -> (subject, related resource)
    for (int i = 0; i < hostile.size(); ++i) {
        const QUrl resource(QStringLiteral("qmf://mail.brenmor.com/part#%1-").arg(i) + hostile[i]);
        const QUrl contact(QStringLiteral("mailto:") + hostile[i]);
        QSparqlQuery query(QStringLiteral("INSERT { ?:r rdf:type nmo:Email ; "
                                          "nmo:messageSubject ?:s ; nie:relatedTo ?:t . }"),
                           QSparqlQuery::InsertStatement);
        query.bindValue(QStringLiteral("r"), resource);
        query.bindValue(QStringLiteral("s"), hostile[i]);
        query.bindValue(QStringLiteral("t"), contact);
        QSparqlResult *result = connection.exec(query);
        result->waitForFinished();
        QVERIFY2(!result->hasError(), qPrintable(result->lastError().message()));
        QString stored = hostile[i];
        stored.replace(QChar(0), QChar(QChar::ReplacementCharacter));
        expected.insert(
            asStored(QSparqlQuery::escapeIri(resource.toString())),
            qMakePair(asStored(stored), asStored(QSparqlQuery::escapeIri(contact.toString()))));
    }
    QSparqlResult *rows = run(connection,
                              QStringLiteral("SELECT (STR(?m) AS ?iri) ?s (STR(?t) AS ?rel) "
                                             "WHERE { ?m a nmo:Email ; nmo:messageSubject ?s ; "
                                             "nie:relatedTo ?t }"));
    QMap<QString, QPair<QString, QString>> found;
    while (rows->next()) {
        found.insert(rows->value(0).toString(),
                     qMakePair(rows->value(1).toString(), rows->value(2).toString()));
    }
    QCOMPARE(rows->size(), hostile.size());
    QCOMPARE(found, expected);
    QCOMPARE(count(connection), qlonglong(hostile.size()));
    QVERIFY(!run(connection, QStringLiteral("ASK { { <urn:evil> ?p ?o } UNION { <urn:y> ?p ?o } }"),
                 QSparqlQuery::AskStatement)
                 ->boolValue());
}

void TestSparqlConnection::unusableConnections_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("dataPath");
    QTest::addColumn<QString>("ontologyPath");
    QTest::addColumn<QString>("reason");
    QFile(env.path(QStringLiteral("a-file"))).open(QIODevice::WriteOnly);
    QDir().mkpath(env.path(QStringLiteral("broken-ontology")));
    QFile broken(env.path(QStringLiteral("broken-ontology/10-broken.ontology")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("this is not turtle {\n");

    QTest::newRow("unknown driver") << QStringLiteral("QSPARQL_ENDPOINT") << QString() << QString()
                                    << QStringLiteral("QSPARQL_ENDPOINT");
    QTest::newRow("database folder is a file")
        << QStringLiteral("QTRACKER_DIRECT") << env.path(QStringLiteral("a-file/db")) << QString()
        << QStringLiteral("a-file/db");
    QTest::newRow("no ontology folder")
        << QStringLiteral("QTRACKER_DIRECT") << QString()
        << env.path(QStringLiteral("no-such-folder")) << QStringLiteral("no-such-folder");
    QTest::newRow("broken ontology")
        << QStringLiteral("QTRACKER_DIRECT") << env.path(QStringLiteral("db-broken"))
        << env.path(QStringLiteral("broken-ontology")) << QStringLiteral("broken-ontology");
}

void TestSparqlConnection::unusableConnections()
{
    QFETCH(QString, driver);
    QFETCH(QString, dataPath);
    QFETCH(QString, ontologyPath);
    QFETCH(QString, reason);
    QSparqlConnectionOptions options;
    if (!dataPath.isEmpty()) {
        options.setDataPath(dataPath);
    }
    if (!ontologyPath.isEmpty()) {
        options.setOntologyPath(ontologyPath);
    }
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QSparqlConnection: ")));
    QSparqlConnection connection(driver, options);
    QVERIFY(!connection.isValid());
    QVERIFY2(connection.errorString().contains(reason), qPrintable(connection.errorString()));

    QSparqlResult *result = connection.exec(QSparqlQuery(
        QStringLiteral("INSERT { <urn:a> a nmo:Email }"), QSparqlQuery::InsertStatement));
    QSignalSpy finished(result, &QSparqlResult::finished);
    QVERIFY(!result->isFinished()); // told from the event loop, after the caller connected
    QVERIFY(finished.wait(10000));
    QCOMPARE(result->lastError().type(), QSparqlError::ConnectionError);
}

void TestSparqlConnection::readsTypedValues()
{
    QSparqlConnection connection(QStringLiteral("QTRACKER_DIRECT"), options(QStringLiteral("t")));
    QSparqlQuery insert(
        QStringLiteral("INSERT { ?:m a nmo:Email ; nmo:isRead ?:r ; nie:contentSize ?:n ; "
                       "nmo:sentDate ?:d ; nmo:inReplyTo ?:i }"),
        QSparqlQuery::InsertStatement);
    const QUrl message(QStringLiteral("qmf://mail.brenmor.com/email#7"));
    const QDateTime sent(QDate(2023, 6, 1), QTime(12, 30, 0), Qt::OffsetFromUTC, 7200);
    insert.bindValue(QStringLiteral("m"), message);
    insert.bindValue(QStringLiteral("r"), true);
    insert.bindValue(QStringLiteral("n"), 4096u);
    insert.bindValue(QStringLiteral("d"), sent);
    insert.bindValue(QStringLiteral("i"), quint64(12));
    QSparqlResult *inserted = connection.exec(insert);
    inserted->waitForFinished();
    QVERIFY2(!inserted->hasError(), qPrintable(inserted->lastError().message()));

    QSparqlResult *row = run(connection,
                             QStringLiteral("SELECT ?m ?r ?n ?d ?i ?none { ?m nmo:isRead ?r ; "
                                            "nie:contentSize ?n ; nmo:sentDate ?d ; "
                                            "nmo:inReplyTo ?i OPTIONAL { ?m nmo:to ?none } }"));
    QVERIFY(row->next());
    QCOMPARE(row->value(0), QVariant(message));
    QCOMPARE(row->value(1), QVariant(true));
    QCOMPARE(row->value(2), QVariant(4096ll));
    QCOMPARE(row->value(3).toDateTime().toMSecsSinceEpoch(), sent.toMSecsSinceEpoch());
    QCOMPARE(row->value(4), QVariant(12ll));
    QVERIFY(!row->value(5).isValid());
    QVERIFY(!row->next());
}

void TestSparqlConnection::databaseIsPublishedOnlyUnderAFreeName()
{
    // Without a folder and a name: a database in memory that nobody else sees.
    QSparqlConnection private_(QStringLiteral("QTRACKER_DIRECT"));
    QVERIFY2(private_.isValid(), qPrintable(private_.errorString()));
    QVERIFY(private_.publishedBusName().isEmpty());
    QVERIFY(!QFileInfo::exists(env.path(QStringLiteral("home/.local/share/postvane"))));

    const QString name = QStringLiteral("com.brenmor.SparqlTest");
    QSparqlConnectionOptions first = options(QStringLiteral("p1"));
    first.setBusName(name);
    QSparqlConnection owner(QStringLiteral("QTRACKER_DIRECT"), first);
    QCOMPARE(owner.publishedBusName(), name);
    run(owner,
        QStringLiteral("INSERT { <urn:owner> a nmo:Email ; nmo:messageSubject \"Quarterly\" }"),
        QSparqlQuery::InsertStatement);

    QSparqlConnectionOptions second = options(QStringLiteral("p2"));
    second.setBusName(name);
    QTest::ignoreMessage(QtWarningMsg,
                         "QSparqlConnection: cannot own the bus name "
                         "\"com.brenmor.SparqlTest\": another process owns it");
    QSparqlConnection latecomer(QStringLiteral("QTRACKER_DIRECT"), second);
    QVERIFY(latecomer.isValid());
    QVERIFY(latecomer.publishedBusName().isEmpty());
    QVERIFY(!run(latecomer, QStringLiteral("INSERT { <urn:late> a nmo:Email }"),
                 QSparqlQuery::InsertStatement)
                 ->hasError());

    // Any Tracker client finds the owner's database, searchable, under the
    // name; this process serves it from its event loop meanwhile.
    QProcess cli;
    cli.start(QStringLiteral("tracker3"),
              { QStringLiteral("sparql"), QStringLiteral("--dbus-service"), name,
                QStringLiteral("-q"),
                QStringLiteral("SELECT ?m WHERE { ?m fts:match \"quarterly\" }") });
    QSignalSpy done(&cli, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    QVERIFY(done.wait(60000));
    const QString output = QString::fromUtf8(cli.readAll());
    QVERIFY2(output.contains(QStringLiteral("urn:owner")), qPrintable(output));
    QVERIFY2(!output.contains(QStringLiteral("urn:late")), qPrintable(output));
}

QTEST_GUILESS_MAIN(TestSparqlConnection)
#include "tst_sparqlconnection.moc"
