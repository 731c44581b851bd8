#ifndef QMAILSTORE_P_H
#define QMAILSTORE_P_H

// The store's private part, shared by the files that implement it:
//   qmailstore.cpp            the public class: argument checks, one write per operation
//   qmailstoreschema.cpp      opening the database: schema, versions and upgrades, checks
//   qmailstoresql.cpp         query keys and sort keys compiled into SQL
//   qmailstoretransaction.cpp transactions, savepoints and the changes they collect
//   qmailstorebroadcast.cpp   change signals to this process and over D-Bus to the others
//   qmailstorecontent.cpp     content files: staged during a transaction, kept at commit
//   qmailstorereading.cpp     loading accounts, folders and messages
//   qmailstorewriting.cpp     adding, updating and removing them

#include "qmailstore.h"

#include <QDBusMessage>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStringList>
#include <QVariantList>

#include <functional>

class QMailStoreBroadcaster;

// What a key or a sort key talks about: its Property enum is that class's own.
enum QMailStoreKeyKind { AccountKind, FolderKind, MessageKind };

// The kinds of change in the order in which one operation announces them:
// additions before updates before removals; accounts before folders before
// messages when added, the other way round when removed.
enum QMailStoreChangeKind {
    AccountsAdded,
    FoldersAdded,
    MessagesAdded,
    AccountsUpdated,
    FoldersUpdated,
    MessagesUpdated,
    MessagesRemoved,
    FoldersRemoved,
    AccountsRemoved,
    ChangeKindCount
};

// The changes of the running transaction: what to announce after the commit,
// which content files to keep at the commit and which to delete after it.
class QMailStoreChanges
{
public:
    template<typename Id> void record(QMailStoreChangeKind kind, const Id &id)
    {
        m_ids[kind].append(id.toULongLong());
    }
    void record(QMailStoreChangeKind kind, const QList<quint64> &ids) { m_ids[kind] += ids; }
    void forget(QMailStoreChangeKind kind, const QList<quint64> &ids);
    // Each id once, in first-seen order.
    QList<quint64> distinct(QMailStoreChangeKind kind) const;

    // A content file written under `staged`, to be renamed to `final` once
    // the rows that name it are committed.
    void stage(const QString &staged, const QString &final);
    void obsolete(const QString &file) { m_obsoleteFiles.append(file); }
    const QList<QPair<QString, QString>> &stagedFiles() const { return m_staged; }
    const QStringList &obsoleteFiles() const { return m_obsoleteFiles; }
    QString stagedPath(const QString &final) const;

    // A point to return to when one operation inside a longer transaction
    // fails: what was recorded after it is dropped, its staged files deleted.
    struct Mark
    {
        int sizes[ChangeKindCount + 2];
    };
    Mark mark() const;
    void restore(const Mark &mark);
    // Drops everything, deleting the staged files.
    void discard();

private:
    QList<quint64> m_ids[ChangeKindCount];
    QList<QPair<QString, QString>> m_staged;
    QStringList m_obsoleteFiles;
};

class QMailStorePrivate : public QObject
{
    Q_OBJECT
public:
    explicit QMailStorePrivate(QMailStore *store);
    ~QMailStorePrivate() override;

    // Schema (qmailstoreschema.cpp)
    bool open();
    bool createOrUpgrade(QSqlQuery &query);
    bool checkIntegrity();

    // Errors
    void setError(QMailStore::ErrorCode code, const QString &text) const;
    void clearError() const;
    bool checkReady() const;
    // Every failed statement is an error; a damaged database says so, with
    // the file and SQLite's reason.
    bool sqlFailed(const QSqlQuery &query, const QString &what) const;
    QString damaged(const QString &reason) const;

    QSqlQuery &prepared(const QString &sql) const;
    bool exec(const QString &sql, const QVariantList &values = QVariantList()) const;
    // Like exec, for a statement of fixed text that runs for every message of
    // a bulk import: parsed once, then kept.
    bool execKept(const QString &sql, const QVariantList &values = QVariantList()) const;

    // Transactions (qmailstoretransaction.cpp). write() runs one store
    // operation: in its own transaction, or inside the caller's transaction
    // under a savepoint so that a failing operation leaves no trace there
    // either.
    bool write(const std::function<bool()> &operation);
    bool begin();
    bool commit();
    void rollback();

    // Reading (qmailstorereading.cpp)
    QList<quint64> selectIds(QMailStoreKeyKind kind, const QMailKeyNode &key,
                             const QMailSortList &sort, uint limit, uint offset) const;
    // Runs a query that selects ids (written into its text, never values
    // from outside) and appends them to `ids`.
    bool selectIds(const QString &sql, QList<quint64> *ids, const QString &what) const;
    int count(QMailStoreKeyKind kind, const QMailKeyNode &key) const;
    bool exists(const QString &table, quint64 id) const;
    // An update needs the row it changes: InvalidId ("No folder 7 to
    // update") when there is none.
    bool checkUpdatable(const QString &table, quint64 id, const char *what) const;
    QMailAccount loadAccount(const QMailAccountId &id) const;
    QMailFolder loadFolder(const QMailFolderId &id) const;
    QMailMessageMetaData loadMetaData(const QString &where, const QVariantList &values) const;
    QList<QMailMessageMetaData> loadMetaData(const QMailKeyNode &key) const;
    // Without bodies: the part headers only (see QMailStore::messageHeaders).
    QMailMessage loadMessage(const QMailMessageId &id, bool bodies = true) const;

    // Writing, inside a transaction (qmailstorewriting.cpp)
    bool writeRow(const QString &table, const char *columns, QVariantList values, quint64 *id,
                  bool add, const QString &what);
    bool saveAccount(QMailAccount *account, bool add);
    bool saveFolder(QMailFolder *folder, bool add);
    bool saveMessage(QMailMessageMetaData *metaData, QMailMessage *message, bool add);
    bool saveStandardFolders(const QMailAccount &account);
    bool checkFolderParents(const QMailFolder &folder);
    bool checkMessageParents(QMailMessageMetaData *metaData, bool add);
    // Removes what the key selects, with everything that belongs to it, in
    // one operation.
    bool removeSelected(QMailStoreKeyKind kind, const QMailKeyNode &key, bool record = false);
    bool deleteMessages(const QList<quint64> &ids, bool record = false);
    QList<QMailServerCopy> serverCopies(const QString &sql, const QMailAccountId &accountId) const;
    // Runs `sql` with account, folder and server uid of each copy, in one
    // transaction.
    bool forEachCopy(const QString &sql, const QList<QMailServerCopy> &copies);
    bool deleteFolders(const QList<quint64> &ids);
    bool deleteAccounts(const QList<quint64> &ids);
    // Sets status flags or the folder of what the key selects.
    bool updateSelected(const QMailKeyNode &key, const QString &assignments,
                        const QVariantList &values);

    // Content files (qmailstorecontent.cpp)
    bool storeContent(QMailMessage *message);
    // The source's bytes, as they are read, become the message's content
    // file; the size is the bytes read. `name` names the source in errors.
    bool storeContent(QMailMessageMetaData *metaData, QIODevice *source, const QString &name);
    bool nameContentFile(quint64 id, QString *staged, QString *path);
    int createContentFile(quint64 id, QString *path);
    bool linkContent(QMailMessageMetaData *metaData, int fd);
    bool closeContentFile(int fd, bool written, const QString &path);
    // The metadata a message's header gives (subject, addresses, date, kind,
    // attachments one level down), read from the source's head and its
    // parts' headers only; the source is then back at its start. Without a
    // source, from the bytes of a file read whole.
    bool readHeader(QMailMessageMetaData *metaData, QIODevice *source,
                    const QByteArray &bytes = QByteArray());
    // A file of ordinary size, read whole from the descriptor's start; false
    // (nothing read or the descriptor moved) for a large file or one that grew
    // or failed meanwhile.
    bool readWhole(int fd, qint64 size, QByteArray *bytes);
    // The bytes become the message's content file.
    bool storeContent(QMailMessageMetaData *metaData, const QByteArray &bytes);
    bool addMessageFromFile(QMailMessageMetaData *metaData, const QString &path);
    bool addMessageFromData(QMailMessageMetaData *metaData, const QByteArray &rfc2822);
    // Adds `copy` (its size set) as a new message whose content `content`
    // then stores; on success the caller's metadata becomes the copy.
    bool addMessageRow(QMailMessageMetaData *metaData, QMailMessageMetaData *copy,
                       const std::function<bool()> &content);
    void loadContent(QMailMessage *message, bool bodies = true) const;
    // Before the commit: the staged files get their final names too (links,
    // so that a crash before the commit leaves the staged name to decide by).
    bool linkStagedContent();
    void unlinkPlacedContent();
    // After the commit: drops the staged names and what the commit made obsolete.
    void keepContent(const QMailStoreChanges &changes);
    // Finishes the staged files of processes that died: kept when their rows
    // were committed, deleted when not.
    void collectStagedFiles();
    QString contentPath(const QString &identifier) const;
    bool isOwnContent(const QMailMessageMetaData &metaData) const;

    // Announcing changes (qmailstorebroadcast.cpp)
    void connectBus();
    void announce(const QMailStoreChanges &changes);
    void emitChange(QMailStoreChangeKind kind, const QList<quint64> &ids);
    void flush();

public Q_SLOTS:
    void onRemoteChange(const QDBusMessage &message);

public:
    QMailStore *q;
    QString directory;
    QString databaseFile;
    QString contentDirectory;
    QString stagingDirectory;
    QString connectionName;
    QSqlDatabase db;
    QMailStore::InitializationState state = QMailStore::Uninitialized;

    mutable QMailStore::ErrorCode error = QMailStore::NoError;
    mutable QString errorText;
    mutable QHash<QString, QSqlQuery *> statements;
    // Per table and shape (0 insert, 1 insert with id, 2 update): writeRow's text.
    QHash<QPair<QString, int>, QString> rowStatements;

    bool userTransaction = false;
    QMailStoreChanges pending;
    quint32 fileCounter = 0;
    QSet<QString> knownFolders;

    QMailStoreBroadcaster *broadcaster = nullptr;
    bool unflushed = false;
};

// SQL of keys and sort keys (qmailstoresql.cpp)
namespace QMailStoreSql {
QString table(QMailStoreKeyKind kind);
// A condition for WHERE; values to bind go to `values` in order.
QString condition(QMailStoreKeyKind kind, const QMailKeyNode &key, QVariantList *values);
// ORDER BY terms, ending with the id so that the order is always complete.
QString orderBy(QMailStoreKeyKind kind, const QMailSortList &sort);
// The values of a message's row, in the order of the messages table.
QVariantList messageRow(const QMailMessageMetaData &metaData);
// "(1,2,3)": ids are numbers and written into the statement itself.
QString idList(const QList<quint64> &ids);
// QtSql binds a null QString as NULL; the text columns hold empty text instead.
QVariant text(const QString &value);
} // namespace QMailStoreSql

template<typename Id> QList<Id> qmfToIds(const QList<quint64> &values)
{
    QList<Id> ids;
    ids.reserve(values.size());
    for (quint64 value : values)
        ids.append(Id(value));
    return ids;
}

#endif // QMAILSTORE_P_H
