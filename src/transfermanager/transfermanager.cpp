#include "transfermanager.h"

#include "logcategories.h"
#include "qtn_mail.h"
#include "transferui.h"

#include <qmailaccount.h>

namespace {

QString failureText(QMailServiceAction::Status::ErrorCode status)
{
    switch (status) {
    case QMailServiceAction::Status::ErrSystemError:
    case QMailServiceAction::Status::ErrUnknownResponse:
    case QMailServiceAction::Status::ErrLoginFailed:
    case QMailServiceAction::Status::ErrNoConnection:
    case QMailServiceAction::Status::ErrConnectionNotReady:
    case QMailServiceAction::Status::ErrConfiguration:
        return qtTrId(qtn_mail::cannot_connect_server, -1);
    case QMailServiceAction::Status::ErrFileSystemFull:
        return qtTrId(qtn_mail::error_disk_full, -1);
    case QMailServiceAction::Status::ErrNonexistentMessage:
        return qtTrId(qtn_mail::message_not_available_error, -1);
    case QMailServiceAction::Status::ErrEnqueueFailed:
        return qtTrId(qtn_mail::message_processing_error, -1);
    case QMailServiceAction::Status::ErrConnectionInUse:
        return qtTrId(qtn_mail::server_lock_error, -1);
    case QMailServiceAction::Status::ErrInvalidAddress:
        return qtTrId(qtn_mail::invalidemailaddress, -1).arg(QString(), 0, QLatin1Char(' '));
    case QMailServiceAction::Status::ErrTimeout:
        return qtTrId(qtn_mail::server_connection_timeout, -1);
    default:
        return qtTrId(qtn_mail::generic_error, -1);
    }
}

} // namespace

TransferManager::TransferManager(QObject *parent)
    : QObject(parent)
    , mClient(new TransferUI::Client)
{
    if (!mClient->init()) {
        qCritical() << "TransferManager::TransferManager(QObject*)"
                    << ":Cannot initialize TUI Client";
        delete mClient;
        mClient = nullptr;
    }
}

TransferManager::~TransferManager()
{
    for (auto it = mTransfers.begin(); it != mTransfers.end(); ++it) {
        if (it.value()) {
            closeTransfer(it.value());
            it.value() = nullptr;
        }
    }
    mTransfers.clear();
    delete mClient;
}

bool TransferManager::checkAccount(const QMailAccountId &id) const
{
    if (!id.isValid()) {
        qMailLog(Transfer) << "TransferManager: account " << id << " is invalid";
        return false;
    }
    if (!mClient) {
        qMailLog(Transfer) << "TransferManager: mClient is not initialized";
        return false;
    }
    return true;
}

QMap<QMailAccountId, TransferUI::Transfer *>::iterator
TransferManager::findTransfer(const QMailAccountId &id)
{
    if (!checkAccount(id)) {
        return mTransfers.end();
    }
    const auto found = mTransfers.find(id);
    if (found == mTransfers.end()) {
        qMailLog(Transfer) << "TransferManager: account is not in the map";
    }
    return found;
}

TransferUI::Transfer *TransferManager::createTransfer(const QMailAccountId &id)
{
    if (!checkAccount(id)) {
        return nullptr;
    }
    TransferUI::Transfer *transfer
        = mClient->registerTransfer(QMailAccount(id).name(), TransferUI::Client::Sync, QString());
    if (!transfer) {
        qCritical() << "Cannot initialize TUI Transfer";
        return nullptr;
    }
    connect(transfer, SIGNAL(cancel()), this, SLOT(onCancelRequest()));
    transfer->setSize(0);
    transfer->setIcon(QStringLiteral("icon-m-content-email"));
    transfer->setActive(0.0);
    // A small fraction from the start, so that the entry shows work under way.
    transfer->setProgress(0.01f);
    qMailLog(Transfer) << "TransferManager: a new transfer" << transfer->transferId()
                       << " is registered";
    return transfer;
}

void TransferManager::closeTransfer(TransferUI::Transfer *transfer)
{
    transfer->markDone(QString());
    if (mClient) {
        mClient->removeTransfer(transfer->transferId());
    }
    delete transfer;
}

void TransferManager::onAccountAdded(QMailAccountId id)
{
    qMailLog(Transfer) << "TransferManager: account added: " << id;
    if (!id.isValid()) {
        qMailLog(Transfer) << "TransferManager: account is invalid";
        return;
    }
    if (mTransfers.contains(id)) {
        qMailLog(Transfer) << "TransferManager: account is already in the map";
        return;
    }
    if (!mClient) {
        qMailLog(Transfer) << "TransferManager: mClient is not initialized";
        return;
    }
    mTransfers.insert(id, nullptr);
    qMailLog(Transfer) << "TransferManager: account is inserted in the map";
}

void TransferManager::onAccountDeleted(QMailAccountId id)
{
    qMailLog(Transfer) << "TransferManager: account deleted: " << id;
    const auto found = mTransfers.find(id);
    if (found == mTransfers.end()) {
        return;
    }
    if (found.value()) {
        closeTransfer(found.value());
    }
    mTransfers.erase(found);
}

void TransferManager::onTransferStarted(QMailAccountId id, bool download)
{
    qMailLog(Transfer) << "TransferManager: transfer started for id: " << id
                       << ", download=" << download;
    const auto found = findTransfer(id);
    if (found == mTransfers.end()) {
        return;
    }
    if (!found.value()) {
        found.value() = createTransfer(id);
        return;
    }
    qMailLog(Transfer) << "TransferManager: transfer is already initialized";
    found.value()->setActive(0.0);
    found.value()->setProgress(0.01f);
}

void TransferManager::onTransferProgress(QMailAccountId id, uint progress, uint total)
{
    qMailLog(Transfer) << "TransferManager: progress for account " << id << " is set to "
                       << progress << " from " << total;
    if (total == 0) {
        qMailLog(Transfer) << "TransferManager: ignoring progress from 0";
        return;
    }
    const auto found = findTransfer(id);
    if (found == mTransfers.end()) {
        return;
    }
    if (!found.value()) {
        qMailLog(Transfer) << "TransferManager: transfer is not initialized";
        found.value() = createTransfer(id);
        if (!found.value()) {
            return;
        }
    }
    found.value()->setProgress(float(progress) / float(total));
}

void TransferManager::onTransferFinished(QMailAccountId id,
                                         QMailServiceAction::Status::ErrorCode status)
{
    // A cancel by the user ends the transfer like a success.
    const bool failed = status != QMailServiceAction::Status::ErrNoError
        && status != QMailServiceAction::Status::ErrCancel;
    qMailLog(Transfer) << "TransferManager: transfer for account " << id
                       << " is finished with code " << int(status)
                       << (failed ? " (failed)" : "(ok)");
    const auto found = findTransfer(id);
    if (found == mTransfers.end()) {
        return;
    }
    TransferUI::Transfer *transfer = found.value();
    if (!transfer) {
        qMailLog(Transfer) << "TransferManager: transfer is not initialized";
        return;
    }
    if (failed) {
        const QString detail = failureText(status);
        transfer->markFailure(qtTrId(qtn_mail::failed, -1), detail);
        qMailLog(Transfer) << "TransferManager: transfer is failed, error message: " << detail;
        return;
    }
    closeTransfer(transfer);
    found.value() = nullptr;
    qMailLog(Transfer) << "TransferManager: transfer is completed and erased";
}

void TransferManager::onCancelRequest()
{
    qMailLog(Transfer) << "TransferManager: cancel request";
    auto *transfer = qobject_cast<TransferUI::Transfer *>(sender());
    if (!transfer) {
        qMailLog(Transfer) << "TransferManager: invalid sender";
        return;
    }
    for (auto it = mTransfers.constBegin(); it != mTransfers.constEnd(); ++it) {
        if (it.value() == transfer) {
            const QMailAccountId account = it.key();
            Q_EMIT accountCancelRequest(account);
            qMailLog(Transfer) << "TransferManager: cancel request signal emitted for account "
                               << account;
            transfer->markCancelled();
            return;
        }
    }
    if (mClient) {
        mClient->removeTransfer(transfer->transferId());
    }
    transfer->deleteLater();
    qMailLog(Transfer)
        << "TransferManager: cancel request signal emitted for unknown transfer, removing it";
}
