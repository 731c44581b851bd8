#include "networkonlinestate.h"

#include "systembusproperty.h"

namespace {

const uint ConnectedGlobal = 70;

} // namespace

NetworkOnlineState::NetworkOnlineState(QObject *parent)
    : QObject(parent)
    , mState(new SystemBusProperty(QStringLiteral("org.freedesktop.NetworkManager"),
                                   QStringLiteral("/org/freedesktop/NetworkManager"),
                                   QStringLiteral("org.freedesktop.NetworkManager"),
                                   QStringLiteral("State"), this))
{
    connect(mState, SIGNAL(valueChanged(QVariant)), this, SLOT(onStateChanged(QVariant)));
    // The state read at once is told from the event loop, once listeners
    // are connected.
    QMetaObject::invokeMethod(
        this, [this] { onStateChanged(mState->value()); }, Qt::QueuedConnection);
}

void NetworkOnlineState::onStateChanged(const QVariant &state)
{
    const bool online = !state.isValid() || state.toUInt() == ConnectedGlobal;
    if (online != mOnline) {
        mOnline = online;
        Q_EMIT onlineStateChanged(online);
    }
}
