#ifndef QMAILSTORE_P_H
#define QMAILSTORE_P_H

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

// The changes of the running transaction: what to announce after the commit,
// which content files to delete after it and which to delete if it fails.
struct QMailStoreChanges
{
    QMailAccountIdList accountsAdded, accountsUpdated, accountsRemoved;
    QMailFolderIdList foldersAdded, foldersUpdated, foldersRemoved;
    QMailMessageIdList messagesAdded, messagesUpdated, messagesRemoved;
    QStringList createdFiles;
    QStringList obsoleteFiles;

    bool isEmpty() const;
};

class QMailStorePrivate : public QObject
{
    Q_OBJECT
public:
    explicit QMailStorePrivate(QMailStore *store);
    ~QMailStorePrivate() override;

    bool open();

    // Runs one store operation: in its own transaction, or inside the
    // caller's transaction under a savepoint so that a failing operation
    // leaves no trace there either.
    bool write(const std::function<bool()> &operation);
    bool begin();
    bool commit();
    void rollback();

    void setError(QMailStore::ErrorCode code, const QString &text) const;
    void clearError() const;
    bool checkReady() const;
    bool sqlFailed(const QSqlQuery &query, const QString &what) const;

    QSqlQuery &prepared(const QString &sql) const;
    bool exec(const QString &sql, const QVariantList &values = QVariantList()) const;

    // Reading
    QList<quint64> selectIds(const QString &table, const QMailKeyNode &key,
                             const QMailSortList &sort, uint limit, uint offset, int kind) const;
    // Runs a query that selects ids (written into its text, never values
    // from outside) and appends them to `ids`.
    bool selectIds(const QString &sql, QList<quint64> *ids, const QString &what) const;
    int count(const QString &table, const QMailKeyNode &key, int kind) const;
    bool exists(const QString &table, quint64 id) const;
    // An update needs the row it changes: InvalidId ("No folder 7 to
    // update") when there is none.
    bool checkUpdatable(const QString &table, quint64 id, const char *what) const;
    QMailAccount loadAccount(const QMailAccountId &id) const;
    QMailFolder loadFolder(const QMailFolderId &id) const;
    QMailMessageMetaData loadMetaData(const QString &where, const QVariantList &values) const;
    QMailMessage loadMessage(const QMailMessageId &id) const;

    // Writing, inside a transaction
    bool insertAccount(QMailAccount *account);
    bool saveStandardFolders(const QMailAccount &account);
    bool checkFolderParents(const QMailFolder &folder);
    bool insertMessage(QMailMessageMetaData *metaData, QMailMessage *message);
    bool saveMessage(QMailMessageMetaData *metaData, QMailMessage *message);
    bool storeContent(QMailMessage *message);
    // Removes what the key selects, with everything that belongs to it, in
    // one operation.
    bool removeSelected(const QString &table, const QMailKeyNode &key, int kind,
                        bool (QMailStorePrivate::*remove)(const QList<quint64> &));
    bool deleteMessages(const QList<quint64> &ids);
    bool deleteFolders(const QList<quint64> &ids);
    bool deleteAccounts(const QList<quint64> &ids);
    QString contentPath(const QString &identifier) const;
    bool isOwnContent(const QMailMessageMetaData &metaData) const;

    // The kinds of change in the order in which one operation announces
    // them: additions before updates before removals; accounts before
    // folders before messages when added, the other way round when removed.
    enum ChangeKind {
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

    void announce(const QMailStoreChanges &changes);
    void emitChange(ChangeKind kind, const QList<quint64> &ids);
    void flush();

public Q_SLOTS:
    void onRemoteChange(const QDBusMessage &message);

public:
    QMailStore *q;
    QString directory;
    QString databaseFile;
    QString contentDirectory;
    QString connectionName;
    QSqlDatabase db;
    QMailStore::InitializationState state = QMailStore::Uninitialized;

    mutable QMailStore::ErrorCode error = QMailStore::NoError;
    mutable QString errorText;
    mutable QHash<QString, QSqlQuery *> statements;

    bool userTransaction = false;
    QMailStoreChanges pending;
    quint32 fileCounter = 0;
    QSet<QString> knownFolders;

    bool busConnected = false;
    bool unflushed = false;
};

#endif // QMAILSTORE_P_H
