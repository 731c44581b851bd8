#include "transferui.h"

#include "jobviewproxy.h"
#include "jobviewserverproxy.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QPointer>
#include <QtGlobal>

namespace {

const char JobViewService[] = "org.kde.JobViewServer";
const char JobViewServerPath[] = "/JobViewServer";
const int Cancellable = 0x1;

uint percent(float fraction)
{
    return uint(qBound(0, qRound(fraction * 100.0f), 100));
}

} // namespace

namespace TransferUI {

Transfer::Transfer(Client *client, const QString &id, const QString &name)
    : mClient(client)
    , mId(id)
    , mName(name)
{ }

Transfer::~Transfer()
{
    if (mClient) {
        mClient->mTransfers.removeOne(this);
    }
}

void Transfer::setActive(float progress)
{
    if (mState == Failed) {
        callView([](JobViewProxy *view) {
            view->setInfoMessage(QString());
            view->clearDescriptionField(0);
        });
    } else if (mState != Active) {
        forgetView(); // a closed transfer shows in a new view
    }
    mState = Active;
    if (!mView && !mRequest) {
        requestView();
    }
    setProgress(progress);
}

void Transfer::setProgress(float done)
{
    mProgress = done;
    if (isShown()) {
        const uint value = percent(done);
        callView([value](JobViewProxy *view) { view->setPercent(value); });
    }
}

void Transfer::markDone(const QString &text)
{
    if (isShown()) {
        closeView(text);
    }
    mState = Done;
}

void Transfer::markFailure(const QString &header, const QString &detail)
{
    if (isShown()) {
        callView([header, detail](JobViewProxy *view) {
            view->setInfoMessage(header);
            view->setDescriptionField(0, header, detail);
        });
        mState = Failed;
    }
}

void Transfer::requestView()
{
    if (!mClient || !mClient->mServer || !mClient->mServiceUp) {
        return;
    }
    mRequest = new QDBusPendingCallWatcher(mClient->mServer->requestView(mName, mIcon, Cancellable),
                                           mClient);
    mClient->mPending.insert(mRequest, { this, {}, false });
    connect(mRequest, &QDBusPendingCallWatcher::finished, mClient, &Client::onViewReady);
}

void Transfer::callView(const ViewCall &call)
{
    if (mView) {
        call(mView);
    } else if (mRequest && mClient) {
        mClient->mPending[mRequest].calls.append(call);
    }
}

void Transfer::closeView(const QString &message)
{
    callView([message](JobViewProxy *view) { view->terminate(message); });
    forgetView();
    if (mRequest && mClient) {
        mClient->mPending[mRequest].closed = true;
    }
    mRequest = nullptr;
}

void Transfer::forgetView()
{
    if (mView) {
        mView->deleteLater();
        mView = nullptr;
    }
}

Client::Client(QObject *parent)
    : QObject(parent)
{
    if (QCoreApplication::instance()) {
        connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, this,
                &Client::onQuit);
    }
}

void Client::onQuit()
{
    // Waited for: the process ends right after, and a call still queued in
    // it would leave the entry in view for ever.
    for (Transfer *transfer : qAsConst(mTransfers)) {
        if (transfer->isShown() && transfer->mView) {
            QDBusMessage terminate = QDBusMessage::createMethodCall(
                transfer->mView->service(), transfer->mView->path(), transfer->mView->interface(),
                QStringLiteral("terminate"));
            terminate << QString();
            QDBusConnection::sessionBus().call(terminate, QDBus::Block, 1000);
            transfer->forgetView();
            transfer->mState = Transfer::Done;
        }
    }
}

Client::~Client()
{
    for (Transfer *transfer : qAsConst(mTransfers)) {
        transfer->mClient = nullptr;
        transfer->mRequest = nullptr;
    }
}

void Client::onViewReady(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const PendingView pending = mPending.take(call);
    Transfer *transfer = pending.transfer;
    if (transfer && transfer->mRequest == call) {
        transfer->mRequest = nullptr;
    }
    const QDBusPendingReply<QDBusObjectPath> reply = *call;
    if (reply.isError()) {
        qWarning() << "TransferUI: the job-progress service gave no view:"
                   << reply.error().message();
        return;
    }
    auto *view = new JobViewProxy(QLatin1String(JobViewService), reply.value().path(),
                                  QDBusConnection::sessionBus(), this);
    for (const auto &waiting : pending.calls) {
        waiting(view);
    }
    if (pending.closed || !transfer) {
        if (!pending.closed) {
            view->terminate(QString()); // its transfer went without closing it
        }
        view->deleteLater();
        return;
    }
    view->setParent(transfer);
    transfer->mView = view;
    connect(view, &JobViewProxy::cancelRequested, transfer, &Transfer::cancel);
}

bool Client::init()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected() || !bus.interface()) {
        return false;
    }
    mOwner = bus.interface()->serviceOwner(QLatin1String(JobViewService)).value();
    mServiceUp = !mOwner.isEmpty();
    if (!mServiceUp) {
        return false;
    }
    if (!mServer) {
        mServer = new JobViewServerProxy(QLatin1String(JobViewService),
                                         QLatin1String(JobViewServerPath), bus, this);
        auto *watcher = new QDBusServiceWatcher(QLatin1String(JobViewService), bus,
                                                QDBusServiceWatcher::WatchForOwnerChange, this);
        connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &Client::onOwnerChanged);
    }
    return true;
}

Transfer *Client::registerTransfer(const QString &name, TransferType type, const QString &clientId)
{
    Q_UNUSED(type)
    Q_UNUSED(clientId)
    if (!mServer || !mServiceUp) {
        return nullptr;
    }
    auto *transfer
        = new Transfer(this, QStringLiteral("postvane-transfer-%1").arg(++mLastId), name);
    mTransfers.append(transfer);
    return transfer;
}

void Client::removeTransfer(const QString &transferId)
{
    for (Transfer *transfer : qAsConst(mTransfers)) {
        if (transfer->transferId() == transferId) {
            if (transfer->isShown()) {
                transfer->closeView(QString());
            }
            transfer->mState = Transfer::Done;
            mTransfers.removeOne(transfer);
            transfer->mClient = nullptr;
            return;
        }
    }
}

void Client::onOwnerChanged(const QString &, const QString &oldOwner, const QString &newOwner)
{
    // A change that came before the owner we know (late news of an earlier
    // owner) says nothing about our views.
    if (oldOwner != mOwner) {
        return;
    }
    mOwner = newOwner;
    mServiceUp = !newOwner.isEmpty();
    if (!oldOwner.isEmpty()) {
        // The views went with the old owner.
        for (Transfer *transfer : qAsConst(mTransfers)) {
            transfer->forgetView();
            transfer->mRequest = nullptr;
        }
        qDeleteAll(mPending.keys());
        mPending.clear();
    }
    if (mServiceUp) {
        for (Transfer *transfer : qAsConst(mTransfers)) {
            if (transfer->mState == Transfer::Active && !transfer->mView && !transfer->mRequest) {
                transfer->requestView();
                transfer->setProgress(transfer->mProgress);
            }
        }
    }
}

} // namespace TransferUI
