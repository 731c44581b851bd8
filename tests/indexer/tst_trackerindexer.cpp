#include "logcapture.h"
#include "testenvironment.h"
#include "trackerindexer.h"
#include "waituntil.h"

#include <qmailstore.h>
#include <qsparqlconnection.h>

#include <QFile>
#include <QtTest>

namespace {

const QString queued = QStringLiteral("[Indexer] TrackerIndexer::executeQuery");
const QString started = QStringLiteral("[Indexer] TrackerIndexer: starting next query");
const QString succeeded = QStringLiteral("[Indexer] TrackerIndexer: query executed successfully");
const QString failed = QStringLiteral("[Warning] TrackerIndexer: Unable to execute query \"");
const QString drained = QStringLiteral("[Indexer] No more queries to execute");

} // namespace

// The indexer's queue against a real mail store and a real Tracker database,
// watched through what Tracker ends up holding and through the queue's records.
class TestTrackerIndexer : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanupTestCase();
    void refusedObjectIsLeftOutAlone_data();
    void refusedObjectIsLeftOutAlone();
    void accountUpdatesSendOnlyChanges();
    void vanishedObjectsAreWarnedAbout();
    void unusableDatabaseLeavesTheIndexerInert();

private:
    // The queue's milestones so far, failures as the warning's start.
    QStringList milestones() const;
    bool waitUntilDrained();
    QSparqlResult *read(const QString &query);
    QMailFolderId addFolder(const QString &name);

    TestEnvironment env;
    QScopedPointer<LogCapture> log; // made once QtTest has its own handler
    TrackerIndexer *indexer = nullptr;
    QSparqlConnection *reader = nullptr;
    QMailAccountId accountId;
};

void TestTrackerIndexer::initTestCase()
{
    QVERIFY(env.isValid());
    QVERIFY(env.startSessionBus());
    log.reset(new LogCapture);
    QCOMPARE(QMailStore::instance()->initializationState(), QMailStore::Initialized);
    indexer = new TrackerIndexer;
    QVERIFY(indexer->isReady());
    // A second connection to the indexer's database reads back what it wrote.
    QSparqlConnectionOptions options;
    options.setDataPath(TrackerIndexer::databasePath());
    options.setOntologyPath(TrackerIndexer::ontologyPath());
    reader = new QSparqlConnection(QStringLiteral("QTRACKER_DIRECT"), options);
    QVERIFY(reader->isValid());
    QMailAccount account;
    account.setName(QStringLiteral("Work"));
    account.setFromAddress(QMailAddress(QStringLiteral("alice@example.org")));
    QVERIFY(QMailStore::instance()->addAccount(&account));
    accountId = account.id();
}

void TestTrackerIndexer::init()
{
    log->clear();
}

void TestTrackerIndexer::cleanupTestCase()
{
    delete reader;
    delete indexer;
    log.reset();
}

QStringList TestTrackerIndexer::milestones() const
{
    QStringList out;
    for (const QString &line : log->lines()) {
        if (line == queued || line == started || line == succeeded || line == drained) {
            out.append(line);
        } else if (line.startsWith(failed)) {
            out.append(failed);
        }
    }
    return out;
}

bool TestTrackerIndexer::waitUntilDrained()
{
    return waitUntil([this] { return milestones().value(milestones().size() - 1) == drained; });
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
    QMailStore::instance()->addFolder(&folder);
    return folder.id();
}

void TestTrackerIndexer::refusedObjectIsLeftOutAlone_data()
{
    QTest::addColumn<QString>("follows");
    QTest::addColumn<QStringList>("firstMilestones");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("nothing") << QString() << QStringList({ queued, started, failed })
                             << QStringList(
                                    { QStringLiteral("A First"), QStringLiteral("A Last") });
    // Handed to Tracker behind the refused batch, it goes before the retries.
    QTest::newRow("another folder")
        << QStringLiteral("add") << QStringList({ queued, started, queued, started, failed })
        << QStringList(
               { QStringLiteral("B First"), QStringLiteral("B Last"), QStringLiteral("B Next") });
    // Held back until the retries have written the older name.
    QTest::newRow("a rename of the first folder")
        << QStringLiteral("rename") << QStringList({ queued, started, queued, failed, started })
        << QStringList({ QStringLiteral("C Last"), QStringLiteral("C Renamed") });
}

void TestTrackerIndexer::refusedObjectIsLeftOutAlone()
{
    QFETCH(QString, follows);
    QFETCH(QStringList, firstMilestones);
    QFETCH(QStringList, names);
    // Tracker already holds another name for the middle folder (written past
    // the mirror): the batch of three is refused, and split until only that
    // folder is left out, and whatever Tracker held of it removed.
    const QString prefix = names.first().left(2);
    const QList<QMailFolderId> folders = { addFolder(prefix + QStringLiteral("First")),
                                           addFolder(prefix + QStringLiteral("Squatted")),
                                           addFolder(prefix + QStringLiteral("Last")) };
    const QString squatted = TrackerIndexer::folderIri(folders.at(1)).toString();
    QSparqlResult *squat = reader->exec(
        QSparqlQuery(QStringLiteral("INSERT { <%1> a nmo:MailFolder ; nmo:folderName \"%2Other\" }")
                         .arg(squatted, prefix),
                     QSparqlQuery::InsertStatement));
    squat->waitForFinished();
    QVERIFY(!squat->hasError());
    log->clear();
    indexer->addFolders(folders);
    // A second notification before Tracker has answered the first.
    if (follows == QLatin1String("add")) {
        indexer->addFolders({ addFolder(prefix + QStringLiteral("Next")) });
    } else if (follows == QLatin1String("rename")) {
        QMailFolder first(folders.first());
        first.setDisplayName(prefix + QStringLiteral("Renamed"));
        QVERIFY(QMailStore::instance()->updateFolder(&first));
        indexer->updateFolders({ first.id() });
    }
    QVERIFY(waitUntilDrained());
    QCOMPARE(milestones().mid(0, firstMilestones.size()), firstMilestones);
    QCOMPARE(log->count(QStringLiteral("[Warning] TrackerIndexer: left out of the mirror: "
                                       "Folders %1 \"")
                            .arg(folders.at(1).toULongLong())),
             1);
    QSparqlResult *found = read(QStringLiteral("SELECT ?n { ?f a nmo:MailFolder ; nmo:folderName "
                                               "?n FILTER (STRSTARTS(?n, \"%1\")) } ORDER BY ?n")
                                    .arg(prefix));
    QStringList held;
    while (found->next()) {
        held.append(found->value(0).toString());
    }
    QCOMPARE(held, names);
}

void TestTrackerIndexer::accountUpdatesSendOnlyChanges()
{
    const QString accountIri = TrackerIndexer::accountIri(accountId).toString();
    indexer->updateAccounts({ accountId });
    QVERIFY(waitUntilDrained());
    QVERIFY(log->contains(
        QStringLiteral("[Queries] \"DELETE { <%1> a rdfs:Resource } \"").arg(accountIri)));

    // Unchanged, or changed outside the from-address, name and signature:
    // nothing is queued. Another batch behind it proves that.
    QMailAccount account(accountId);
    account.setStatus(QMailAccount::Enabled, true);
    QVERIFY(QMailStore::instance()->updateAccount(&account));
    log->clear();
    indexer->updateAccounts({ accountId });
    indexer->updateAccounts({ QMailAccountId(999) });
    indexer->removeFolders({});
    QVERIFY(waitUntilDrained());
    QCOMPARE(milestones(), QStringList({ queued, started, succeeded, drained }));

    // A new signature is sent; the unknown account is skipped silently.
    account.setSignature(QStringLiteral("Regards"));
    QVERIFY(QMailStore::instance()->updateAccount(&account));
    log->clear();
    indexer->updateAccounts({ accountId, QMailAccountId(999) });
    QVERIFY(waitUntilDrained());
    QCOMPARE(milestones(), QStringList({ queued, started, succeeded, drained }));
    QCOMPARE(log->count(QStringLiteral("[Warning]")), 0);
}

void TestTrackerIndexer::vanishedObjectsAreWarnedAbout()
{
    QMailMessage message
        = QMailMessage::fromRfc2822("From: a@example.org\r\nSubject: gone\r\n\r\nx\r\n");
    message.setParentFolderId(addFolder(QStringLiteral("Vanish")));
    message.setParentAccountId(accountId);
    QVERIFY(QMailStore::instance()->addMessage(&message));
    QVERIFY(QMailStore::instance()->removeMessage(message.id()));
    log->clear();

    indexer->updateMessages({ message.id() });
    indexer->addMessages({ message.id() });
    indexer->addFolders({ QMailFolderId(777) });
    QVERIFY(waitUntilDrained());
    const QString id = QString::number(message.id().toULongLong());
    for (const QString &warning :
         { QStringLiteral("QMailMessageId(%1) is not found for updating").arg(id),
           QStringLiteral("QMailMessageId(%1) is not found for adding").arg(id),
           QStringLiteral("QMailFolderId(777) is not found for adding") }) {
        QCOMPARE(log->count(QStringLiteral("[Warning] Object with id ") + warning), 1);
    }
    // The update still removed the message; the adds sent empty batches.
    QVERIFY(log->contains(
        QStringLiteral("[Queries] \"DELETE {<qmf://mail.brenmor.com/email#%1> a rdfs:Resource }\"")
            .arg(id)));
    QCOMPARE(log->count(QStringLiteral("[Queries] \"\"")), 3);
}

void TestTrackerIndexer::unusableDatabaseLeavesTheIndexerInert()
{
    // A file where the database folder belongs.
    const QString xdgData = env.path(QStringLiteral("blocked-data"));
    QDir().mkpath(xdgData);
    QFile blocker(xdgData + QStringLiteral("/postvane"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    const QByteArray saved = qgetenv("XDG_DATA_HOME");
    qputenv("XDG_DATA_HOME", QFile::encodeName(xdgData));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QSparqlConnection: ")));
    QTest::ignoreMessage(QtCriticalMsg, "Unable to establish SPARQL connection");
    const bool ready = TrackerIndexer().isReady();
    qputenv("XDG_DATA_HOME", saved);
    QVERIFY(!ready);
    QCOMPARE(log->count(QStringLiteral("[Indexer]")), 0);
}

QTEST_GUILESS_MAIN(TestTrackerIndexer)
#include "tst_trackerindexer.moc"
