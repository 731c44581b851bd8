#ifndef TRACKERINDEXER_H
#define TRACKERINDEXER_H

#include <qmailaccount.h>
#include <qmailaddress.h>
#include <qmailfolder.h>
#include <qmailid.h>
#include <qmailmessage.h>

#include <qmailstore.h>

#include <QHash>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QUrl>

#include <deque>

class QSparqlConnection;
class MirrorRecord;

// The Tracker mirror: turns each mail-store notification into SPARQL Update
// text and sends it to Tracker one batch at a time, in the order the
// notifications came. A notification of many objects goes out in bounded
// batches, each built while Tracker writes the one before, so that neither
// memory nor the event loop waits on a large import.
//
// What Tracker confirmed is kept in the mirror's record (ids with the store's
// change stamps, and the store's identity); catchUp() sends what changed
// while the daemon was not running, and clears the mirror first when the
// store was made anew. A batch Tracker refuses is split until only the
// refused objects are left out.
class TrackerIndexer : public QObject
{
    Q_OBJECT
public:
    explicit TrackerIndexer(QObject *parent = nullptr);
    ~TrackerIndexer() override;

    // Whether the SPARQL connection could be opened; without it the indexer
    // must not be fed.
    bool isReady() const { return ready; }

    // The daemon's Tracker database: its folder,
    // "$XDG_DATA_HOME/postvane/tracker", and the session-bus name it is
    // published under for every Tracker client, "com.brenmor.Postvane.Tracker".
    static QString databasePath();
    static QString busName();
    // The ontology the database is made with, which every connection that
    // opens it must load too: the build tree's when the daemon runs from
    // there, else the installed one.
    static QString ontologyPath();

    static QUrl messageIri(const QMailMessageId &id);
    static QUrl folderIri(const QMailFolderId &id);
    static QUrl accountIri(const QMailAccountId &id);

    static QString messageDeleteStatement(const QMailMessageId &id);
    static QString contactStatement(const QMailAddress &address, const QString &predicate);
    static QString folderInsertStatement(const QMailFolder &folder);
    static QString accountInsertStatement(const QMailAccount &account);
    static QString folderDeleteStatement(const QMailFolderId &id);
    static QString accountDeleteStatement(const QMailAccountId &id);
    // The message INSERT followed by one INSERT per attachment part.
    static QString messageInsertStatement(const QMailMessage &message);
    // The same as statements of their own: the message's (with its parts),
    // then, for a message of many recipients, those of the rest of them.
    static QStringList messageStatements(const QMailMessage &message);
    static QString mimeTypeForContent(int content);
    // Where the mirror keeps its record, beside the Tracker database.
    static QString recordPath();

    // Sends what the mirror lacks: objects added or changed in the store
    // since Tracker confirmed them, and removals of what the store no longer
    // holds. Called once, after the store's signals are connected.
    void catchUp();

public Q_SLOTS:
    void addAccounts(const QMailAccountIdList &ids);
    void updateAccounts(const QMailAccountIdList &ids);
    void removeAccounts(const QMailAccountIdList &ids);
    void addFolders(const QMailFolderIdList &ids);
    void updateFolders(const QMailFolderIdList &ids);
    void removeFolders(const QMailFolderIdList &ids);
    void addMessages(const QMailMessageIdList &ids);
    void updateMessages(const QMailMessageIdList &ids);
    void removeMessages(const QMailMessageIdList &ids);
    void onQueryExecuted();

public:
    enum Change { Added, Updated, Removed };

private:
    // One object's statements in a batch, and what the record learns once
    // Tracker confirms them.
    struct Unit
    {
        QMailStore::ObjectKind kind;
        quint64 id;
        quint64 stamp;
        bool present; // false: the object is gone from the mirror after this
        QString text;
        bool recorded; // false: more of the object follows in the next batch
    };
    // The objects of one notification (or of the catch-up) not yet sent.
    struct Job
    {
        QMailStore::ObjectKind kind;
        Change change;
        QList<quint64> ids;
        int next = 0;
        bool catchingUp = false;
    };
    struct Batch
    {
        QList<Unit> units;
        // Set on the batch that empties the mirror for a store made anew.
        QString newStoreIdentity;
    };

    template<typename Id>
    void queueChange(QMailStore::ObjectKind kind, Change change, const QList<Id> &ids);
    void executeQuery(Job job);
    void startNextQuery();
    void sendNext();
    void prepareNext();
    void markUnconfirmed(const Batch &batch);
    void confirm(const Batch &done);
    bool buildNext(Batch *batch);
    static bool mayFollow(const Batch &first, const Batch &second);
    Batch buildBatch(Job &job);
    void send(const Batch &batch);
    void dropLeftover(QMailStore::ObjectKind kind, quint64 id);

    // The last version of each account that updateAccounts sent to Tracker.
    QMap<QMailAccountId, QMailAccount> accountCache;
    QSparqlConnection *connection;
    // Work not yet sent, oldest first; batches refused as a whole and split
    // go before it.
    std::deque<Job> queryQueue;
    std::deque<Batch> retries;
    std::deque<Unit> leftover;
    // Whether the leftover goes before the next job: they take turns, so
    // that mail behind a message of very many recipients is not held up.
    bool leftoverTurn = false;
    // The batches handed to Tracker, oldest first: the one it writes and at
    // most one queued behind it. The next one is built while they wait.
    std::deque<Batch> sent;
    Batch prepared;
    bool hasPrepared = false;
    MirrorRecord *record = nullptr;
    bool ready;
};

#endif // TRACKERINDEXER_H
