#ifndef MNOTIFICATIONDATA_H
#define MNOTIFICATIONDATA_H

#include <QDateTime>
#include <QString>

// What one notification shows and does: the values a program sets on an
// MNotification, sends to the notification server and keeps in the state
// file, held in one place.
struct MNotificationData
{
    QString eventType; // e.g. "email.arrived": how the server files and shows it
    QString summary;
    QString body; // plain text
    QString image; // icon name or file; empty for the event type's own icon
    QDateTime timestamp; // invalid when the notification has none
    unsigned int count = 0; // number of items it stands for, 0 for none
    QString identifier; // the program's own name for it
    QString action; // text form of the remote action (MRemoteAction::toString())
};

#endif // MNOTIFICATIONDATA_H
