#ifndef IMAPBACKEND_H
#define IMAPBACKEND_H

#include "server/mailbackend.h"

#include <QHash>
#include <QPair>

class IdleWatcher;

// Accounts on an IMAP server (the "imap/host" service setting), sending
// through SMTP. Each request is a job of imapjobs.h on a connection of its
// own; push folders are each kept under IDLE by an IdleWatcher. A refused
// login is not tried again until the account's settings change.
class ImapBackend : public MailBackend
{
    Q_OBJECT
public:
    explicit ImapBackend(QObject *parent = nullptr);
    ~ImapBackend() override;

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

private:
    ServiceJob *watched(ServiceJob *job, const AccountConfig &config);
    static QByteArray settingsKey(const AccountConfig &config);

    QHash<QMailAccountId, QByteArray> mRefused; // account -> settings the server refused
    // (account, folder) -> watcher, with the settings it was made with
    QHash<QPair<quint64, quint64>, QPair<IdleWatcher *, QByteArray>> mWatchers;
};

#endif // IMAPBACKEND_H
