#include "qmailheartbeattimer.h"

QMailHeartbeatTimer::QMailHeartbeatTimer(QObject *parent)
    : QObject(parent)
{
    connect(&m_timer, &QTimer::timeout, this, &QMailHeartbeatTimer::timeout);
}

QMailHeartbeatTimer::~QMailHeartbeatTimer() = default;

void QMailHeartbeatTimer::setInterval(int milliseconds)
{
    m_timer.setInterval(milliseconds);
}

int QMailHeartbeatTimer::interval() const
{
    return m_timer.interval();
}

void QMailHeartbeatTimer::setSingleShot(bool singleShot)
{
    m_timer.setSingleShot(singleShot);
}

bool QMailHeartbeatTimer::isSingleShot() const
{
    return m_timer.isSingleShot();
}

bool QMailHeartbeatTimer::isActive() const
{
    return m_timer.isActive();
}

void QMailHeartbeatTimer::start()
{
    m_timer.start();
}

void QMailHeartbeatTimer::start(int milliseconds)
{
    m_timer.start(milliseconds);
}

void QMailHeartbeatTimer::stop()
{
    m_timer.stop();
}
