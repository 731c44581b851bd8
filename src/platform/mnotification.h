#ifndef MNOTIFICATION_H
#define MNOTIFICATION_H

#include <QDateTime>
#include <QList>
#include <QObject>
#include <QString>

class MRemoteAction;

// One notification of this program on the desktop's notification service
// (org.freedesktop.Notifications on the session bus).
//
// An object is a handle: publishing it shows the notification, or replaces
// the one it already stands for; deleting the object leaves the notification
// on display. notifications() hands out handles for every notification this
// program published that is still shown, also those left by an earlier run
// (the layer keeps them in a small state file under $XDG_STATE_HOME).
class MNotification : public QObject
{
    Q_OBJECT
public:
    // Event type of a new-mail notification.
    static const QString EmailArrivedEvent;

    explicit MNotification(const QString &eventType, const QString &summary = QString(),
                           const QString &body = QString());
    ~MNotification() override;

    QString eventType() const { return m_eventType; }
    QString summary() const { return m_summary; }
    void setSummary(const QString &summary) { m_summary = summary; }
    QString body() const { return m_body; }
    void setBody(const QString &body) { m_body = body; }
    QDateTime timestamp() const { return m_timestamp; }
    void setTimestamp(const QDateTime &timestamp) { m_timestamp = timestamp; }
    unsigned int count() const { return m_count; }
    void setCount(unsigned int count) { m_count = count; }
    QString identifier() const { return m_identifier; }
    void setIdentifier(const QString &identifier) { m_identifier = identifier; }
    // The call made when the user activates the notification.
    void setAction(const MRemoteAction &action);
    MRemoteAction action() const;

    // Shows the notification, replacing the one this object stands for.
    // False, with a warning, when no notification server is on the bus.
    virtual bool publish();
    // Withdraws the notification; false when this object stands for none.
    virtual bool remove();
    // Whether this object stands for a notification that is still shown.
    bool isPublished() const;

    // Handles for every notification of this program still shown, in the
    // order they were first published; the caller owns the objects.
    static QList<MNotification *> notifications();

private:
    friend class MNotificationService;

    QString m_eventType;
    QString m_summary;
    QString m_body;
    QDateTime m_timestamp;
    unsigned int m_count = 0;
    QString m_identifier;
    QString m_action; // text form of the remote action
    quint64 m_key = 0; // the layer's number of the shown notification, 0 for none
};

#endif // MNOTIFICATION_H
