#include "qmdevicemode.h"

#include "systembusproperty.h"

#include <QFile>
#include <QSocketNotifier>
#include <QtDebug>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// struct rfkill_event as the kernel first defined it; newer kernels append
// fields, and hand out this prefix to a reader that asks for these 8 bytes.
struct RfkillEvent
{
    quint32 idx;
    quint8 type;
    quint8 op;
    quint8 soft;
    quint8 hard;
};
static_assert(sizeof(RfkillEvent) == 8, "rfkill's first event layout");

bool isPowerSaver(const QVariant &profile)
{
    return profile.toString() == QLatin1String("power-saver");
}

enum RfkillOp { RfkillAdd = 0, RfkillDel = 1, RfkillChange = 2, RfkillChangeAll = 3 };

} // namespace

namespace MeeGo {

QmDeviceMode::QmDeviceMode(QObject *parent)
    : QObject(parent)
    , mProfile(new SystemBusProperty(
          QStringLiteral("net.hadess.PowerProfiles"), QStringLiteral("/net/hadess/PowerProfiles"),
          QStringLiteral("net.hadess.PowerProfiles"), QStringLiteral("ActiveProfile"), this))
{
    connect(mProfile, SIGNAL(valueChanged(QVariant)), this, SLOT(onActiveProfileChanged(QVariant)));
    mPsm = isPowerSaver(mProfile->value()) ? PSMStateOn : PSMStateOff;

    const QByteArray override = qgetenv("POSTVANE_RFKILL_DEVICE");
    const QByteArray path = override.isEmpty() ? QByteArray("/dev/rfkill") : override;
    mRfkill = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (mRfkill < 0) {
        return; // no radios to switch off: never flight mode
    }
    // The device hands out the current state at once: read it now, so that
    // the first answer of getMode() is already right.
    if (!readRfkillEvents()) {
        ::close(mRfkill);
        mRfkill = -1;
        return;
    }
    mMode = modeOfRadios();
    mRfkillNotifier = new QSocketNotifier(mRfkill, QSocketNotifier::Read, this);
    connect(mRfkillNotifier, SIGNAL(activated(QSocketDescriptor)), this, SLOT(onRfkillReadable()));
}

QmDeviceMode::~QmDeviceMode()
{
    delete mRfkillNotifier;
    if (mRfkill >= 0) {
        ::close(mRfkill);
    }
}

QmDeviceMode::DeviceMode QmDeviceMode::getMode() const
{
    return mMode;
}

QmDeviceMode::PSMState QmDeviceMode::getPSMState() const
{
    return mPsm;
}

bool QmDeviceMode::readRfkillEvents()
{
    for (;;) {
        RfkillEvent event;
        const ssize_t n = ::read(mRfkill, &event, sizeof event);
        if (n < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        if (n == 0) {
            return false; // the writer of a test's source has gone
        }
        if (n != ssize_t(sizeof event)) {
            qWarning() << "QmDeviceMode: short rfkill event of" << n << "bytes ignored";
            continue;
        }
        switch (event.op) {
        case RfkillAdd:
        case RfkillChange:
            mRadios.insert(event.idx, event.soft != 0);
            break;
        case RfkillDel:
            mRadios.remove(event.idx);
            break;
        case RfkillChangeAll:
            for (auto it = mRadios.begin(); it != mRadios.end(); ++it) {
                it.value() = event.soft != 0;
            }
            break;
        default:
            break;
        }
    }
}

QmDeviceMode::DeviceMode QmDeviceMode::modeOfRadios() const
{
    bool allBlocked = !mRadios.isEmpty();
    for (bool blocked : mRadios) {
        allBlocked = allBlocked && blocked;
    }
    return allBlocked ? Flight : Normal;
}

void QmDeviceMode::onRfkillReadable()
{
    if (!readRfkillEvents()) {
        // A source at its end would wake the loop for ever: stop reading it.
        mRfkillNotifier->setEnabled(false);
    }
    const DeviceMode mode = modeOfRadios();
    if (mode != mMode) {
        mMode = mode;
        Q_EMIT deviceModeChanged(mode);
    }
}

void QmDeviceMode::onActiveProfileChanged(const QVariant &profile)
{
    const PSMState psm = isPowerSaver(profile) ? PSMStateOn : PSMStateOff;
    if (psm != mPsm) {
        mPsm = psm;
        Q_EMIT devicePSMStateChanged(psm);
    }
}

} // namespace MeeGo
