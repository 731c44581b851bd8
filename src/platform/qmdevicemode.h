#ifndef QMDEVICEMODE_H
#define QMDEVICEMODE_H

#include <QMap>
#include <QObject>

class QSocketNotifier;
class SystemBusProperty;

namespace MeeGo {

// The handset's device mode. Flight mode: every radio that rfkill knows is
// soft-blocked (events from /dev/rfkill, or from the file that the variable
// POSTVANE_RFKILL_DEVICE names, in the kernel's record format). Power save:
// the power-profiles service's active profile is "power-saver". A missing
// device or service reads as normal mode and power save off; both are
// followed through their own events, never polled.
class QmDeviceMode : public QObject
{
    Q_OBJECT
public:
    enum DeviceMode { Error = -1, Normal = 0, Flight = 1 };
    Q_ENUM(DeviceMode)
    enum PSMState { PSMError = -1, PSMStateOff = 0, PSMStateOn = 1 };
    Q_ENUM(PSMState)

    explicit QmDeviceMode(QObject *parent = nullptr);
    ~QmDeviceMode() override;

    DeviceMode getMode() const;
    PSMState getPSMState() const;

Q_SIGNALS:
    void deviceModeChanged(MeeGo::QmDeviceMode::DeviceMode mode);
    void devicePSMStateChanged(MeeGo::QmDeviceMode::PSMState state);

private Q_SLOTS:
    void onRfkillReadable();
    void onActiveProfileChanged(const QVariant &profile);

private:
    bool readRfkillEvents(); // false when the source has ended
    DeviceMode modeOfRadios() const;

    int mRfkill = -1;
    QSocketNotifier *mRfkillNotifier = nullptr;
    QMap<quint32, bool> mRadios; // rfkill index -> soft-blocked
    DeviceMode mMode = Normal;
    SystemBusProperty *mProfile;
    PSMState mPsm = PSMStateOff;
};

} // namespace MeeGo

#endif // QMDEVICEMODE_H
