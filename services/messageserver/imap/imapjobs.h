#ifndef IMAPJOBS_H
#define IMAPJOBS_H

#include "imap/imapconnection.h"
#include "imap/rawfetchjob.h"
#include "server/servicejob.h"
#include "sync/sync.h"

#include <qmailfolder.h>
#include <qmailmessage.h>
#include <qmailstore.h>

#include <QHash>
#include <QMap>
#include <QSet>
#include <QVector>

#include <KIMAP/FetchJob>

#include <functional>

class SmtpSender;

// Flags of a message as the store and the server share them.
enum ImapFlag : quint8 { SeenFlag = 1, FlaggedFlag = 2, AnsweredFlag = 4 };

// What the server and the store last agreed on for each folder of an IMAP
// account: the folder's UIDVALIDITY, the highest UID seen, and for each
// message the store holds its UID and flags. A UID agreed on but gone from
// the store was deleted here (export updates deletes it on the server, and
// a message list does not bring it back); flags that differ from the agreed
// ones changed on the side that differs. Kept beside the store, one file per
// account.
class ImapState
{
public:
    struct Folder
    {
        qint64 uidValidity = 0;
        qint64 lastSeen = 0;
        QHash<qint64, quint8> known;
        // The server's HIGHESTMODSEQ and message count when the folder was
        // last looked at whole (0 and -1: never, or the server keeps none),
        // and the days limit that look honoured (0: none).
        quint64 modSeq = 0;
        qint64 count = -1;
        qint32 days = 0;
        // The server's UIDNEXT at that look (0: unknown, as in files of
        // earlier layouts).
        qint64 uidNext = 0;
    };
    explicit ImapState(const QMailAccountId &accountId);
    Folder &folder(const QMailFolderId &id) { return mFolders[id.toULongLong()]; }
    bool contains(const QMailFolderId &id) const { return mFolders.contains(id.toULongLong()); }
    void remove(const QMailFolderId &id) { mFolders.remove(id.toULongLong()); }
    bool save() const;

private:
    QString mFile;
    QHash<quint64, Folder> mFolders;
};

// Base of the IMAP jobs: an ImapConnection opened on demand, whose failure
// ends the job with its code; a cancel request closes it and ends the job.
class ImapJob : public ServiceJob
{
    Q_OBJECT
public:
    ImapJob(QMailServerRequestType requestType, const QMailAccountId &accountId,
            const AccountConfig &config, QObject *parent = nullptr);

    // The IMAP server refused this login before: a job that gets as far as
    // needing it fails at once instead of trying again.
    void refuseImap(const QString &why) { mImapRefused = why; }
    // Whether the job ended because the SMTP server (not IMAP) failed it.
    bool failedInSmtp() const { return mFailedInSmtp; }

protected:
    bool isSliced() const override { return true; }
    void cancelRequested() override;
    // Connects and logs in, then calls `then`.
    void openImap(const std::function<void()> &then);
    void run(KJob *job, const std::function<void()> &next) { mImap->run(job, next); }
    void finishOk();
    void failFromStore(const QString &what, const QMailFolderId &folderId = QMailFolderId());
    // The store's messages of a folder by server UID.
    QHash<qint64, QMailMessageMetaData> storedMessages(const QMailFolderId &folderId) const;

    AccountConfig mConfig;
    ImapConnection *mImap = nullptr;
    ImapState mState;
    QString mImapRefused;
    bool mFailedInSmtp = false;
};

// LIST: the server's mailboxes become the account's store folders; special-use
// attributes (or well-known names) give the Sent, Trash, Drafts and Junk
// roles, INBOX the inbox. The outbox is a folder of the store only.
class ImapFolderListJob : public ImapJob
{
    Q_OBJECT
public:
    using ImapJob::ImapJob;

protected:
    void doStart() override;

private:
    void storeFolders();
    QList<Sync::RemoteFolder> mMailboxes;
};

// Per folder: EXAMINE. Since the last complete look, the same UIDVALIDITY,
// UIDNEXT and message count mean that no message came and none was
// expunged: with the same HIGHESTMODSEQ nothing is left to do, with a higher
// one only the flags changed since are asked for (CONDSTORE) and taken in.
// Otherwise a changed UIDVALIDITY drops what the store holds of
// it as agreed (a message with changes not yet exported stays, and takes the
// number its copy comes with again, by Message-ID); UID FETCH of all flags
// updates known messages and removes expunged ones; then every message the
// store lacks (with a days limit, only those the server received within it)
// is fetched whole, newest first so that the first screenful comes first, in
// batches each stored in one transaction. The minimum asked for is met by
// fetching everything.
class ImapMessageListJob : public ImapJob
{
    Q_OBJECT
public:
    ImapMessageListJob(const QMailAccountId &accountId, const AccountConfig &config,
                       const QMailFolderIdList &folderIds, QObject *parent = nullptr);

protected:
    void doStart() override;

private:
    void nextFolder();
    void listWhole(qint64 uidValidity);
    void listChanges(quint64 since, qint64 uidValidity);
    void limitToDays(qint64 uidValidity);
    void reconcile(qint64 uidValidity);
    void fetchBatch();
    // Takes a fetched message; false once the job has ended.
    bool arrived(const RawFetchJob::Message &message);
    bool storeBatch();

    QMailFolderIdList mFolderIds;
    int mIndex = 0;
    QMap<qint64, quint8> mServer; // UID -> flags, of the current folder
    QVector<qint64> mPending; // UIDs still to fetch, newest first
    QSet<qint64> mWithinDays; // with a days limit: the UIDs received within it
    quint64 mModSeq = 0; // of the current folder, taken over once it is done
    qint64 mCount = 0;
    qint64 mUidNext = 0;
    qint64 mListed = 0; // messages the flags listing of the current folder named
    struct Arrived
    {
        qint64 uid;
        quint8 flags;
        QByteArray content;
        QDateTime received;
    };
    QVector<Arrived> mArrived; // fetched, not yet stored
    qint64 mArrivedBytes = 0;
    qint64 mFetchedBytes = 0; // of all fetched so far, for the size of a command
    qint64 mFetchedCount = 0;
    uint mDone = 0;
    uint mTotal = 0;
};

// Moves the user made in the store are carried out first: within the
// account with UID MOVE (COPY and \Deleted where the server has no MOVE);
// into another account the copy is delivered there (APPEND, or a Maildir
// file) before the one here is deleted; into the outbox or a folder of the
// store only the copy stays. Then \Seen, \Flagged and \Answered changed in
// the store go to the server with UID STORE; messages deleted in the store
// are flagged \Deleted there and expunged, unless another client has
// flagged other messages of the folder too: EXPUNGE would take those as well.
// Last, messages the user moved here out of a Maildir account (which has no
// connection to carry that out) are APPENDed and their files removed.
class ImapExportJob : public ImapJob
{
    Q_OBJECT
public:
    using ImapJob::ImapJob;
    // The settings of another account, for moves into it.
    static void
    setConfigResolver(const std::function<AccountConfig(const QMailAccountId &)> &resolver)
    {
        sConfigOf = resolver;
    }

protected:
    void doStart() override;

private:
    struct Move
    {
        QMailServerCopy origin;
        QMailFolder destination;
        bool withinAccount = false;
        AccountConfig target; // of the other account
        QString directory; // its Maildir folder; empty for an IMAP account
        QString source; // into this account: the Maildir file that holds the copy
    };
    void planMoves();
    void nextMove();
    void selectOrigin(const QMailFolderId &folderId);
    void deliver(const Move &move);
    void removeSource(const Move &move, const std::function<void()> &then);
    // Records the copy's new place (empty: unknown) and goes on.
    void moved(const Move &move, const QString &placed);
    void expungeOnly(const QSet<qint64> &ours, const std::function<void()> &then);
    void planArrivals(const QMailFolderId &outbox);
    void nextArrival();
    void arrived(const Move &move, qint64 uid, quint8 flags);
    void nextFolder();
    void nextStep();
    QMailFolderIdList mFolders;
    int mIndex = 0;
    // The commands of the current folder, sent one after another.
    QList<std::function<KJob *()>> mSteps;
    std::function<void()> mFinishFolder;
    int mStep = 0;
    QList<Move> mMoves;
    QList<Move> mArrivals; // from Maildir accounts into this one
    QMailFolderId mSelected; // the origin folder selected for moves
    QHash<qint64, quint8> mPresent; // its copies still there, with their flags
    QSet<qint64> mFlagged; // its copies flagged \Deleted by the moves
    ImapConnection *mTarget = nullptr; // a session of the other account
    QMailAccountId mTargetAccount;
    static std::function<AccountConfig(const QMailAccountId &)> sConfigOf;
};

// The outbox goes out over SMTP; each sent message is APPENDed to the
// server's Sent folder (created when there is none) and moves to the
// store's Sent folder with the UID the server gave it.
class ImapTransmitJob : public ImapJob
{
    Q_OBJECT
public:
    using ImapJob::ImapJob;

protected:
    void doStart() override;
    void cancelRequested() override;

private:
    void sendNext();
    void appendNext();
    QMailFolderId sentFolder();

    QMailMessageIdList mQueued;
    QMailMessageIdList mSent;
    SmtpSender *mSmtp = nullptr;
    QString mSentPath;
};

#endif // IMAPJOBS_H
