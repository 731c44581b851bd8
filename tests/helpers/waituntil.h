#ifndef WAITUNTIL_H
#define WAITUNTIL_H

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

// Runs the event loop until the condition holds; false when it still does not
// after the time-out. The time-out is only a bound against a hang: a test
// proves that something did not happen by a later event, never by waiting.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs = 15000)
{
    QDeadlineTimer deadline(timeoutMs);
    // The loop sleeps until an event comes; the tick wakes it for conditions
    // no event announces (a file, another process). A loop that never slept
    // took a core from the programs a test waits for.
    QTimer tick;
    tick.start(10);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

#endif // WAITUNTIL_H
