#ifndef MAILDIRJOBS_H
#define MAILDIRJOBS_H

#include "maildir.h"
#include "servicejob.h"

#include <qmailfolder.h>

#include <QHash>
#include <QSet>
#include <QStringList>

// What the store held of each folder of an account after the server last
// touched it: the Maildir names of its messages. A name that is here and in
// the Maildir but no longer in the store was deleted (or moved) in the store,
// and export updates carries that out in the Maildir; a message list never
// brings it back. Kept in the store's folder, one file per account.
class KnownMessages
{
public:
    explicit KnownMessages(const QMailAccountId &accountId);
    QSet<QString> folder(const QMailFolderId &folderId) const { return mUids.value(folderId); }
    void setFolder(const QMailFolderId &folderId, const QSet<QString> &uids);
    bool save() const;

private:
    QString mFile;
    QHash<QMailFolderId, QSet<QString>> mUids;
};

// Base of the Maildir jobs: the account's root and its checks.
class MaildirJob : public ServiceJob
{
    Q_OBJECT
public:
    MaildirJob(int requestType, const QMailAccountId &accountId, const QString &root,
               QObject *parent = nullptr);

protected:
    // False (and the job failed with ErrConfiguration) when the root is not a
    // readable Maildir.
    bool checkRoot();
    // The Maildir folder of a store folder of this account; empty when it has none.
    QString directoryOf(const QMailFolder &folder) const;
    // The store's messages of the folder by Maildir name.
    QHash<QString, QMailMessageId> storedMessages(const QMailFolderId &folderId) const;
    // The framework code for a failed file operation.
    static QMailServiceAction::Status::ErrorCode codeForErrno(int error);
    void failFromStore(const QString &what, const QMailFolderId &folderId = QMailFolderId());

    QString mRoot;
};

// The Maildir's folders become the account's store folders.
class FolderListJob : public MaildirJob
{
    Q_OBJECT
public:
    using MaildirJob::MaildirJob;

protected:
    void doStart() override;
};

// New messages of the folders enter the store, newest first, one store
// transaction per folder; messages gone from the Maildir leave it. Works in
// slices so that a cancel request is heard between them.
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
        QSet<QString> kept; // names the store keeps
    };

    void step();
    bool beginFolder();
    bool finishFolder();
    void abandon();

    QMailFolderIdList mFolderIds;
    QList<FolderWork> mWork;
    KnownMessages mKnown;
    int mFolder = 0; // index into mWork
    int mNext = 0; // next entry of the folder's fresh list
    bool mInTransaction = false;
    uint mDone = 0;
    uint mTotal = 0;
    QStringList mUnreadable;
};

// Read state, flags, deletions and moves made in the store go back to the
// Maildir: files are renamed in cur/, deleted, or moved between folders.
class ExportUpdatesJob : public MaildirJob
{
    Q_OBJECT
public:
    using MaildirJob::MaildirJob;

protected:
    void doStart() override;
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
