#ifndef SYNC_H
#define SYNC_H

#include <qmailfolder.h>
#include <qmailmessage.h>
#include <qmailserviceaction.h>
#include <qmailstore.h>

#include <QHash>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>

// What every backend does alike when it brings the store and an account's
// mail together: which remote copies enter the store, which store messages
// leave it, which remote copies are deleted and where moves go. Backends
// list folders and messages, fetch content and carry changes out; the
// decisions are made here, once.
//
// The rule the decisions keep: a remote copy is deleted only from the
// user's removal record (or Removed mark), never because the store lacks it;
// a store message leaves the store only when a complete, trustworthy listing
// of its folder lacks it.
namespace Sync {

// Status of a message imported from an account.
const quint64 ImportedStatus
    = QMailMessageMetaData::Incoming | QMailMessageMetaData::ContentAvailable;

// The standard role of a remote folder: its special-use attributes (IMAP
// \Sent, \Trash, \Drafts, \Junk) first, then its name as mail clients name
// folders; 0 for none. Where the account's outbox is a folder of the store
// only (IMAP), a remote folder named Outbox holds mail already on the server,
// never mail to send: `outboxOnServer` false gives it no role.
QMailFolder::StandardFolder roleOf(const QString &path,
                                   const QList<QByteArray> &attributes = QList<QByteArray>(),
                                   bool outboxOnServer = true);

// The framework code of a failed file operation and of a failed store
// operation (by its error text): a full disk is ErrFileSystemFull for both.
QMailServiceAction::Status::ErrorCode codeForErrno(int error);
QMailServiceAction::Status::ErrorCode codeForStore(const QString &reason);

// One folder as the store sees it, against one listing of its remote copies.
struct Folder
{
    QHash<QString, QMailMessageId> stored; // messages whose copy is here, by server uid
    QSet<QString> removedMarks; // of those, marked Removed by the user
    QSet<QString> records; // removal records of copies in this folder
    QSet<QString> movedAway; // copies here whose message the user moved elsewhere
};

// What to do after a listing.
struct Actions
{
    QStringList import; // remote copies to bring into the store, in listing order
    QMailMessageIdList drop; // store messages whose remote copy is gone
    QStringList purgeRecords; // removal records whose copy is gone already
};

// `complete`: the listing holds every copy of the folder and its uids are
// the ones the store holds (read whole; IMAP UIDVALIDITY unchanged).
Actions plan(const Folder &folder, const QStringList &listing, bool complete);

// The store's view of a folder: messages by server uid, their marks, the
// account's removal records and the origins of messages moved away from it.
Folder readStore(const QMailAccountId &accountId, const QMailFolderId &folderId);

// Where a move the user made in the store goes, seen from the account that
// holds the copy.
enum class Move {
    Home, // the message is back where its copy is: nothing to do
    WithinAccount, // the copy moves to the other folder of the account
    ToOtherAccount, // delivered into the other account first, then removed here
    LeaveAlone // to the outbox or a folder of the store only: the copy stays
};
Move moveOf(const QMailServerCopy &origin, const QMailFolder &destination,
            bool destinationHasCopies);

// One folder as a backend lists it: an IMAP mailbox, a Maildir folder.
struct RemoteFolder
{
    QString path;
    QChar separator; // between the levels of the path; null: a flat name
    QList<QByteArray> attributes; // IMAP LIST attributes: \Noselect, \Sent, ...
    QString displayName; // empty: the last level of the path
};

// A store folder of the account, and whether it holds mail the user still
// needs from the store: mail the remote side lacks or has not taken yet.
struct StoredFolder
{
    QMailFolder folder;
    bool holdsNeeded = false;
};

// What to do with the account's store folders after a folder listing.
struct FolderPlan
{
    struct Change
    {
        QMailFolder folder; // an invalid id: to add
        QString parentPath; // the parent, by path, when it is added too
    };
    QList<Change> store; // to add or update, parents before children
    QMailFolderIdList remove; // gone, and nothing in them is needed: they leave with their mail
    QMailFolderIdList keep; // gone, but holding needed mail: kept, marked Removed
    // The account's standard folders that change, by path (empty: none).
    QMap<QMailFolder::StandardFolder, QString> roles;
    bool makeOutbox = false; // the account has no outbox: a folder of the store becomes it
};

// `complete`: the listing succeeded and names every folder. Only a complete,
// non-empty listing takes folders away, and never one that holds needed mail
// (nor its parents, which would take it along): that one stays, marked
// Removed, until the user deletes it or it comes back and is matched again
// by its path. A role comes from special-use attributes before names; the
// account keeps the folder it has for a role while that one still fits best.
FolderPlan planFolders(const QList<RemoteFolder> &listing, bool complete,
                       const QList<StoredFolder> &stored,
                       const QMap<QMailFolder::StandardFolder, QMailFolderId> &roles,
                       bool outboxOnServer);

// Whether a message of a folder that vanished from its listing is still
// needed: its change not yet exported, as only the backend can tell.
using Unexported = std::function<bool(const QMailMessageMetaData &)>;

// Reads the account's folders, plans against the listing and carries the
// plan out in one store transaction. The ids of the folders that left the
// store go to *removed. A message without a server copy (drafts not
// uploaded, queued or local mail), in the outbox, moved there by the user or
// `unexported` is needed.
QMailServiceAction::Status syncFolders(const QMailAccountId &accountId,
                                       const QList<RemoteFolder> &listing, bool complete,
                                       bool outboxOnServer, const Unexported &unexported,
                                       QMailFolderIdList *removed);

} // namespace Sync

#endif // SYNC_H
