#ifndef TRACKERINDEXER_H
#define TRACKERINDEXER_H

#include <qmailaccount.h>
#include <qmailaddress.h>
#include <qmailfolder.h>
#include <qmailid.h>
#include <qmailmessage.h>

#include <QMap>
#include <QObject>
#include <QStringList>
#include <QUrl>

class QSparqlConnection;

// The Tracker mirror: turns each mail-store notification into one batch of
// SPARQL Update text and sends the batches to Tracker one at a time, in the
// order they were queued. Nothing is read back.
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
    static QString mimeTypeForContent(int content);

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

private:
    void executeQuery(const QString &query);
    void startNextQuery();

    // The last version of each account that updateAccounts sent to Tracker.
    QMap<QMailAccountId, QMailAccount> accountCache;
    QSparqlConnection *connection;
    // Pending batches, oldest first; the one in flight stays at the head.
    QStringList queryQueue;
    bool ready;
};

#endif // TRACKERINDEXER_H
