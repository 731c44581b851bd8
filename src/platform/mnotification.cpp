#include "mnotification.h"

#include "mnotificationservice.h"
#include "mremoteaction.h"

const QString MNotification::EmailArrivedEvent = QStringLiteral("email.arrived");

MNotification::MNotification(const QString &eventType, const QString &summary, const QString &body)
{
    m_data.eventType = eventType;
    m_data.summary = summary;
    m_data.body = body;
}

MNotification::~MNotification() = default;

void MNotification::setAction(const MRemoteAction &action)
{
    m_data.action = action.toString();
}

MRemoteAction MNotification::action() const
{
    return MRemoteAction(m_data.action);
}

bool MNotification::publish()
{
    const quint64 key = MNotificationService::instance()->publish(m_key, m_data);
    if (key == 0) {
        return false;
    }
    m_key = key;
    return true;
}

bool MNotification::remove()
{
    const bool removed = MNotificationService::instance()->remove(m_key);
    m_key = 0;
    return removed;
}

bool MNotification::isPublished() const
{
    return MNotificationService::instance()->contains(m_key);
}

QList<MNotification *> MNotification::notifications()
{
    return MNotificationService::instance()->notifications();
}
