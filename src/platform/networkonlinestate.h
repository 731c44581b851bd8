#ifndef NETWORKONLINESTATE_H
#define NETWORKONLINESTATE_H

#include <QObject>

class SystemBusProperty;

// Whether the machine is online, from NetworkManager's "State" (70: connected
// to the internet), followed through its change signals. It stands in for
// Qt's QNetworkConfigurationManager, whose bearer engines look at the network
// interfaces every ten seconds. Without NetworkManager nothing is known, which
// counts as online: an always-on account is not demoted for a missing service.
class NetworkOnlineState : public QObject
{
    Q_OBJECT
public:
    explicit NetworkOnlineState(QObject *parent = nullptr);

    bool isOnline() const { return mOnline; }

Q_SIGNALS:
    void onlineStateChanged(bool isOnline);

private Q_SLOTS:
    void onStateChanged(const QVariant &state);

private:
    SystemBusProperty *mState;
    bool mOnline = true;
};

#endif // NETWORKONLINESTATE_H
