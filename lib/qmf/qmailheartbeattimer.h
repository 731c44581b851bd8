#ifndef QMAILHEARTBEATTIMER_H
#define QMAILHEARTBEATTIMER_H

#include <QObject>
#include <QTimer>

// A timer for periodic mail work. On a handset it would be aligned with the
// system heartbeat to save wake-ups; here a plain timer does the job.
class QMailHeartbeatTimer : public QObject
{
    Q_OBJECT
public:
    explicit QMailHeartbeatTimer(QObject *parent = nullptr);
    ~QMailHeartbeatTimer() override;

    void setInterval(int milliseconds);
    int interval() const;
    void setSingleShot(bool singleShot);
    bool isSingleShot() const;
    bool isActive() const;
    // Milliseconds until the next timeout; -1 when the timer is not running.
    int remainingTime() const { return m_timer.remainingTime(); }

public Q_SLOTS:
    void start();
    void start(int milliseconds);
    void stop();

Q_SIGNALS:
    void timeout();

private:
    QTimer m_timer;
};

#endif // QMAILHEARTBEATTIMER_H
