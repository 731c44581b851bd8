#include <testenvironment.h>

#include "logcategories.h"
#include "trackerindexer.h"

#include <qmailstore.h>
#include <qsparqlconnection.h>

#include <QFile>
#include <QSettings>
#include <QtTest>

namespace {

struct Record
{
    QtMsgType type;
    QString category;
    QString text;
};

QList<Record> records;
QtMessageHandler previousHandler = nullptr;

void captureMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    records.append({ type, QString::fromLatin1(context.category ? context.category : ""), text });
    if (type != QtDebugMsg) {
        previousHandler(type, context, text);
    }
}

QStringList texts(const QString &category)
{
    QStringList out;
    for (const Record &record : qAsConst(records)) {
        if (record.category == category && record.type == QtDebugMsg) {
            out.append(record.text);
        }
    }
    return out;
}

QStringList warnings()
{
    QStringList out;
    for (const Record &record : qAsConst(records)) {
        if (record.type == QtWarningMsg
            && !record.text.startsWith(QLatin1String("QSparqlConnection"))) {
            out.append(record.text);
        }
    }
    return out;
}

// The queue's own milestones, in the order they happened.
QStringList milestones()
{
    static const QStringList interesting = {
        QStringLiteral("TrackerIndexer::executeQuery"),
        QStringLiteral("TrackerIndexer: starting next query"),
        QStringLiteral("TrackerIndexer: query executed successfully"),
        QStringLiteral("No more queries to execute"),
    };
    QStringList out;
    for (const Record &record : qAsConst(records)) {
        if (interesting.contains(record.text)) {
            out.append(record.text);
        } else if (record.text.startsWith(
                       QLatin1String("TrackerIndexer: Unable to execute query"))) {
            out.append(QStringLiteral("failed"));
        }
    }
    return out;
}

const QString queued = QStringLiteral("TrackerIndexer::executeQuery");
const QString started = QStringLiteral("TrackerIndexer: starting next query");
const QString succeeded = QStringLiteral("TrackerIndexer: query executed successfully");
const QString drained = QStringLiteral("No more queries to execute");

} // namespace

// The indexer's queue against a real mail store and a real Tracker database,
// watched through its log records and through what Tracker ends up holding.
class TestTrackerIndexer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void createdWithAConnection();
    void unusableDatabaseLeavesTheIndexerInert();
    void emptyNotificationStillSendsABatch();
    void everySlotLogsItsSignatureAndCount();
    void batchesRunOneAtATimeInArrivalOrder();
    void rejectedBatchIsFollowedByTheNext();
    void accountUpdatesSendOnlyChanges();
    void vanishedObjects();
    void queriesCategoryShowsEachLine();
    void queriesCategoryOff();
    void mirroredMessageHoldsExactlyItsTriples();

private:
    void waitUntilDrained();
    QSparqlResult *read(const QString &query);
    QMailFolderId addFolder(const QString &name);

    TestEnvironment env;
    QMailStore *store = nullptr;
    TrackerIndexer *indexer = nullptr;
    QSparqlConnection *reader = nullptr;
    QMailAccountId accountId;
};

void TestTrackerIndexer::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    QCoreApplication::setOrganizationName(QStringLiteral("Brenmor"));
    QCoreApplication::setApplicationName(QStringLiteral("Postvane"));
    previousHandler = qInstallMessageHandler(captureMessage);
    store = QMailStore::instance();
    QCOMPARE(store->initializationState(), QMailStore::Initialized);

    indexer = new TrackerIndexer;
    QVERIFY(indexer->isReady());
    // Another connection to the same database, for reading back what the
    // indexer wrote (a Tracker database may be opened more than once).
    QSparqlConnectionOptions options;
    options.setBusName(QString());
    reader = new QSparqlConnection(QStringLiteral("QTRACKER_DIRECT"), options);
    QVERIFY(reader->isValid());

    QMailAccount account;
    account.setName(QStringLiteral("Work"));
    account.setFromAddress(QMailAddress(QStringLiteral("alice@example.org")));
    QVERIFY(store->addAccount(&account));
    accountId = account.id();
}

void TestTrackerIndexer::init()
{
    records.clear();
}

void TestTrackerIndexer::cleanupTestCase()
{
    delete reader;
    delete indexer;
    qInstallMessageHandler(previousHandler);
}

void TestTrackerIndexer::waitUntilDrained()
{
    QTRY_VERIFY_WITH_TIMEOUT(!milestones().isEmpty() && milestones().last() == drained, 30000);
}

QSparqlResult *TestTrackerIndexer::read(const QString &query)
{
    QSparqlResult *result = reader->exec(QSparqlQuery(query));
    result->waitForFinished();
    return result;
}

QMailFolderId TestTrackerIndexer::addFolder(const QString &name)
{
    QMailFolder folder(name, QMailFolderId(), accountId);
    store->addFolder(&folder);
    return folder.id();
}

void TestTrackerIndexer::createdWithAConnection()
{
    TrackerIndexer second;
    QVERIFY(second.isReady());
    QCOMPARE(texts(QStringLiteral("Indexer")),
             QStringList { QStringLiteral("TrackerIndexer is created.") });
}

void TestTrackerIndexer::unusableDatabaseLeavesTheIndexerInert()
{
    // A file where the database folder belongs: the store cannot be opened.
    const QString xdgData = env.path(QStringLiteral("blocked-data"));
    QFile blocker(xdgData + QStringLiteral("/postvane"));
    QDir().mkpath(xdgData);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(xdgData));
    {
        TrackerIndexer inert;
        QVERIFY(!inert.isReady());
    }
    qputenv("XDG_DATA_HOME", saved);
    bool critical = false;
    for (const Record &record : qAsConst(records)) {
        critical |= record.type == QtCriticalMsg
            && record.text == QStringLiteral("Unable to establish SPARQL connection");
    }
    QVERIFY(critical);
    QVERIFY(texts(QStringLiteral("Indexer")).isEmpty());
}

void TestTrackerIndexer::emptyNotificationStillSendsABatch()
{
    indexer->addMessages(QMailMessageIdList());
    waitUntilDrained();
    QCOMPARE(
        texts(QStringLiteral("Indexer")),
        QStringList({ QStringLiteral(
                          "void TrackerIndexer::addMessages(const QMailMessageIdList&) count= 0"),
                      queued, started, succeeded, drained }));
    QCOMPARE(texts(QStringLiteral("Queries")), QStringList { QStringLiteral("\"\"") });
}

void TestTrackerIndexer::everySlotLogsItsSignatureAndCount()
{
    indexer->addAccounts({});
    indexer->updateAccounts({});
    indexer->removeAccounts({});
    indexer->addFolders({});
    indexer->updateFolders({});
    indexer->removeFolders({});
    indexer->addMessages({});
    indexer->updateMessages({});
    indexer->removeMessages({});
    waitUntilDrained();
    QStringList entries;
    for (const QString &text : texts(QStringLiteral("Indexer"))) {
        if (text.startsWith(QLatin1String("void "))) {
            entries.append(text);
        }
    }
    QCOMPARE(entries,
             QStringList({
                 QStringLiteral("void TrackerIndexer::addAccounts(const QMailAccountIdList&) "
                                "count= 0"),
                 QStringLiteral("void TrackerIndexer::updateAccounts(const QMailAccountIdList&) "
                                "count= 0"),
                 QStringLiteral("void TrackerIndexer::removeAccounts(const QMailAccountIdList&) "
                                "count= 0"),
                 QStringLiteral("void TrackerIndexer::addFolders(const QMailFolderIdList&) "
                                "count= 0"),
                 QStringLiteral("void TrackerIndexer::updateFolders(const QMailFolderIdList&) "
                                "count= 0"),
                 QStringLiteral("void TrackerIndexer::removeFolders(const QMailFolderIdList&) "
                                "count= 0"),
                 QStringLiteral("void TrackerIndexer::addMessages(const QMailMessageIdList&) "
                                "count= 0"),
                 QStringLiteral("void TrackerIndexer::updateMessages(const QMailMessageIdList&) "
                                "count= 0"),
                 QStringLiteral("void TrackerIndexer::removeMessages(const QMailMessageIdList&) "
                                "count= 0"),
             }));
    // Eight empty batches: an account update with nothing changed sends none.
    QCOMPARE(milestones().count(queued), 8);
    QCOMPARE(milestones().count(succeeded), 8);
    const QStringList lines = texts(QStringLiteral("Queries"));
    QCOMPARE(lines.size(), 8);
    QCOMPARE(lines.count(QStringLiteral("\"\"")), 8);
}

void TestTrackerIndexer::batchesRunOneAtATimeInArrivalOrder()
{
    const QMailFolderId folder = addFolder(QStringLiteral("Order"));
    records.clear();
    // Three notifications while the first batch is in Tracker's hands; each
    // later one would fail or leave another name if it ran out of order.
    indexer->addFolders({ folder });
    QMailFolder renamed(folder);
    renamed.setDisplayName(QStringLiteral("Renamed"));
    QVERIFY(store->updateFolder(&renamed));
    indexer->updateFolders({ folder });
    renamed.setDisplayName(QStringLiteral("Final"));
    QVERIFY(store->updateFolder(&renamed));
    indexer->updateFolders({ folder });
    QCOMPARE(milestones(), QStringList({ queued, started, queued, queued }));
    waitUntilDrained();
    QCOMPARE(milestones(),
             QStringList({ queued, started, queued, queued, succeeded, started, succeeded, started,
                           succeeded, drained }));
    QSparqlResult *name = read(QStringLiteral("SELECT ?n { <%1> nmo:folderName ?n }")
                                   .arg(TrackerIndexer::folderIri(folder).toString()));
    QCOMPARE(name->size(), 1);
    QVERIFY(name->next());
    QCOMPARE(name->value(0).toString(), QStringLiteral("Final"));
}

void TestTrackerIndexer::rejectedBatchIsFollowedByTheNext()
{
    const QMailFolderId folder = addFolder(QStringLiteral("Before"));
    indexer->addFolders({ folder });
    waitUntilDrained();
    records.clear();
    // Added twice with a different name: Tracker refuses a second value of a
    // single-valued property, and the whole batch fails.
    QMailFolder renamed(folder);
    renamed.setDisplayName(QStringLiteral("After"));
    QVERIFY(store->updateFolder(&renamed));
    const QMailFolderId other = addFolder(QStringLiteral("Other"));
    indexer->addFolders({ other, folder });
    indexer->removeFolders({ other });
    waitUntilDrained();
    QCOMPARE(milestones(),
             QStringList({ queued, started, queued, QStringLiteral("failed"), started, succeeded,
                           drained }));
    const QStringList warned = warnings();
    QCOMPARE(warned.size(), 1);
    QVERIFY2(
        warned.first().startsWith(QStringLiteral("TrackerIndexer: Unable to execute query \"")),
        qPrintable(warned.first()));
    QVERIFY(warned.first().size()
            > QStringLiteral("TrackerIndexer: Unable to execute query \"\"").size());
    // Nothing of the failed batch was applied.
    QSparqlResult *names
        = read(QStringLiteral("SELECT ?n { ?f a nmo:MailFolder ; nmo:folderName ?n "
                              "FILTER (?n IN (\"Before\", \"After\", \"Other\")) }"));
    QCOMPARE(names->size(), 1);
    QVERIFY(names->next());
    QCOMPARE(names->value(0).toString(), QStringLiteral("Before"));
}

void TestTrackerIndexer::accountUpdatesSendOnlyChanges()
{
    const QString update
        = QStringLiteral("void TrackerIndexer::updateAccounts(const QMailAccountIdList&) count= 1");
    indexer->updateAccounts({ accountId });
    waitUntilDrained();
    QCOMPARE(texts(QStringLiteral("Indexer")).first(), update);
    QCOMPARE(milestones(), QStringList({ queued, started, succeeded, drained }));
    const QStringList lines = texts(QStringLiteral("Queries"));
    QCOMPARE(lines.first(),
             QStringLiteral("\"DELETE { <qmf://mail.brenmor.com/accounts#%1> a rdfs:Resource } \"")
                 .arg(accountId.toULongLong()));
    QCOMPARE(lines.at(1), QStringLiteral("\"INSERT {\""));

    // Unchanged: nothing is queued at all.
    records.clear();
    indexer->updateAccounts({ accountId });
    QCOMPARE(texts(QStringLiteral("Indexer")), QStringList { update });

    // A change outside the three mirrored fields is not worth a request either.
    QMailAccount account(accountId);
    account.setStatus(QMailAccount::Enabled, true);
    QVERIFY(store->updateAccount(&account));
    records.clear();
    indexer->updateAccounts({ accountId });
    QCOMPARE(texts(QStringLiteral("Indexer")), QStringList { update });

    // A new signature is.
    account.setSignature(QStringLiteral("Regards"));
    QVERIFY(store->updateAccount(&account));
    records.clear();
    indexer->updateAccounts({ accountId, QMailAccountId(999) });
    waitUntilDrained();
    QCOMPARE(milestones(), QStringList({ queued, started, succeeded, drained }));
    QVERIFY(warnings().isEmpty()); // the unknown account is skipped silently
    QSparqlResult *signature = read(QStringLiteral("SELECT ?s { <%1> nmo:signature ?s }")
                                        .arg(TrackerIndexer::accountIri(accountId).toString()));
    QVERIFY(signature->next());
    QCOMPARE(signature->value(0).toString(), QStringLiteral("Regards"));

    // Only an unknown account: nothing queued.
    records.clear();
    indexer->updateAccounts({ QMailAccountId(999) });
    QVERIFY(milestones().isEmpty());
}

void TestTrackerIndexer::vanishedObjects()
{
    QMailMessage message
        = QMailMessage::fromRfc2822("From: a@example.org\r\nSubject: gone\r\n\r\nx\r\n");
    message.setParentFolderId(addFolder(QStringLiteral("Vanish")));
    message.setParentAccountId(accountId);
    QVERIFY(store->addMessage(&message));
    QVERIFY(store->removeMessage(message.id()));
    records.clear();

    indexer->updateMessages({ message.id() });
    indexer->addMessages({ message.id() });
    indexer->addFolders({ QMailFolderId(777) });
    waitUntilDrained();
    const QString id = QString::number(message.id().toULongLong());
    QCOMPARE(
        warnings(),
        QStringList(
            { QStringLiteral("Object with id QMailMessageId(%1) is not found for updating").arg(id),
              QStringLiteral("Object with id QMailMessageId(%1) is not found for adding").arg(id),
              QStringLiteral("Object with id QMailFolderId(777) is not found for adding") }));
    // The update still removed the message; the adds sent empty batches.
    QCOMPARE(
        texts(QStringLiteral("Queries")),
        QStringList(
            { QStringLiteral("\"DELETE {<qmf://mail.brenmor.com/email#%1> a rdfs:Resource }\"")
                  .arg(id),
              QStringLiteral("\"DELETE { ?s a rdfs:Resource } WHERE { ?s nfo:belongsToContainer "
                             "<qmf://mail.brenmor.com/email#%1> . }\"")
                  .arg(id),
              QStringLiteral("\"\""), QStringLiteral("\"\""), QStringLiteral("\"\"") }));
}

void TestTrackerIndexer::queriesCategoryShowsEachLine()
{
    indexer->removeFolders({ QMailFolderId(41), QMailFolderId(42) });
    waitUntilDrained();
    QCOMPARE(
        texts(QStringLiteral("Queries")),
        QStringList(
            { QStringLiteral("\"DELETE { <qmf://mail.brenmor.com/folder#41> a rdfs:Resource } \""),
              QStringLiteral("\"DELETE { <qmf://mail.brenmor.com/folder#42> a rdfs:Resource } \""),
              QStringLiteral("\"\"") }));
    QCOMPARE(
        texts(QStringLiteral("Indexer")).first(),
        QStringLiteral("void TrackerIndexer::removeFolders(const QMailFolderIdList&) count= 2"));
}

void TestTrackerIndexer::queriesCategoryOff()
{
    {
        QSettings settings(QStringLiteral("Brenmor"), QStringLiteral("Postvane"));
        settings.setValue(QStringLiteral("Log categories/Queries"), 0);
    }
    qmf_logFlag_Queries() = 0;
    indexer->removeAccounts({ QMailAccountId(77) });
    waitUntilDrained();
    QVERIFY(texts(QStringLiteral("Queries")).isEmpty());
    QCOMPARE(milestones(), QStringList({ queued, started, succeeded, drained }));
    {
        QSettings settings(QStringLiteral("Brenmor"), QStringLiteral("Postvane"));
        settings.remove(QStringLiteral("Log categories/Queries"));
    }
    qmf_logFlag_Queries() = 0;
}

void TestTrackerIndexer::mirroredMessageHoldsExactlyItsTriples()
{
    const QString folderName
        = QStringLiteral("Mirror\" ; nmo:folderName \"two\" } INSERT { <urn:evil> a nmo:Email } #");
    const QMailFolderId folder = addFolder(folderName);
    indexer->addFolders({ folder });
    waitUntilDrained();
    QSparqlResult *names = read(QStringLiteral("SELECT ?n { <%1> nmo:folderName ?n }")
                                    .arg(TrackerIndexer::folderIri(folder).toString()));
    QCOMPARE(names->size(), 1);
    QVERIFY(names->next());
    QCOMPARE(names->value(0).toString(), folderName);
    QMailMessage message = QMailMessage::fromRfc2822(
        "From: \"Eve \\\"the\\\" Hacker\" <eve@example.org>\r\n"
        "To: \"Bob\" <bob@example.org>\r\n"
        "Subject: x\" ; nmo:isRead true } INSERT { <urn:evil> a nmo:Email } #\r\n"
        "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
        "--b\r\nContent-Type: text/plain\r\n\r\nhi\r\n"
        "--b\r\nContent-Type: application/octet-stream; name=\"a\\\"> ; b.bin\"\r\n"
        "Content-Disposition: attachment\r\nContent-Transfer-Encoding: base64\r\n\r\nAAAA\r\n"
        "--b--\r\n");
    // Addresses are IRIs: a value that tries to close one stays inside it.
    const QString hostileAddress
        = QStringLiteral("t> ; a nmo:Email } INSERT { <urn:evil> a nmo:Email } #\\u003E\"@x");
    message.setTo({ QMailAddress(QStringLiteral("Bob"), QStringLiteral("bob@example.org")),
                    QMailAddress(QStringLiteral("Trudy"), hostileAddress) });
    message.setParentFolderId(folder);
    message.setParentAccountId(accountId);
    QVERIFY(store->addMessage(&message));
    indexer->addMessages({ message.id() });
    waitUntilDrained();
    QVERIFY(warnings().isEmpty());

    const QString miri = TrackerIndexer::messageIri(message.id()).toString();
    QSparqlResult *row = read(QStringLiteral("SELECT ?s ?isRead ?fromName ?fromAddr ?file { "
                                             "<%1> nmo:messageSubject ?s ; nmo:isRead ?isRead ; "
                                             "nmo:from ?f . ?f nco:fullname ?fromName ; "
                                             "nco:hasEmailAddress ?fromAddr . "
                                             "?p nie:isPartOf <%1> ; nfo:fileName ?file }")
                                  .arg(miri));
    QVERIFY2(!row->hasError(), qPrintable(row->lastError().message()));
    QCOMPARE(row->size(), 1);
    QVERIFY(row->next());
    QCOMPARE(row->value(0).toString(),
             QStringLiteral("x\" ; nmo:isRead true } INSERT { <urn:evil> a nmo:Email } #"));
    QCOMPARE(row->value(1), QVariant(false));
    QCOMPARE(row->value(2).toString(), QStringLiteral("Eve \"the\" Hacker"));
    QCOMPARE(row->value(3).toUrl().toString(), QStringLiteral("mailto:eve@example.org"));
    QCOMPARE(row->value(4).toString(), QStringLiteral("a\"> ; b.bin"));
    QSparqlResult *recipients
        = read(QStringLiteral("SELECT ?n (STR(?a) AS ?iri) { <%1> nmo:to ?t . ?t nco:fullname ?n ; "
                              "nco:hasEmailAddress ?a } ORDER BY ?n")
                   .arg(miri));
    QCOMPARE(recipients->size(), 2);
    QVERIFY(recipients->next());
    QCOMPARE(recipients->value(0).toString(), QStringLiteral("Bob"));
    QCOMPARE(recipients->value(1).toString(), QStringLiteral("mailto:bob@example.org"));
    QVERIFY(recipients->next());
    QCOMPARE(recipients->value(0).toString(), QStringLiteral("Trudy"));
    QCOMPARE(recipients->value(1).toString(),
             QSparqlQuery::escapeIri(QUrl(QStringLiteral("mailto:") + hostileAddress).toString()));
    QSparqlResult *evil = read(QStringLiteral("ASK { <urn:evil> ?p ?o }"));
    QVERIFY(!evil->boolValue());
    QSparqlResult *emails = read(QStringLiteral("SELECT ?m { ?m a nmo:Email }"));
    QCOMPARE(emails->size(), 1);

    // A word of the subject finds the message, a word of a name its sender.
    QSparqlResult *bySubject
        = read(QStringLiteral("SELECT ?m { ?m fts:match \"evil\" ; a nmo:Email }"));
    QVERIFY(bySubject->next());
    QCOMPARE(bySubject->value(0).toUrl().toString(), miri);
    QSparqlResult *byName
        = read(QStringLiteral("SELECT ?m { ?c fts:match \"Hacker\" . ?m nmo:from ?c }"));
    QVERIFY(byName->next());
    QCOMPARE(byName->value(0).toUrl().toString(), miri);

    // Removal takes the attachment with the message.
    records.clear();
    indexer->removeMessages({ message.id() });
    waitUntilDrained();
    QSparqlResult *left = read(
        QStringLiteral("SELECT ?x { { <%1> a ?x } UNION { ?x nie:isPartOf <%1> } }").arg(miri));
    QCOMPARE(left->size(), 0);
}

QTEST_GUILESS_MAIN(TestTrackerIndexer)
#include "tst_trackerindexer.moc"
