#ifndef POSTVANE_H
#define POSTVANE_H

#include <QObject>

class QSocketNotifier;

// Single-instance lock on "/var/lock/postvane.lock": the open, write-locked
// descriptor, or -1 when the file cannot be opened or is locked by another
// process.
int acquireLock();
// Unlocks and closes the descriptor; false (with a warning) when either fails.
bool releaseLock(int fd);
// SIGTERM handler: forwards the signal number to the event loop.
void unixSignalHandler(int signalNumber);

// The daemon object: holds the single-instance lock for its whole life and
// turns SIGTERM into an orderly quit of the application.
class Postvane : public QObject
{
    Q_OBJECT
public:
    explicit Postvane(QObject *parent = nullptr);
    ~Postvane() override;

    void enableNotifications(bool enable);

private Q_SLOTS:
    void handleUnixSignal();

private:
    int lockFd;
    bool notificationsEnabled;
    QSocketNotifier *signalNotifier;
};

#endif // POSTVANE_H
