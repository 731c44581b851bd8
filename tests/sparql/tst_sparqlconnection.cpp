#include <testenvironment.h>

#include <qsparqlconnection.h>

#include <QDir>
#include <QFile>
#include <QScopedPointer>
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
    void rejectedUpdateIsReportedAndNextOneRuns();
    void updatesRunInOrderAndFinishOnce();
    void destructionKeepsWhatWasSent();
    void readsTypedValues();
    void defaultOptionsOpenTheMailStoreAndPublishIt();
    void takenBusNameLeavesTheDatabaseUsable();

private:
    QSparqlConnectionOptions freshOptions(const QString &name);
    QSparqlResult *run(QSparqlConnection &connection, const QString &text,
                       QSparqlQuery::StatementType type = QSparqlQuery::SelectStatement);
    QString trackerCli(const QString &busName, const QString &query);

    TestEnvironment env;
    bool busUp = false;
};

void TestSparqlConnection::initTestCase()
{
    QVERIFY(env.isValid());
    busUp = env.startSessionBus();
    QVERIFY(busUp);
}

QSparqlConnectionOptions TestSparqlConnection::freshOptions(const QString &name)
{
    QSparqlConnectionOptions options;
    options.setDataPath(env.path(QStringLiteral("db-") + name));
    options.setBusName(QString());
    return options;
}

QSparqlResult *TestSparqlConnection::run(QSparqlConnection &connection, const QString &text,
                                         QSparqlQuery::StatementType type)
{
    QSparqlResult *result = connection.exec(QSparqlQuery(text, type));
    result->waitForFinished();
    return result;
}

// Runs the tracker3 command line against a published database while this
// process keeps serving it from its event loop.
QString TestSparqlConnection::trackerCli(const QString &busName, const QString &query)
{
    QProcess cli;
    cli.setProcessChannelMode(QProcess::MergedChannels);
    cli.start(QStringLiteral("tracker3"),
              { QStringLiteral("sparql"), QStringLiteral("--dbus-service"), busName,
                QStringLiteral("-q"), query });
    if (!cli.waitForStarted(10000)) {
        return QStringLiteral("tracker3 did not start");
    }
    QDeadlineTimer deadline(60000);
    while (cli.state() != QProcess::NotRunning && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return QString::fromUtf8(cli.readAll());
}

void TestSparqlConnection::hostileValuesBecomeExactlyTheIntendedTriples()
{
    const QStringList hostile = {
        QStringLiteral("plain"),
        QStringLiteral("x\" ; nmo:messageSubject \"injected"),
        QStringLiteral("x\" } ; INSERT { <urn:evil> a nmo:Email } ; INSERT { <urn:y> nie:title \""),
        QStringLiteral("x' } ; DELETE { ?r a rdfs:Resource } WHERE { ?r a nmo:Email } #"),
        QStringLiteral("\"\"\" ''' \"\" '' \" '"),
        QStringLiteral("\\"),
        QStringLiteral("\\\\ \\\" \\n"),
        QStringLiteral("\\u0022 } INSERT { <urn:evil> a nmo:Email } \\u0022"),
        QStringLiteral("\\U00000022"),
        QStringLiteral("line\nbreak\r\nand\ttab\bback\fform"),
        QStringLiteral("ctl\x01\x02\x1b\x1f\x7f end"),
        QStringLiteral("nul") + QChar(0) + QStringLiteral(" } INSERT { <urn:evil> a nmo:Email }"),
        QStringLiteral("?:s ?:t ?:r"),
        QStringLiteral("# not a comment\n} # still text"),
        QStringLiteral("<urn:evil> > < {} | ^ ` %3E"),
        QStringLiteral("\u202egnp.exe \U0001F600 J\u00f6rg"),
        QStringLiteral("lone ") + QChar(0xd800) + QStringLiteral(" \" } ") + QChar(0xdc00),
    };
    // What reaches the store is UTF-8, where a lone surrogate has no form.
    const auto asStored = [](const QString &text) { return QString::fromUtf8(text.toUtf8()); };
    QSparqlConnection connection(QStringLiteral("QTRACKER_DIRECT"),
                                 freshOptions(QStringLiteral("hostile")));
    QVERIFY2(connection.isValid(), qPrintable(connection.errorString()));

    QMap<QString, QPair<QString, QString>> expected; // subject IRI -> (subject, relatedTo IRI)
    for (int i = 0; i < hostile.size(); ++i) {
        const QString &value = hostile.at(i);
        const QUrl resource(QStringLiteral("qmf://mail.brenmor.com/part#%1-").arg(i) + value);
        const QUrl contact(QStringLiteral("mailto:") + value);
        QSparqlQuery query(QStringLiteral("INSERT {\n?:r rdf:type nmo:Email ;\n   "
                                          "nmo:messageSubject ?:s ;\n   nie:relatedTo ?:t .\n}"),
                           QSparqlQuery::InsertStatement);
        query.bindValue(QStringLiteral("r"), resource);
        query.bindValue(QStringLiteral("s"), value);
        query.bindValue(QStringLiteral("t"), contact);
        QSparqlResult *result = connection.exec(query);
        result->waitForFinished();
        QVERIFY2(
            !result->hasError(),
            qPrintable(QStringLiteral("value %1: %2").arg(i).arg(result->lastError().message())));
        QString stored = value;
        stored.replace(QChar(0), QChar(QChar::ReplacementCharacter));
        expected.insert(
            asStored(QSparqlQuery::escapeIri(resource.toString())),
            qMakePair(asStored(stored), asStored(QSparqlQuery::escapeIri(contact.toString()))));
    }
    QCOMPARE(expected.size(), hostile.size());

    QSparqlResult *rows = run(connection,
                              QStringLiteral("SELECT (STR(?m) AS ?iri) ?s (STR(?t) AS ?rel) "
                                             "WHERE { ?m a nmo:Email ; nmo:messageSubject ?s ; "
                                             "nie:relatedTo ?t }"));
    QVERIFY(!rows->hasError());
    QMap<QString, QPair<QString, QString>> found;
    int rowCount = 0;
    while (rows->next()) {
        found.insert(rows->value(0).toString(),
                     qMakePair(rows->value(1).toString(), rows->value(2).toString()));
        ++rowCount;
    }
    QCOMPARE(rowCount, hostile.size());
    QCOMPARE(found, expected);

    // Nothing else was written: no extra subjects, messages or resources.
    QSparqlResult *counts
        = run(connection, QStringLiteral("SELECT (COUNT(?m) AS ?c) WHERE { ?m a nmo:Email }"));
    QVERIFY(counts->next());
    QCOMPARE(counts->value(0).toLongLong(), qlonglong(hostile.size()));
    QSparqlResult *subjects = run(
        connection, QStringLiteral("SELECT (COUNT(?s) AS ?c) WHERE { ?m nmo:messageSubject ?s }"));
    QVERIFY(subjects->next());
    QCOMPARE(subjects->value(0).toLongLong(), qlonglong(hostile.size()));
    QSparqlResult *evil = run(connection,
                              QStringLiteral("ASK { { <urn:evil> ?p ?o } UNION "
                                             "{ <urn:y> ?p ?o } }"),
                              QSparqlQuery::AskStatement);
    QVERIFY(!evil->hasError());
    QVERIFY(!evil->boolValue());
}

void TestSparqlConnection::unusableConnections_data()
{
    QTest::addColumn<QString>("driver");
    QTest::addColumn<QString>("dataPath");
    QTest::addColumn<QString>("ontologyPath");
    QTest::addColumn<QString>("reason");

    QFile blocker(env.path(QStringLiteral("a-file")));
    blocker.open(QIODevice::WriteOnly);
    QDir().mkpath(env.path(QStringLiteral("broken-ontology")));
    QFile broken(env.path(QStringLiteral("broken-ontology/10-broken.ontology")));
    broken.open(QIODevice::WriteOnly);
    broken.write("this is not turtle {\n");

    QTest::newRow("unknown driver") << QStringLiteral("QSPARQL_ENDPOINT") << QString() << QString()
                                    << QStringLiteral("QSPARQL_ENDPOINT");
    QTest::newRow("database folder is a file")
        << QStringLiteral("QTRACKER_DIRECT") << env.path(QStringLiteral("a-file/db")) << QString()
        << QStringLiteral("a-file/db");
    QTest::newRow("no ontology folder")
        << QStringLiteral("QTRACKER_DIRECT") << env.path(QStringLiteral("db-unused"))
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
    options.setBusName(QString());
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
    QVERIFY(result);
    QSignalSpy finished(result, &QSparqlResult::finished);
    QVERIFY(!result->isFinished()); // reported from the event loop, after the caller connected
    QVERIFY(finished.wait(10000));
    QVERIFY(result->hasError());
    QCOMPARE(result->lastError().type(), QSparqlError::ConnectionError);
}

void TestSparqlConnection::rejectedUpdateIsReportedAndNextOneRuns()
{
    QSparqlConnection connection(QStringLiteral("QTRACKER_DIRECT"),
                                 freshOptions(QStringLiteral("reject")));
    QVERIFY(connection.isValid());
    QSparqlResult *bad = connection.exec(
        QSparqlQuery(QStringLiteral("INSERT { <urn:a> a nmo:Email ; nmo:noSuchProperty 1 }"),
                     QSparqlQuery::InsertStatement));
    QSparqlResult *good = connection.exec(QSparqlQuery(
        QStringLiteral("INSERT { <urn:b> a nmo:Email }"), QSparqlQuery::InsertStatement));
    good->waitForFinished();
    QVERIFY(bad->isFinished());
    QVERIFY(bad->hasError());
    QVERIFY(bad->lastError().message().contains(QStringLiteral("noSuchProperty")));
    QCOMPARE(bad->lastError().type(), QSparqlError::StatementError);
    QVERIFY(!good->hasError());
    QVERIFY(good->lastError().message().isEmpty());

    QSparqlResult *ask
        = run(connection, QStringLiteral("ASK { <urn:a> ?p ?o }"), QSparqlQuery::AskStatement);
    QVERIFY(!ask->boolValue());

    // An update without operations is valid SPARQL and changes nothing.
    QSparqlResult *empty = run(connection, QStringLiteral("\n"), QSparqlQuery::InsertStatement);
    QVERIFY2(!empty->hasError(), qPrintable(empty->lastError().message()));
    QSparqlResult *count
        = run(connection, QStringLiteral("SELECT (COUNT(?m) AS ?c) { ?m a nmo:Email }"));
    QVERIFY(count->next());
    QCOMPARE(count->value(0).toLongLong(), 1ll);
}

void TestSparqlConnection::updatesRunInOrderAndFinishOnce()
{
    QSparqlConnection connection(QStringLiteral("QTRACKER_DIRECT"),
                                 freshOptions(QStringLiteral("order")));
    QVERIFY(connection.isValid());
    const QStringList statements = {
        QStringLiteral("INSERT { <urn:m> a nmo:Email ; nmo:messageSubject \"first\" }"),
        QStringLiteral("DELETE { <urn:m> a rdfs:Resource }"),
        QStringLiteral("INSERT { <urn:m> a nmo:Email ; nmo:messageSubject \"second\" }"),
        QStringLiteral(
            "DELETE { <urn:m> nmo:messageSubject ?s } WHERE { <urn:m> nmo:messageSubject ?s }\n"
            "INSERT { <urn:m> nmo:messageSubject \"third\" }"),
    };
    QList<QSparqlResult *> results;
    QList<QSharedPointer<QSignalSpy>> spies;
    QStringList order;
    for (const QString &statement : statements) {
        QSparqlResult *result
            = connection.exec(QSparqlQuery(statement, QSparqlQuery::InsertStatement));
        spies.append(QSharedPointer<QSignalSpy>::create(result, &QSparqlResult::finished));
        // Results are told on the thread that asked, never on the store's.
        connect(
            result, &QSparqlResult::finished, this,
            [&order, statement] {
                order.append(QThread::currentThread() == qApp->thread() ? statement
                                                                        : QStringLiteral("thread"));
            },
            Qt::DirectConnection);
        results.append(result);
    }
    results.last()->waitForFinished();
    QCOMPARE(order, statements);
    for (int i = 0; i < results.size(); ++i) {
        QVERIFY2(!results.at(i)->hasError(), qPrintable(results.at(i)->lastError().message()));
        QCOMPARE(spies.at(i)->count(), 1);
    }
    QSparqlResult *subject
        = run(connection, QStringLiteral("SELECT ?s { <urn:m> nmo:messageSubject ?s }"));
    QCOMPARE(subject->size(), 1);
    QVERIFY(subject->next());
    QCOMPARE(subject->value(0).toString(), QStringLiteral("third"));
    QCOMPARE(subject->columnNames(), QStringList { QStringLiteral("s") });
}

void TestSparqlConnection::destructionKeepsWhatWasSent()
{
    const QSparqlConnectionOptions options = freshOptions(QStringLiteral("teardown"));
    {
        QSparqlConnection connection(QStringLiteral("QTRACKER_DIRECT"), options);
        QVERIFY(connection.isValid());
        for (int i = 0; i < 20; ++i) {
            QSparqlResult *result = connection.exec(
                QSparqlQuery(QStringLiteral("INSERT { <urn:m%1> a nmo:Email }").arg(i),
                             QSparqlQuery::InsertStatement));
            // A receiver that would be gone by the time the store answers.
            connect(result, &QSparqlResult::finished, this,
                    [] { QFAIL("finished after teardown"); });
        }
    }
    QSparqlConnection reopened(QStringLiteral("QTRACKER_DIRECT"), options);
    QVERIFY(reopened.isValid());
    QSparqlResult *count
        = run(reopened, QStringLiteral("SELECT (COUNT(?m) AS ?c) { ?m a nmo:Email }"));
    QVERIFY(count->next());
    QCOMPARE(count->value(0).toLongLong(), 20ll);
}

void TestSparqlConnection::readsTypedValues()
{
    QSparqlConnection connection(QStringLiteral("QTRACKER_DIRECT"),
                                 freshOptions(QStringLiteral("types")));
    QSparqlQuery insert(
        QStringLiteral("INSERT { ?:m a nmo:Email ; nmo:isRead ?:r ; nie:contentSize ?:n ; "
                       "nmo:sentDate ?:d ; nmo:inReplyTo ?:i }"),
        QSparqlQuery::InsertStatement);
    const QDateTime sent(QDate(2023, 6, 1), QTime(12, 30, 0), Qt::OffsetFromUTC, 7200);
    insert.bindValue(QStringLiteral("m"), QUrl(QStringLiteral("qmf://mail.brenmor.com/email#7")));
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
    QVERIFY(!row->hasError());
    QVERIFY(row->next());
    QCOMPARE(row->value(0), QVariant(QUrl(QStringLiteral("qmf://mail.brenmor.com/email#7"))));
    QCOMPARE(row->value(1), QVariant(true));
    QCOMPARE(row->value(2), QVariant(4096ll));
    QCOMPARE(row->value(3).toDateTime().toMSecsSinceEpoch(), sent.toMSecsSinceEpoch());
    QCOMPARE(row->value(4), QVariant(12ll));
    QVERIFY(!row->value(5).isValid());
    QVERIFY(!row->next());
}

void TestSparqlConnection::defaultOptionsOpenTheMailStoreAndPublishIt()
{
    QSparqlConnection connection(QStringLiteral("QTRACKER_DIRECT"));
    QVERIFY2(connection.isValid(), qPrintable(connection.errorString()));
    QVERIFY(QFileInfo(env.path(QStringLiteral("home/.local/share/postvane/tracker"))).isDir());
    QCOMPARE(connection.publishedBusName(), QStringLiteral("com.brenmor.Postvane.Tracker"));

    QSparqlQuery insert(QStringLiteral("INSERT { ?:m a nmo:Email ; nmo:messageSubject ?:s }"),
                        QSparqlQuery::InsertStatement);
    insert.bindValue(QStringLiteral("m"), QUrl(QStringLiteral("qmf://mail.brenmor.com/email#1")));
    insert.bindValue(QStringLiteral("s"), QStringLiteral("Quarterly figures"));
    QSparqlResult *result = connection.exec(insert);
    result->waitForFinished();
    QVERIFY(!result->hasError());

    const QString output = trackerCli(
        QStringLiteral("com.brenmor.Postvane.Tracker"),
        QStringLiteral(
            "SELECT ?m ?s WHERE { ?m fts:match \"quarterly\" ; nmo:messageSubject ?s }"));
    QVERIFY2(output.contains(QStringLiteral("qmf://mail.brenmor.com/email#1")), qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("Quarterly figures")), qPrintable(output));
}

void TestSparqlConnection::takenBusNameLeavesTheDatabaseUsable()
{
    QSparqlConnectionOptions first = freshOptions(QStringLiteral("bus1"));
    first.setBusName(QStringLiteral("com.brenmor.Postvane.Test"));
    QSparqlConnection owner(QStringLiteral("QTRACKER_DIRECT"), first);
    QCOMPARE(owner.publishedBusName(), QStringLiteral("com.brenmor.Postvane.Test"));

    QSparqlConnectionOptions second = freshOptions(QStringLiteral("bus2"));
    second.setBusName(QStringLiteral("com.brenmor.Postvane.Test"));
    QTest::ignoreMessage(QtWarningMsg,
                         "QSparqlConnection: cannot own the bus name "
                         "\"com.brenmor.Postvane.Test\": another process owns it");
    QSparqlConnection latecomer(QStringLiteral("QTRACKER_DIRECT"), second);
    QVERIFY(latecomer.isValid());
    QVERIFY(latecomer.publishedBusName().isEmpty());
    QSparqlResult *result = run(latecomer, QStringLiteral("INSERT { <urn:x> a nmo:Email }"),
                                QSparqlQuery::InsertStatement);
    QVERIFY(!result->hasError());

    // Only the owner's database answers under the name.
    const QString output = trackerCli(QStringLiteral("com.brenmor.Postvane.Test"),
                                      QStringLiteral("SELECT ?m WHERE { ?m a nmo:Email }"));
    QVERIFY2(!output.contains(QStringLiteral("urn:x")), qPrintable(output));
    QVERIFY2(output.contains(QStringLiteral("Results")), qPrintable(output));
}

QTEST_GUILESS_MAIN(TestSparqlConnection)
#include "tst_sparqlconnection.moc"
