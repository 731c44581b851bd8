#ifndef TRANSFERMANAGER_H
#define TRANSFERMANAGER_H

#include <qmailid.h>
#include <qmailserviceaction.h>

#include <QMap>
#include <QObject>

namespace TransferUI {
class Client;
class Transfer;
} // namespace TransferUI

// Shows the mail traffic of each e-mail account as one entry of the
// transfer-progress UI: opened, advanced and closed by the action watcher's
// events, with a translated text when it fails; the entry's cancel becomes a
// cancel request for the account's actions. The accounts come from the sync
// scheduler. Without the UI service the manager stays inert.
class TransferManager : public QObject
{
    Q_OBJECT
public:
    explicit TransferManager(QObject *parent = nullptr);
    ~TransferManager() override;

Q_SIGNALS:
    void accountCancelRequest(QMailAccountId id);

public Q_SLOTS:
    void onAccountAdded(QMailAccountId id);
    void onAccountDeleted(QMailAccountId id);
    void onTransferStarted(QMailAccountId id, bool download);
    void onTransferProgress(QMailAccountId id, uint progress, uint total);
    void onTransferFinished(QMailAccountId id, QMailServiceAction::Status::ErrorCode status);
    void onCancelRequest();

private:
    bool checkAccount(const QMailAccountId &id) const;
    // The account's entry, or end() when the account is invalid, the client
    // is missing or the account is not in the map (each logged).
    QMap<QMailAccountId, TransferUI::Transfer *>::iterator findTransfer(const QMailAccountId &id);
    TransferUI::Transfer *createTransfer(const QMailAccountId &id);
    void closeTransfer(TransferUI::Transfer *transfer);

    TransferUI::Client *mClient;
    QMap<QMailAccountId, TransferUI::Transfer *> mTransfers;
};

#endif // TRANSFERMANAGER_H
