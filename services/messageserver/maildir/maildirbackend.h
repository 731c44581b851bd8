#ifndef MAILDIRBACKEND_H
#define MAILDIRBACKEND_H

#include "server/mailbackend.h"

#include <QHash>
#include <QSet>

class QSocketNotifier;
class QTimer;

// Accounts whose mail lives in a local Maildir (the "maildir" service
// setting). Folder lists, message lists, exports and sending are jobs of
// their own (maildirjobs.h); push folders are followed with inotify on their
// new/ folders, where Maildir writers deliver: a file counts once it is
// complete there (closed after writing, or moved in), never while it is
// being written.
class MaildirBackend : public MailBackend
{
    Q_OBJECT
public:
    explicit MaildirBackend(QObject *parent = nullptr);
    ~MaildirBackend() override;

    bool handles(const AccountConfig &config) const override;
    ServiceJob *retrieveFolderList(const QMailAccountId &accountId, const AccountConfig &config,
                                   const QMailFolderId &folderId) override;
    ServiceJob *retrieveMessageLists(const QMailAccountId &accountId, const AccountConfig &config,
                                     const QMailFolderIdList &folderIds, uint minimum) override;
    ServiceJob *exportUpdates(const QMailAccountId &accountId,
                              const AccountConfig &config) override;
    ServiceJob *transmitMessages(const QMailAccountId &accountId,
                                 const AccountConfig &config) override;
    void setPushFolders(const QMailAccountId &accountId, const AccountConfig &config) override;

private Q_SLOTS:
    void onInotify();
    void onSettled();

private:
    struct Watched
    {
        QMailAccountId accountId;
        QMailFolderId folderId;
    };
    void changed(const QString &directory);
    bool watch(const QString &directory);
    void unwatch(const QString &directory);

    int mInotify;
    QSocketNotifier *mNotifier = nullptr;
    QHash<int, QString> mDescriptors; // inotify watch -> new/ folder
    QHash<QString, Watched> mWatched; // new/ folder -> its store folder
    QSet<QString> mChanged; // new/ folders changed since the last report
    QTimer *mSettle; // lets a burst of deliveries settle into one report
};

#endif // MAILDIRBACKEND_H
