#ifndef QMAILSTORE_H
#define QMAILSTORE_H

#include "qmailaccount.h"
#include "qmailaccountkey.h"
#include "qmailfolder.h"
#include "qmailfolderkey.h"
#include "qmailfoldersortkey.h"
#include "qmailid.h"
#include "qmailmessage.h"
#include "qmailmessagekey.h"
#include "qmailmessagesortkey.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QString>

class QMailStorePrivate;

// A copy of a message on an account's server (a Maildir file, an IMAP
// message): what a removal record names, and where a moved message came from.
struct QMailServerCopy
{
    QMailMessageId messageId; // the moved message; invalid in a removal record
    QMailAccountId accountId;
    QMailFolderId folderId;
    QString serverUid;
};

// The mail store: accounts, folders and messages in one SQLite database under
// $QMF_DATA (default ~/.qmf), shared by every process of the mail system.
//
// Each operation is one transaction and, when it changed something, emits one
// signal per kind of change with every id concerned. Other processes that have
// the store open receive the same signals over the D-Bus session bus; without
// a bus a process still receives the signals of its own changes.
class QMailStore : public QObject
{
    Q_OBJECT
public:
    enum InitializationState { Uninitialized, InitializationFailed, Initialized };

    enum ErrorCode {
        NoError = 0,
        InvalidId,
        ConstraintFailure,
        ContentInaccessible,
        NotYetImplemented,
        ContentNotRemoved,
        FrameworkFault,
        StorageInaccessible,
        // A file offered as a message is not one: not a regular file, empty,
        // binary, or too large. Nothing was added.
        ContentRefused
    };

    // The process's store, opened on first use.
    static QMailStore *instance();
    static InitializationState initializationState();

    ~QMailStore() override;

    ErrorCode lastError() const;
    // One line naming what failed and why; empty after a success.
    QString lastErrorText() const;

    // The store's folder and its database file.
    QString storagePath() const;
    QString databasePath() const;

    // Accounts. An account that already carries a valid id is created with
    // that id; the id must not be in use.
    bool addAccount(QMailAccount *account);
    bool updateAccount(QMailAccount *account);
    // Removing an account removes its folders and messages as well.
    bool removeAccount(const QMailAccountId &id);
    bool removeAccounts(const QMailAccountKey &key);

    // Folders. A parent folder or account named must exist.
    bool addFolder(QMailFolder *folder);
    bool updateFolder(QMailFolder *folder);
    // Removing a folder removes its sub-folders and the messages in them.
    bool removeFolder(const QMailFolderId &id);
    bool removeFolders(const QMailFolderKey &key);

    // Messages. A message carrying RFC 822 text gets a content file; its
    // contentScheme() and contentIdentifier() are set to name it.
    bool addMessage(QMailMessage *message);
    bool addMessage(QMailMessageMetaData *metaData);
    bool addMessages(const QList<QMailMessage *> &messages);
    bool addMessages(const QList<QMailMessageMetaData *> &messages);
    // A message from a mail file (a Maildir message, a file of RFC 822 text),
    // copied into its content file as it is read, never held whole in memory.
    // The metadata is taken from the header (see messageHeaders()), the size
    // from the file, the received date (when not set) from its modification
    // time. Refused with ContentRefused, the reason in lastErrorText(), and the
    // file left alone: a link (never followed), FIFO, device or socket, an
    // empty file, one that does not start with a header field, one larger
    // than QMailMessageFile::MaximumSize (qmailmaildir.h).
    bool addMessageFromFile(QMailMessageMetaData *metaData, const QString &path);
    // A message from RFC 822 text in memory (as a server sent it), whose bytes
    // become its content file unchanged; the metadata as addMessageFromFile
    // takes it, the received date left as it is. Any text is kept, up to
    // QMailMessageFile::MaximumSize.
    bool addMessageFromData(QMailMessageMetaData *metaData, const QByteArray &rfc2822);
    bool updateMessage(QMailMessage *message);
    bool updateMessage(QMailMessageMetaData *metaData);
    bool updateMessages(const QList<QMailMessage *> &messages);
    bool updateMessages(const QList<QMailMessageMetaData *> &messages);
    // Sets or clears status flags of every message the key selects.
    bool updateMessagesMetaData(const QMailMessageKey &key, quint64 status, bool set);
    // Moves every message the key selects into the folder (and its account).
    bool moveMessages(const QMailMessageKey &key, const QMailFolderId &folderId);
    // The user's removal takes the messages out of the store at once and,
    // with CreateRemovalRecord, records where their server copies are (where
    // a moved message came from), until the message server has deleted them
    // there. Without a record, the server copy is left alone.
    enum MessageRemovalOption { NoRemovalRecord, CreateRemovalRecord };
    bool removeMessage(const QMailMessageId &id, MessageRemovalOption option = NoRemovalRecord);
    bool removeMessages(const QMailMessageKey &key, MessageRemovalOption option = NoRemovalRecord);
    QList<QMailServerCopy> messageRemovalRecords(const QMailAccountId &accountId) const;
    // Records copies to delete that no store message stands for any more
    // (a copy carried into another account); the message ids are ignored.
    bool addMessageRemovalRecords(const QList<QMailServerCopy> &records);
    // Drops the records of the given copies (once deleted, or found gone).
    bool purgeMessageRemovalRecords(const QList<QMailServerCopy> &records);
    // Messages moved since their server copy was placed, by the account that
    // holds that copy (all accounts: an invalid id): the copy is still where
    // the origin says.
    QList<QMailServerCopy> messageOrigins(const QMailAccountId &accountId) const;
    // The moves are carried out (or the message is back): the message's own
    // place is where its copy is.
    bool clearMessageOrigins(const QMailMessageIdList &ids);

    // Groups the operations that follow into one transaction: their change
    // signals are held back and emitted once per kind at commitTransaction();
    // rollbackTransaction() undoes them, content files included. Transactions
    // do not nest.
    bool startTransaction();
    bool commitTransaction();
    void rollbackTransaction();
    bool inTransaction() const;

    int countAccounts(const QMailAccountKey &key = QMailAccountKey()) const;
    int countFolders(const QMailFolderKey &key = QMailFolderKey()) const;
    int countMessages(const QMailMessageKey &key = QMailMessageKey()) const;

    // limit 0: no limit.
    QMailAccountIdList queryAccounts(const QMailAccountKey &key = QMailAccountKey(),
                                     const QMailAccountSortKey &sortKey = QMailAccountSortKey(),
                                     uint limit = 0) const;
    QMailFolderIdList queryFolders(const QMailFolderKey &key = QMailFolderKey(),
                                   const QMailFolderSortKey &sortKey = QMailFolderSortKey(),
                                   uint limit = 0) const;
    QMailMessageIdList queryMessages(const QMailMessageKey &key = QMailMessageKey(),
                                     const QMailMessageSortKey &sortKey = QMailMessageSortKey(),
                                     uint limit = 0, uint offset = 0) const;

    // Ids the store does not hold give objects whose own id is invalid.
    QMailAccount account(const QMailAccountId &id) const;
    QMailFolder folder(const QMailFolderId &id) const;
    QMailMessage message(const QMailMessageId &id) const;
    QMailMessageMetaData messageMetaData(const QMailMessageId &id) const;
    QMailMessageMetaData messageMetaData(const QString &serverUid,
                                         const QMailAccountId &accountId) const;
    // The metadata of every message the key selects, in one query, by id;
    // none when the store cannot be read.
    QList<QMailMessageMetaData> messagesMetaData(const QMailMessageKey &key) const;

    // The message as message() loads it, but its content file is read as a
    // stream and only the header fields of its parts are kept (and of the
    // message, only Content-Type): what a large body holds costs no memory.
    QMailMessage messageHeaders(const QMailMessageId &id) const;
    // messageHeaders() of each message of the ids the store holds, by id, the
    // metadata of all read in one query; none when the store cannot be read.
    QList<QMailMessage> messagesHeaders(const QMailMessageIdList &ids) const;

    // A text made when the store's database was created: a store made anew,
    // whose ids start again, has another one.
    QString identity() const;
    enum ObjectKind { Accounts, Folders, Messages };
    // The change stamp of each object of a kind (of the ids given, or of all
    // when none are): a number that changes, upwards, whenever the object is
    // added or changed by any process.
    QHash<quint64, quint64> changeStamps(ObjectKind kind,
                                         const QList<quint64> &ids = QList<quint64>()) const;

    // Waits until the change signals sent to other processes have left this
    // one; call before exiting right after a change.
    void flushIpcNotifications();

Q_SIGNALS:
    void accountsAdded(const QMailAccountIdList &ids);
    void accountsUpdated(const QMailAccountIdList &ids);
    void accountsRemoved(const QMailAccountIdList &ids);
    void foldersAdded(const QMailFolderIdList &ids);
    void foldersUpdated(const QMailFolderIdList &ids);
    void foldersRemoved(const QMailFolderIdList &ids);
    void messagesAdded(const QMailMessageIdList &ids);
    void messagesUpdated(const QMailMessageIdList &ids);
    void messagesRemoved(const QMailMessageIdList &ids);

private:
    QMailStore();
    QMailStorePrivate *d;

    friend class QMailStorePrivate;
};

#endif // QMAILSTORE_H
