#ifndef TIMEDINTERFACE_H
#define TIMEDINTERFACE_H

#include <QByteArray>
#include <QObject>

class QFileSystemWatcher;
class QSocketNotifier;

namespace Velmar {
namespace Timed {

// Changes of the system's time settings: the clock being set (a timerfd that
// the kernel cancels when CLOCK_REALTIME jumps) and the time zone being
// changed (/etc/localtime replaced). Tests that cannot set the clock name a
// FIFO in POSTVANE_CLOCK_CHANGE_SOURCE instead: each byte written to it
// counts as one clock change.
class Interface : public QObject
{
    Q_OBJECT
public:
    explicit Interface(QObject *parent = nullptr);
    ~Interface() override;

    // Connects settings_changed() to the receiver's slot.
    bool settings_changed_connect(QObject *receiver, const char *slot);

Q_SIGNALS:
    void settings_changed(bool time_changed);

private Q_SLOTS:
    void onClockSourceReadable();
    void onEtcChanged();

private:
    bool armClockTimer();

    int mClockSource = -1;
    bool mTimerFd = false;
    QSocketNotifier *mClockNotifier = nullptr;
    QFileSystemWatcher *mZoneWatcher = nullptr;
    QByteArray mZone;
};

} // namespace Timed
} // namespace Velmar

#endif // TIMEDINTERFACE_H
