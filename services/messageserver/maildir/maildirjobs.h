#ifndef MAILDIRJOBS_H
#define MAILDIRJOBS_H

#include "maildir/maildir.h"
#include "server/servicejob.h"
#include "sync/sync.h"

#include <qmailfolder.h>
#include <qmailstore.h>

#include <QHash>
#include <QSet>
#include <QStringList>

#include <functional>

// Base of the Maildir jobs: the account's root and its checks.
class MaildirJob : public ServiceJob
{
    Q_OBJECT
public:
    MaildirJob(QMailServerRequestType requestType, const QMailAccountId &accountId,
               const QString &root, QObject *parent = nullptr);

protected:
    // False (and the job failed with ErrConfiguration) when the root is not a
    // readable Maildir.
    bool checkRoot();
    // The Maildir folder of a store folder of this account; empty when it has none.
    QString directoryOf(const QMailFolder &folder) const;
    void failFromStore(const QString &what, const QMailFolderId &folderId = QMailFolderId());

    QString mRoot;
};

// The Maildir's folders become the account's store folders.
class FolderListJob : public MaildirJob
{
    Q_OBJECT
public:
    using MaildirJob::MaildirJob;
    // The root and its dot-folders; not `complete` when a folder cannot be looked into.
    static QList<Sync::RemoteFolder> listing(const QString &root, bool *complete);

protected:
    void doStart() override;
};

// Messages of the folders the store lacks enter it, newest first, a store
// transaction per 500; messages gone from a folder read whole leave it,
// and flags another client changed in the files (a message read elsewhere)
// reach the store. Works in slices so that a cancel request is heard
// between them.
class MessageListJob : public MaildirJob
{
    Q_OBJECT
public:
    MessageListJob(const QMailAccountId &accountId, const QString &root,
                   const QMailFolderIdList &folderIds, QObject *parent = nullptr);
    ~MessageListJob() override;

protected:
    void doStart() override;
    bool isSliced() const override { return true; }

private:
    struct FolderWork
    {
        QMailFolderId folderId;
        QString directory;
        QList<Maildir::Entry> fresh; // to import, newest first
        QMailMessageIdList gone;
        QList<QMailServerCopy> purged; // removal records of files gone already
        QList<QMailMessageMetaData> reflagged; // flags changed in the files
    };

    void step();
    bool beginFolder();
    bool finishFolder();
    bool commitSlice();
    void abandon();

    QMailFolderIdList mFolderIds;
    Maildir::AgreedFlags mAgreed;
    QList<FolderWork> mWork;
    int mFolder = 0; // index into mWork
    int mNext = 0; // next entry of the folder's fresh list
    int mCommitted = 0; // entries of the folder's fresh list stored for good
    bool mInTransaction = false;
    uint mDone = 0;
    uint mTotal = 0;
    QStringList mUnreadable;
};

// Read state, flags, the user's removals and moves made in the store go back
// to the Maildir: files are renamed in cur/, deleted (only from a removal
// record or a Removed mark), moved between folders or delivered into another
// account's Maildir.
class ExportUpdatesJob : public MaildirJob
{
    Q_OBJECT
public:
    using MaildirJob::MaildirJob;
    // The Maildir root of another account (empty: it has none), for moves
    // into it.
    static void setMaildirResolver(const std::function<QString(const QMailAccountId &)> &resolver)
    {
        sMaildirOf = resolver;
    }

protected:
    void doStart() override;

private:
    static std::function<QString(const QMailAccountId &)> sMaildirOf;
};

// The account's outbox is delivered into the Maildir's Sent folder (created
// when missing), and each message moves to the store's Sent folder.
class TransmitJob : public MaildirJob
{
    Q_OBJECT
public:
    using MaildirJob::MaildirJob;

protected:
    void doStart() override;

private:
    QMailFolderId sentFolder();
};

#endif // MAILDIRJOBS_H
