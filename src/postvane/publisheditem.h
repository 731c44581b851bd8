#ifndef PUBLISHEDITEM_H
#define PUBLISHEDITEM_H

#include <qmailid.h>

#include <QDateTime>
#include <QString>

// One message shown by the new-mail notification.
struct PublishedItem
{
    QMailMessageId id;
    QString from; // the sender as text, compared to tell senders apart
    QString name; // the sender's name as shown
    QString subject; // the no-subject text when the message has none
    QDateTime date; // local time; invalid when the message has no valid date
    QMailFolderId folderId;
    QMailAccountId accountId;
    QString notificationId; // identifier of the notification that last showed it
};

#endif // PUBLISHEDITEM_H
