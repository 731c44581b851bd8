#ifndef WAITUNTIL_H
#define WAITUNTIL_H

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>

#include <functional>

// Runs the event loop until the condition holds; false when it still does not
// after the time-out. The time-out is only a bound against a hang: a test
// proves that something did not happen by a later event, never by waiting.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs = 15000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired()) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

#endif // WAITUNTIL_H
