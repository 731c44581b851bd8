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
// new/ and cur/ folders: a delivered file counts once it is complete there
// (closed after writing, or moved in), never while it is being written; a
// renamed file (flags another client changed) or a removed one counts at
// once.
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
    QHash<int, QString> mDescriptors; // inotify watch -> new/ or cur/ folder
    QHash<QString, Watched> mWatched; // new/ or cur/ folder -> its store folder
    QSet<QString> mChanged; // new/ and cur/ folders changed since the last report
    QTimer *mSettle; // events read together make one report
};

#endif // MAILDIRBACKEND_H
