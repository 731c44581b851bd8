// The new-mail notification of the daemon object: which mail it covers, and
// how it is shown, republished and withdrawn.

#include "postvane.h"

#include "iriauthority.h"
#include "logcategories.h"
#include "mnotification.h"
#include "mremoteaction.h"
#include "qtn_mail.h"

#include <qmailaccount.h>
#include <qmailfolder.h>
#include <qmailmessage.h>
#include <qmailstore.h>

#include <QStringList>
#include <QVariant>

namespace {

// Mail older than this, in whole days, is not announced as new.
const qint64 maximumAgeDays = 180;

// A summary of several senders stops growing at this length.
const int summaryLengthLimit = 80;

const QString &nameSeparator()
{
    static const QString text = QStringLiteral(", ");
    return text;
}

const QString &ellipsis()
{
    static const QString text = QStringLiteral("...");
    return text;
}

const QString &tavikService()
{
    static const QString text = QStringLiteral("com.brenmor.tavik");
    return text;
}

const QString &tavikPath()
{
    static const QString text = QStringLiteral("/org/velmar/m");
    return text;
}

const QString &tavikInterface()
{
    static const QString text = QStringLiteral("com.brenmor.MApplicationIf");
    return text;
}

const QString &tavikMethod()
{
    static const QString text = QStringLiteral("launch");
    return text;
}

const QString &messageIriPrefix()
{
    static const QString text
        = QStringLiteral("qmf://") + iriAuthority() + QStringLiteral("/email#");
    return text;
}

const QString &folderIriPrefix()
{
    static const QString text
        = QStringLiteral("qmf://") + iriAuthority() + QStringLiteral("/folder#");
    return text;
}

// Singular "/account#": the e-mail application's form, not the mirror's.
const QString &accountIriPrefix()
{
    static const QString text
        = QStringLiteral("qmf://") + iriAuthority() + QStringLiteral("/account#");
    return text;
}

// Numbers the identifiers of the notifications this process publishes.
int notificationCounter = 0;

bool isRead(const QMailMessageMetaData &metaData)
{
    return metaData.status() & (QMailMessageMetaData::Read | QMailMessageMetaData::ReadElsewhere);
}

} // namespace

void Postvane::notifyNewItems(const QMailMessageIdList &newItems)
{
    if (newItems.isEmpty() && !publishedChanged) {
        return;
    }
    QList<MNotification *> notifications = MNotification::notifications();
    syncPublishedList(notifications);
    collectNewItems(newItems);
    if (publishedChanged) {
        if (notifications.isEmpty()) {
            notifications.append(
                new MNotification(MNotification::EmailArrivedEvent, QString(), QString()));
        }
        // Only the first notification is rebuilt; any others stay as they are.
        publishNotification(notifications.first());
    }
    qDeleteAll(notifications);
}

void Postvane::syncPublishedList(QList<MNotification *> &notifications)
{
    const int before = published.size();
    if (notifications.isEmpty()) {
        // Dismissed by the user, or never shown.
        published.clear();
    } else {
        QStringList identifiers;
        for (const MNotification *notification : qAsConst(notifications)) {
            identifiers << notification->identifier();
        }
        for (auto it = published.begin(); it != published.end();) {
            if (identifiers.contains(it.value()->notificationId)) {
                ++it;
            } else {
                it = published.erase(it);
            }
        }
    }
    if (published.size() != before) {
        publishedChanged = true;
    }
}

void Postvane::collectNewItems(const QMailMessageIdList &ids)
{
    const QDateTime now = QDateTime::currentDateTime();
    for (const QMailMessageId &id : ids) {
        const QMailMessageMetaData metaData = storage->messageMetaData(id);
        if (!metaData.id().isValid()) {
            // Gone again before we looked: nothing to show.
            qMailLog(Notifications) << "notifyNewItems: message with id" << id
                                    << "is ignored as it is not in the store";
            continue;
        }
        if (isRead(metaData)) {
            qMailLog(Notifications) << "notifyNewItems: message '" << metaData.subject()
                                    << "' is ignored as already read";
            continue;
        }
        if (!isNotifiableFolder(metaData.parentFolderId())) {
            qMailLog(Notifications)
                << "notifyNewItems: message '" << metaData.subject() << "' from the folder "
                << metaData.parentFolderId() << " is ignored (folder check)";
            continue;
        }
        const QMailTimeStamp stamp = metaData.date();
        QDateTime date;
        if (stamp.isValid()) {
            date = stamp.toLocalTime();
            const qint64 days = date.daysTo(now);
            if (days > maximumAgeDays) {
                qMailLog(Notifications)
                    << "notifyNewItems: message '" << metaData.subject() << "' received " << date
                    << " is too late to notify: " << days << " days ";
                continue;
            }
        }
        QSharedPointer<PublishedItem> item(new PublishedItem);
        item->id = id;
        item->from = metaData.from().toString(false);
        item->name = metaData.from().name();
        item->subject = metaData.subject();
        if (item->subject.isEmpty()) {
            item->subject = qtTrId(qtn_mail::no_subject, -1);
        }
        item->date = date;
        item->folderId = metaData.parentFolderId();
        item->accountId = metaData.parentAccountId();
        published.insert(id, item);
        publishedChanged = true;
    }
}

bool Postvane::isNotifiableFolder(const QMailFolderId &folder)
{
    const auto cached = folderCache.constFind(folder);
    if (cached != folderCache.constEnd()) {
        return cached.value();
    }
    const QMailFolder mailFolder = storage->folder(folder);
    const QMailAccount account(mailFolder.parentAccountId());
    const QMailFolderId inbox = account.standardFolder(QMailFolder::InboxFolder);
    // A folder the store does not know is no inbox, even of an account it
    // does not know either.
    const bool notifiable = mailFolder.id().isValid()
        && ((mailFolder.status() & QMailFolder::Favourite) || mailFolder.id() == inbox);
    folderCache.insert(folder, notifiable);
    return notifiable;
}

void Postvane::removePublished(const QMailMessageId &id)
{
    if (published.remove(id) > 0) {
        publishedChanged = true;
    }
}

void Postvane::removePublishedAccount(const QMailAccountId &account)
{
    for (auto it = published.begin(); it != published.end();) {
        if (it.value()->accountId == account) {
            it = published.erase(it);
            publishedChanged = true;
        } else {
            ++it;
        }
    }
}

void Postvane::checkReadItems(const QMailMessageIdList &ids)
{
    for (const QMailMessageId &id : ids) {
        qMailLog(Notifications) << "notifyNewItems: message with id " << id << " is updated";
        if (!published.contains(id)) {
            continue;
        }
        const QMailMessageMetaData metaData = storage->messageMetaData(id);
        qMailLog(Notifications) << "notifyNewItems: message with id " << id
                                << " is found in the published list";
        if (isRead(metaData)) {
            qMailLog(Notifications)
                << "notifyNewItems: message with id " << id << " and subject '"
                << metaData.subject() << "' is removed from notifications as already read";
            published.remove(id);
            publishedChanged = true;
        }
    }
}

void Postvane::publishNotification(MNotification *notification)
{
    const int count = published.size();
    QList<QVariant> arguments;

    if (count == 0) {
        notification->remove();
        return;
    }
    if (count == 1) {
        const QSharedPointer<PublishedItem> &item = published.first();
        notification->setSummary(item->name);
        notification->setBody(item->subject);
        notification->setTimestamp(item->date);
        const QVariant argument(
            QStringList(messageIriPrefix() + QString::number(item->id.toULongLong(), 10)));
        arguments.append(argument);
        qMailLog(Notifications) << "notifyNewItems: d-bus argument is " << argument;
    } else {
        QString senders;
        QString summary;
        QDateTime latest;
        for (const QSharedPointer<PublishedItem> &item : qAsConst(published)) {
            if (!senders.contains(item->from)) {
                senders.append(item->from);
                if (summary.size() >= summaryLengthLimit) {
                    summary.append(ellipsis() + nameSeparator());
                    break;
                }
                summary.append(item->name + nameSeparator());
            }
            if (!latest.isValid() || latest < item->date) {
                latest = item->date;
            }
        }
        summary.chop(nameSeparator().size());

        const QSharedPointer<PublishedItem> &first = published.first();
        bool oneFolder = true;
        bool oneAccount = true;
        for (auto it = std::next(published.constBegin()); it != published.constEnd() && oneAccount;
             ++it) {
            if (it.value()->folderId != first->folderId) {
                oneFolder = false;
            }
            if (it.value()->accountId != first->accountId) {
                oneAccount = false;
            }
        }
        if (oneFolder) {
            const QVariant argument(QStringList(
                folderIriPrefix() + QString::number(first->folderId.toULongLong(), 10)));
            arguments.append(argument);
            qMailLog(Notifications) << "notifyNewItems: d-bus argument is " << argument;
        } else if (oneAccount) {
            const QVariant argument(QStringList(
                accountIriPrefix() + QString::number(first->accountId.toULongLong(), 10)));
            arguments.append(argument);
            qMailLog(Notifications) << "notifyNewItems: d-bus argument is " << argument;
        }

        notification->setSummary(summary);
        notification->setBody(qtTrId(qtn_mail::notification_new_messages, -1)
                                  .arg(qint64(count), 0, 10, QLatin1Char(' ')));
        notification->setTimestamp(latest);
    }

    notification->setAction(MRemoteAction(tavikService(), tavikPath(), tavikInterface(),
                                          tavikMethod(), arguments, nullptr));
    notification->setCount(uint(count));
    const QString identifier
        = QStringLiteral("TavikNotification_") + QString::number(notificationCounter++);
    notification->setIdentifier(identifier);
    for (const QSharedPointer<PublishedItem> &item : qAsConst(published)) {
        item->notificationId = identifier;
    }
    notification->publish();
    publishedChanged = false;
}

void Postvane::clearNotifications()
{
    // Everything this process has on display, also what an earlier run left.
    const QList<MNotification *> notifications = MNotification::notifications();
    for (MNotification *notification : notifications) {
        notification->remove();
    }
    qDeleteAll(notifications);
    published.clear();
    publishedChanged = true;
}
