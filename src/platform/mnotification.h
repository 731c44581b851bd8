#ifndef MNOTIFICATION_H
#define MNOTIFICATION_H

#include "mnotificationdata.h"

#include <QList>
#include <QObject>

class MRemoteAction;

// One notification of this program on the desktop's notification service
// (org.freedesktop.Notifications on the session bus).
//
// An object is a handle: publishing it shows the notification, or replaces
// the one it already stands for; deleting the object leaves the notification
// on display. notifications() hands out handles for every notification this
// program published that is still shown, also those left by an earlier run
// (the layer keeps them in a small state file under $XDG_STATE_HOME).
//
// Nothing here waits for the notification server: publish() and remove()
// send their calls and return, and the server's answers are taken in as they
// come, so a slow server delays the display, never the program.
class MNotification : public QObject
{
    Q_OBJECT
public:
    // Event type of a new-mail notification.
    static const QString EmailArrivedEvent;

    explicit MNotification(const QString &eventType, const QString &summary = QString(),
                           const QString &body = QString());
    ~MNotification() override;

    QString eventType() const { return m_data.eventType; }
    QString summary() const { return m_data.summary; }
    void setSummary(const QString &summary) { m_data.summary = summary; }
    QString body() const { return m_data.body; }
    void setBody(const QString &body) { m_data.body = body; }
    QString image() const { return m_data.image; }
    void setImage(const QString &image) { m_data.image = image; }
    QDateTime timestamp() const { return m_data.timestamp; }
    void setTimestamp(const QDateTime &timestamp) { m_data.timestamp = timestamp; }
    unsigned int count() const { return m_data.count; }
    void setCount(unsigned int count) { m_data.count = count; }
    QString identifier() const { return m_data.identifier; }
    void setIdentifier(const QString &identifier) { m_data.identifier = identifier; }
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

    MNotificationData m_data;
    quint64 m_key = 0; // the layer's number of the shown notification, 0 for none
};

#endif // MNOTIFICATION_H
