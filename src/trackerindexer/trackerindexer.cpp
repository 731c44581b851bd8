// The queue of changes, its batches and their retries, and the catch-up
// at start.

#include "trackerindexer.h"

#include "logcategories.h"
#include "mirrorrecord.h"

#include <qmailbulkpriority.h>
#include <qmailstore.h>
#include <qsparqlconnection.h>
#include <qsparqlquery.h>
#include <qsparqlresult.h>

#include <QFileInfo>
#include <QSet>
#include <QStandardPaths>
#include <QtDebug>

#include <algorithm>
#include <ctime>
#include <malloc.h>

namespace {

// Whether an attachment of the message has no size of its own, so that its
// body must be read to tell it.
bool needsBodies(const QMailMessage &message)
{
    for (int i = 0; i < message.partCount(); ++i) {
        const QMailMessageContentDisposition disposition = message.partAt(i).contentDisposition();
        if (disposition.type() == QMailMessageContentDisposition::Attachment
            && disposition.size() < 0) {
            return true;
        }
    }
    return false;
}

const char notFoundForAdding[] = "is not found for adding";
const char notFoundForUpdating[] = "is not found for updating";

// A batch holds at most this many objects and, unless one object alone is
// larger, about this much text: Tracker answers each in a fraction of a
// second, and a large import never sits in memory as one text.
const int maximumBatchObjects = 200;
const int maximumBatchText = 1 << 20;

const char *const kindNames[] = { "Accounts", "Folders", "Messages" };
const char *const idListNames[]
    = { "QMailAccountIdList", "QMailFolderIdList", "QMailMessageIdList" };
const char *const changeNames[] = { "add", "update", "remove" };

// Everything the mirror ever wrote, for a store made anew.
const QString clearStatement
    = QStringLiteral("DELETE { ?r a rdfs:Resource } WHERE { ?r a nmo:MailboxDataObject }\n"
                     "DELETE { ?r a rdfs:Resource } WHERE { ?r a nmo:MailAccount }\n"
                     "DELETE { ?r a rdfs:Resource } WHERE { ?r a nco:Contact }\n"
                     "DELETE { ?r a rdfs:Resource } WHERE { ?r a nco:EmailAddress }\n");

QString removalStatement(QMailStore::ObjectKind kind, quint64 id)
{
    switch (kind) {
    case QMailStore::Accounts:
        return TrackerIndexer::accountDeleteStatement(QMailAccountId(id));
    case QMailStore::Folders:
        return TrackerIndexer::folderDeleteStatement(QMailFolderId(id));
    default:
        return TrackerIndexer::messageDeleteStatement(QMailMessageId(id));
    }
}

// The insertion of the object as the store holds it now, in one statement
// or more; none when the store does not hold it, which is warned about.
template<typename Object, typename Id>
QStringList insertionOf(const Object &object, const Id &id,
                        QStringList (*statements)(const Object &), const char *notFound)
{
    if (object.id().isValid()) {
        return statements(object);
    }
    qWarning() << "Object with id" << id << notFound;
    return QStringList();
}

QStringList accountStatements(const QMailAccount &account)
{
    return { TrackerIndexer::accountInsertStatement(account) };
}

QStringList folderStatements(const QMailFolder &folder)
{
    return { TrackerIndexer::folderInsertStatement(folder) };
}

// Messages are taken from loaded, read for the whole batch, where they are;
// one read there by itself is not.
QStringList insertionStatements(QMailStore::ObjectKind kind, quint64 id, const char *notFound,
                                QHash<quint64, QMailMessage> *loaded)
{
    switch (kind) {
    case QMailStore::Accounts:
        return insertionOf(QMailAccount(QMailAccountId(id)), QMailAccountId(id), &accountStatements,
                           notFound);
    case QMailStore::Folders:
        return insertionOf(QMailFolder(QMailFolderId(id)), QMailFolderId(id), &folderStatements,
                           notFound);
    default:
        // Metadata and part headers: the bodies are not mirrored, and a large
        // attachment need not be read into memory for it.
        {
            // The bodies only for an attachment whose size must be counted.
            QMailMessage message = loaded->contains(id)
                ? loaded->take(id)
                : QMailStore::instance()->messageHeaders(QMailMessageId(id));
            if (needsBodies(message)) {
                message = QMailMessage(QMailMessageId(id));
            }
            return insertionOf(message, QMailMessageId(id), &TrackerIndexer::messageStatements,
                               notFound);
        }
    }
}

} // namespace

TrackerIndexer::TrackerIndexer(QObject *parent)
    : QObject(parent)
    , connection(nullptr)
    , ready(false)
{
    QSparqlConnectionOptions options;
    options.setDataPath(databasePath());
    options.setBusName(busName());
    options.setOntologyPath(ontologyPath());
    // What Tracker has not confirmed when the daemon stops is sent again at
    // the next start: stopping never waits for a batch in progress.
    options.setOption(QStringLiteral("finishOnClose"), false);
    connection = new QSparqlConnection(QStringLiteral("QTRACKER_DIRECT"), options, this);
    if (connection->isValid()) {
        qMailLog(Indexer) << "TrackerIndexer is created.";
        ready = true;
        record = new MirrorRecord(recordPath());
    } else {
        qCritical("Unable to establish SPARQL connection");
    }
}

TrackerIndexer::~TrackerIndexer()
{
    // A batch in Tracker's hands is left to end with the process; its
    // result never reaches the record.
    delete connection;
    delete record;
}

QString TrackerIndexer::recordPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/postvane/mirror.db");
}

QString TrackerIndexer::databasePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/postvane/tracker");
}

QString TrackerIndexer::ontologyPath()
{
    const QString built = QStringLiteral(POSTVANE_ONTOLOGY_BUILD_DIR);
    return QFileInfo(built).isDir() ? built : QStringLiteral(POSTVANE_ONTOLOGY_INSTALL_DIR);
}

QString TrackerIndexer::busName()
{
    return QStringLiteral("com.brenmor.Postvane.Tracker");
}

template<typename Id>
void TrackerIndexer::queueChange(QMailStore::ObjectKind kind, Change change, const QList<Id> &ids)
{
    qMailLog(Indexer) << QStringLiteral("void TrackerIndexer::%1%2(const %3&)")
                             .arg(QLatin1String(changeNames[change]),
                                  QLatin1String(kindNames[kind]), QLatin1String(idListNames[kind]))
                             .toLatin1()
                             .constData()
                      << "count=" << ids.count();
    Job job;
    job.kind = kind;
    job.change = change;
    job.ids.reserve(ids.size());
    for (const Id &id : ids) {
        job.ids.append(id.toULongLong());
    }
    executeQuery(std::move(job));
}

void TrackerIndexer::addAccounts(const QMailAccountIdList &ids)
{
    queueChange(QMailStore::Accounts, Added, ids);
}

void TrackerIndexer::updateAccounts(const QMailAccountIdList &ids)
{
    qMailLog(Indexer) << "void TrackerIndexer::updateAccounts(const QMailAccountIdList&)"
                      << "count=" << ids.count();
    // Only the from-address, name and signature reach Tracker; an update that
    // changes none of them is not worth a request.
    QMailAccountIdList changed;
    for (const QMailAccountId &id : ids) {
        const QMailAccount account(id);
        if (!account.id().isValid()) {
            continue;
        }
        const auto cached = accountCache.constFind(id);
        if (cached != accountCache.constEnd() && cached->fromAddress() == account.fromAddress()
            && cached->name() == account.name() && cached->signature() == account.signature()) {
            continue;
        }
        accountCache.insert(id, account);
        changed.append(id);
    }
    if (!changed.isEmpty()) {
        Job job;
        job.kind = QMailStore::Accounts;
        job.change = Updated;
        for (const QMailAccountId &id : qAsConst(changed)) {
            job.ids.append(id.toULongLong());
        }
        executeQuery(std::move(job));
    }
}

void TrackerIndexer::removeAccounts(const QMailAccountIdList &ids)
{
    queueChange(QMailStore::Accounts, Removed, ids);
}

void TrackerIndexer::addFolders(const QMailFolderIdList &ids)
{
    queueChange(QMailStore::Folders, Added, ids);
}

void TrackerIndexer::updateFolders(const QMailFolderIdList &ids)
{
    queueChange(QMailStore::Folders, Updated, ids);
}

void TrackerIndexer::removeFolders(const QMailFolderIdList &ids)
{
    queueChange(QMailStore::Folders, Removed, ids);
}

void TrackerIndexer::addMessages(const QMailMessageIdList &ids)
{
    queueChange(QMailStore::Messages, Added, ids);
}

void TrackerIndexer::updateMessages(const QMailMessageIdList &ids)
{
    queueChange(QMailStore::Messages, Updated, ids);
}

void TrackerIndexer::removeMessages(const QMailMessageIdList &ids)
{
    queueChange(QMailStore::Messages, Removed, ids);
}

void TrackerIndexer::catchUp()
{
    if (!ready) {
        return;
    }
    QMailStore *store = QMailStore::instance();
    const QString identity = store->identity();
    if (identity.isEmpty()) {
        qWarning() << "TrackerIndexer: cannot catch up:" << store->lastErrorText();
        return;
    }
    if (identity != record->storeIdentity) {
        // Ids of another store: whatever the mirror holds under them is not
        // what the store holds now.
        qMailLog(Indexer) << "TrackerIndexer: new mail store" << identity << "clearing the mirror";
        record->forget();
        Batch clear;
        clear.newStoreIdentity = identity;
        clear.units.append(Unit { QMailStore::Messages, 0, 0, false, clearStatement, true });
        retries.push_back(clear);
    }
    int changedCount = 0;
    int removedCount = 0;
    for (const QMailStore::ObjectKind kind :
         { QMailStore::Accounts, QMailStore::Folders, QMailStore::Messages }) {
        const QHash<quint64, quint64> stamps = store->changeStamps(kind);
        const QHash<quint64, quint64> &mirrored = record->stamps[kind];
        Job changed;
        changed.kind = kind;
        changed.change = Updated;
        changed.catchingUp = true;
        for (auto it = stamps.cbegin(); it != stamps.cend(); ++it) {
            const auto known = mirrored.constFind(it.key());
            if (known == mirrored.constEnd() || known.value() != it.value()) {
                changed.ids.append(it.key());
            }
        }
        Job removed = changed;
        removed.change = Removed;
        removed.ids.clear();
        for (auto it = mirrored.cbegin(); it != mirrored.cend(); ++it) {
            if (!stamps.contains(it.key())) {
                removed.ids.append(it.key());
            }
        }
        for (Job *job : { &removed, &changed }) {
            if (!job->ids.isEmpty()) {
                std::sort(job->ids.begin(), job->ids.end());
                queryQueue.push_back(std::move(*job));
            }
        }
        changedCount += changed.ids.size();
        removedCount += removed.ids.size();
    }
    qMailLog(Indexer) << "TrackerIndexer: catching up"
                      << "changed=" << changedCount << "removed=" << removedCount;
    startNextQuery();
}

void TrackerIndexer::executeQuery(Job job)
{
    qMailLog(Indexer) << "TrackerIndexer::executeQuery";
    queryQueue.push_back(std::move(job));
    startNextQuery();
}

// The next slice of the job: read from the store only now, so that what is
// sent is what the store holds when Tracker is ready for it.
TrackerIndexer::Batch TrackerIndexer::buildBatch(Job &job)
{
    Batch batch;
    int size = 0;
    const auto add = [&](Unit unit) {
        size += unit.text.size();
        batch.units.append(std::move(unit));
    };
    // One statement of the rest per batch: each costs Tracker time that grows
    // with the recipients it holds already, and mail behind it waits for it.
    if (job.ids.isEmpty()) {
        if (!leftover.empty()) {
            add(std::move(leftover.front()));
            leftover.pop_front();
        }
        return batch;
    }
    const QList<quint64> ids = job.ids.mid(job.next, maximumBatchObjects);
    // Statements convert their dates to local time without looking at the
    // zone again: a change of zone is taken in here, once per batch.
    ::tzset();
    // Stamps before the objects: a change in between reads as not yet
    // mirrored at the next start, never the other way round.
    const QHash<quint64, quint64> stamps = job.change == Removed
        ? QHash<quint64, quint64>()
        : QMailStore::instance()->changeStamps(job.kind, ids);
    QHash<quint64, QMailMessage> loaded;
    if (job.kind == QMailStore::Messages && job.change != Removed) {
        QMailMessageIdList messageIds;
        messageIds.reserve(ids.size());
        for (const quint64 id : ids) {
            messageIds.append(QMailMessageId(id));
        }
        for (const QMailMessage &message : QMailStore::instance()->messagesHeaders(messageIds)) {
            loaded.insert(message.id().toULongLong(), message);
        }
    }
    for (const quint64 id : ids) {
        ++job.next;
        // What is left of an earlier version of the object is out of date:
        // this removes or replaces all of it.
        dropLeftover(job.kind, id);
        const size_t leftoverBefore = leftover.size();
        Unit unit { job.kind, id, stamps.value(id), false, QString(), true };
        // An object the mirror holds is replaced, never added twice.
        if (job.change != Added || record->stamps[job.kind].contains(id)) {
            unit.text = removalStatement(job.kind, id) + QLatin1Char('\n');
        }
        if (job.change != Removed) {
            QStringList insertion = insertionStatements(
                job.kind, id, job.change == Added ? notFoundForAdding : notFoundForUpdating,
                &loaded);
            unit.present = !insertion.isEmpty();
            if (unit.present) {
                unit.text += insertion.takeFirst() + QLatin1Char('\n');
            }
            // The rest of a message of many recipients follows in batches of
            // its own; only the last one tells the record the message is in.
            unit.recorded = insertion.isEmpty();
            while (!insertion.isEmpty()) {
                const QString text = insertion.takeFirst() + QLatin1Char('\n');
                leftover.push_back(
                    Unit { job.kind, id, unit.stamp, true, text, insertion.isEmpty() });
            }
        }
        if (!unit.text.isEmpty()) {
            add(std::move(unit));
        }
        if (size >= maximumBatchText || leftover.size() > leftoverBefore) {
            break;
        }
    }
    return batch;
}

void TrackerIndexer::dropLeftover(QMailStore::ObjectKind kind, quint64 id)
{
    leftover.erase(
        std::remove_if(leftover.begin(), leftover.end(),
                       [&](const Unit &rest) { return rest.kind == kind && rest.id == id; }),
        leftover.end());
}

// Tracker writes a batch on its own thread; meanwhile the next one is built
// here, so that the two costs overlap instead of adding up. At most two
// batches are built and not yet answered.
void TrackerIndexer::startNextQuery()
{
    if (sent.empty()) {
        sendNext();
    }
    prepareNext();
}

void TrackerIndexer::sendNext()
{
    Batch batch;
    if (!retries.empty()) {
        batch = std::move(retries.front());
        retries.pop_front();
    } else if (hasPrepared) {
        batch = std::move(prepared);
        prepared = Batch();
        hasPrepared = false;
    } else if (!buildNext(&batch)) {
        qMailLog(Indexer) << "No more queries to execute";
        // A burst of mail leaves the heap large and mostly free; give it back
        // to the system instead of keeping it resident while idle.
        malloc_trim(0);
        return;
    }
    send(batch);
}

void TrackerIndexer::prepareNext()
{
    // Retries go first: what is built behind them waits until they are sent.
    if (!hasPrepared && retries.empty() && sent.size() < 2) {
        hasPrepared = buildNext(&prepared);
    }
    // Queued behind the batch Tracker writes, Tracker starts on it the moment
    // that one ends, not once this thread has heard of it.
    if (hasPrepared && sent.size() == 1 && mayFollow(sent.front(), prepared)) {
        const Batch batch = std::move(prepared);
        prepared = Batch();
        hasPrepared = false;
        send(batch);
    }
}

// Whether `second` may be handed to Tracker before `first` is answered. If
// `first` is refused, its retries come after `second`: that is only the same
// as the order of the changes when the two touch different objects. A batch
// that empties the mirror for a new store goes alone.
bool TrackerIndexer::mayFollow(const Batch &first, const Batch &second)
{
    if (!first.newStoreIdentity.isNull() || !second.newStoreIdentity.isNull()) {
        return false;
    }
    QSet<QPair<int, quint64>> objects;
    for (const Unit &unit : first.units) {
        objects.insert(qMakePair(int(unit.kind), unit.id));
    }
    for (const Unit &unit : second.units) {
        if (objects.contains(qMakePair(int(unit.kind), unit.id))) {
            return false;
        }
    }
    return true;
}

bool TrackerIndexer::buildNext(Batch *batch)
{
    if (queryQueue.empty() && leftover.empty()) {
        return false;
    }
    // The rest of a message of many recipients takes turns with what came
    // after it: mail that follows it is not held up for the minute Tracker
    // takes over the recipients.
    if (!leftover.empty() && (queryQueue.empty() || leftoverTurn)) {
        leftoverTurn = false;
        Job none;
        *batch = buildBatch(none);
        return true;
    }
    leftoverTurn = true;
    Job &job = queryQueue.front();
    {
        // Mirroring a first sync or a large catch-up yields to other programs.
        const QMailBulkSlice slice(job.ids.size() >= QMailBulkSlice::Threshold);
        *batch = buildBatch(job);
    }
    if (job.next >= job.ids.size()) {
        queryQueue.pop_front();
    }
    markUnconfirmed(*batch);
    return true;
}

// Written as soon as the batch is built, while Tracker is busy with the one
// before: the record then holds its objects before Tracker may, and sending
// waits for nothing. Retries were written with the batch they came from.
void TrackerIndexer::markUnconfirmed(const Batch &batch)
{
    QList<QPair<int, quint64>> objects;
    objects.reserve(batch.units.size());
    for (const Unit &unit : batch.units) {
        objects.append(qMakePair(int(unit.kind), unit.id));
    }
    record->markUnconfirmed(objects);
}

void TrackerIndexer::send(const Batch &batch)
{
    QString text;
    for (const Unit &unit : batch.units) {
        text += unit.text;
    }
    if (qmf_isCategoryEnabled(qmf_logFlag_Queries(), "Queries")) {
        const QStringList lines = text.split(QLatin1Char('\n'), Qt::KeepEmptyParts);
        for (const QString &line : lines) {
            qMailLog(Queries) << line;
        }
    }
    qMailLog(Indexer) << "TrackerIndexer: starting next query";
    sent.push_back(batch);
    // One update request per batch, whatever mix of removals and insertions
    // it holds.
    QSparqlResult *result = connection->exec(QSparqlQuery(text, QSparqlQuery::InsertStatement));
    connect(result, SIGNAL(finished()), this, SLOT(onQueryExecuted()));
}

void TrackerIndexer::onQueryExecuted()
{
    QSparqlResult *result = static_cast<QSparqlResult *>(sender());
    result->deleteLater();
    // Tracker answers in the order it was asked.
    const Batch done = std::move(sent.front());
    sent.pop_front();
    const QList<Unit> &units = done.units;
    if (result->hasError()) {
        const QString reason = result->lastError().message();
        qWarning() << "TrackerIndexer: Unable to execute query" << reason;
        // What was built behind the refused batch goes after its retries;
        // what was queued behind it touches other objects and goes first.
        if (hasPrepared) {
            retries.push_front(std::move(prepared));
            prepared = Batch();
            hasPrepared = false;
        }
        if (units.size() > 1) {
            // Split until only the objects Tracker refuses are left out.
            const int half = units.size() / 2;
            Batch second;
            second.units = units.mid(half);
            Batch first = done;
            first.units = units.mid(0, half);
            retries.push_front(second);
            retries.push_front(first);
        } else if (units.size() == 1) {
            const Unit &unit = units.first();
            qWarning() << "TrackerIndexer: left out of the mirror:" << kindNames[unit.kind]
                       << unit.id << reason;
            dropLeftover(unit.kind, unit.id);
            if (unit.present) {
                // Whatever the mirror held of it is out of date: it goes.
                retries.push_front(Batch {
                    { Unit { unit.kind, unit.id, 0, false,
                             removalStatement(unit.kind, unit.id) + QLatin1Char('\n'), true } },
                    QString() });
            }
        }
    } else {
        qMailLog(Indexer) << "TrackerIndexer: query executed successfully";
        // Tracker gets the next batch first; the record learns what it
        // confirmed while Tracker writes that one.
        if (sent.empty()) {
            sendNext();
        }
        confirm(done);
        prepareNext();
        return;
    }
    startNextQuery();
}

void TrackerIndexer::confirm(const Batch &done)
{
    // Objects of batches still to be answered stay unconfirmed, whatever an
    // earlier batch tells about them.
    QSet<QPair<int, quint64>> pending;
    for (const Unit &unit : prepared.units) {
        pending.insert(qMakePair(int(unit.kind), unit.id));
    }
    for (const Batch &batch : sent) {
        for (const Unit &unit : batch.units) {
            pending.insert(qMakePair(int(unit.kind), unit.id));
        }
    }
    for (const Batch &batch : retries) {
        for (const Unit &unit : batch.units) {
            pending.insert(qMakePair(int(unit.kind), unit.id));
        }
    }
    record->begin(done.newStoreIdentity);
    if (done.newStoreIdentity.isNull()) {
        for (const Unit &unit : done.units) {
            if (unit.recorded && !pending.contains(qMakePair(int(unit.kind), unit.id))) {
                record->set(unit.kind, unit.id, unit.stamp, unit.present);
            }
        }
    } else {
        // The record of the old store is gone; what is on its way to Tracker
        // is written again.
        for (const auto &object : qAsConst(pending)) {
            record->set(object.first, object.second, MirrorRecord::unconfirmed, true);
        }
    }
    record->commit();
}
