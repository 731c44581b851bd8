#include "timedinterface.h"

#include <QFile>
#include <QFileSystemWatcher>
#include <QSocketNotifier>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/timerfd.h>
#include <unistd.h>

namespace {

const char LocalTime[] = "/etc/localtime";

// What identifies the zone in force: the link's target, or the file itself.
QByteArray zoneOf()
{
    const QString target = QFile::symLinkTarget(QString::fromLatin1(LocalTime));
    if (!target.isEmpty()) {
        return QFile::encodeName(target);
    }
    QFile file(QString::fromLatin1(LocalTime));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

namespace Velmar {
namespace Timed {

Interface::Interface(QObject *parent)
    : QObject(parent)
{
    const QByteArray source = qgetenv("POSTVANE_CLOCK_CHANGE_SOURCE");
    if (!source.isEmpty()) {
        // Read and write, so that the FIFO never reports an end of its own.
        mClockSource = ::open(source.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } else {
        mClockSource = ::timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
        mTimerFd = mClockSource >= 0;
        if (mTimerFd && !armClockTimer()) {
            ::close(mClockSource);
            mClockSource = -1;
        }
    }
    if (mClockSource >= 0) {
        mClockNotifier = new QSocketNotifier(mClockSource, QSocketNotifier::Read, this);
        connect(mClockNotifier, SIGNAL(activated(QSocketDescriptor)), this,
                SLOT(onClockSourceReadable()));
    } else {
        qWarning() << "Velmar::Timed::Interface: clock changes cannot be followed:"
                   << std::strerror(errno);
    }

    // The zone file is replaced, not written: watch its folder.
    mZone = zoneOf();
    mZoneWatcher = new QFileSystemWatcher(this);
    if (mZoneWatcher->addPath(QStringLiteral("/etc"))) {
        connect(mZoneWatcher, SIGNAL(directoryChanged(QString)), this, SLOT(onEtcChanged()));
    }
}

Interface::~Interface()
{
    delete mClockNotifier;
    if (mClockSource >= 0) {
        ::close(mClockSource);
    }
}

bool Interface::settings_changed_connect(QObject *receiver, const char *slot)
{
    return connect(this, SIGNAL(settings_changed(bool)), receiver, slot);
}

bool Interface::armClockTimer()
{
    // An absolute expiry far ahead that never comes: the timer exists only to
    // be cancelled when the clock is set.
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct itimerspec spec;
    std::memset(&spec, 0, sizeof spec);
    spec.it_value.tv_sec = now.tv_sec + 10 * 365 * 24 * 3600L;
    return ::timerfd_settime(mClockSource, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &spec,
                             nullptr)
        == 0;
}

void Interface::onClockSourceReadable()
{
    bool changed = false;
    if (mTimerFd) {
        quint64 expirations = 0;
        const ssize_t n = ::read(mClockSource, &expirations, sizeof expirations);
        changed = n < 0 && errno == ECANCELED;
        // Cancelled or (ten years on) expired: either way it must be armed again.
        if (!armClockTimer()) {
            qWarning() << "Velmar::Timed::Interface: cannot re-arm the clock timer:"
                       << std::strerror(errno);
            mClockNotifier->setEnabled(false);
        }
    } else {
        char bytes[64];
        ssize_t n;
        while ((n = ::read(mClockSource, bytes, sizeof bytes)) > 0) {
            changed = true;
        }
    }
    if (changed) {
        Q_EMIT settings_changed(true);
    }
}

void Interface::onEtcChanged()
{
    const QByteArray zone = zoneOf();
    if (zone == mZone) {
        return;
    }
    mZone = zone;
    ::tzset();
    Q_EMIT settings_changed(false);
}

} // namespace Timed
} // namespace Velmar
