#ifndef IMAPBACKEND_H
#define IMAPBACKEND_H

#include "server/mailbackend.h"

#include <QHash>
#include <QPair>

class IdleWatcher;

// Accounts on an IMAP server (the "imap/host" service setting), sending
// through SMTP. Each request is a job of imapjobs.h on a connection of its
// own; push folders are each kept under IDLE by an IdleWatcher. A refused
// login is not tried again until the account's settings change; the IMAP
// and the SMTP server refuse apart: sending may fail while receiving and
// push go on, and the reverse.
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
    enum Protocol { Imap, Smtp };
    struct Refusal
    {
        QByteArray key; // the settings the server refused
        QString why;
    };
    ServiceJob *watched(ServiceJob *job, const AccountConfig &config);
    static QByteArray settingsKey(const AccountConfig &config, Protocol protocol);
    void refuse(Protocol protocol, const QMailAccountId &account, const QByteArray &key,
                const QString &why);
    QString refusal(Protocol protocol, const QMailAccountId &account,
                    const AccountConfig &config) const;

    QHash<QMailAccountId, Refusal> mRefused[2]; // per protocol
    // (account, folder) -> watcher, with the settings it was made with
    QHash<QPair<quint64, quint64>, QPair<IdleWatcher *, QByteArray>> mWatchers;
};

#endif // IMAPBACKEND_H
