#include "sync/sync.h"

#include <cerrno>

namespace Sync {

QMailFolder::StandardFolder roleOf(const QString &path, const QList<QByteArray> &attributes,
                                   bool outboxOnServer)
{
    static const QList<QPair<QByteArray, QMailFolder::StandardFolder>> byAttribute = {
        { "\\sent", QMailFolder::SentFolder },
        { "\\trash", QMailFolder::TrashFolder },
        { "\\drafts", QMailFolder::DraftsFolder },
        { "\\junk", QMailFolder::JunkFolder },
    };
    for (const QByteArray &attribute : attributes) {
        for (const auto &known : byAttribute) {
            if (attribute.toLower() == known.first) {
                return known.second;
            }
        }
    }
    static const QHash<QString, QMailFolder::StandardFolder> byName = {
        { QStringLiteral("inbox"), QMailFolder::InboxFolder },
        { QStringLiteral("sent"), QMailFolder::SentFolder },
        { QStringLiteral("sent items"), QMailFolder::SentFolder },
        { QStringLiteral("sent messages"), QMailFolder::SentFolder },
        { QStringLiteral("trash"), QMailFolder::TrashFolder },
        { QStringLiteral("deleted items"), QMailFolder::TrashFolder },
        { QStringLiteral("deleted messages"), QMailFolder::TrashFolder },
        { QStringLiteral("junk"), QMailFolder::JunkFolder },
        { QStringLiteral("spam"), QMailFolder::JunkFolder },
        { QStringLiteral("drafts"), QMailFolder::DraftsFolder },
        { QStringLiteral("outbox"), QMailFolder::OutboxFolder },
    };
    const QMailFolder::StandardFolder role
        = byName.value(path.toLower(), QMailFolder::StandardFolder(0));
    return role == QMailFolder::OutboxFolder && !outboxOnServer ? QMailFolder::StandardFolder(0)
                                                                : role;
}

QMailServiceAction::Status::ErrorCode codeForErrno(int error)
{
    switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return QMailServiceAction::Status::ErrFileSystemFull;
    default:
        return QMailServiceAction::Status::ErrSystemError;
    }
}

QMailServiceAction::Status::ErrorCode codeForStore(const QString &reason)
{
    // SQLite says "database or disk is full"; the content files say "No space left".
    const bool full = reason.contains(QLatin1String("full"), Qt::CaseInsensitive)
        || reason.contains(QLatin1String("space"), Qt::CaseInsensitive);
    return full ? QMailServiceAction::Status::ErrFileSystemFull
                : QMailServiceAction::Status::ErrFrameworkFault;
}

Actions plan(const Folder &folder, const QStringList &listing, bool complete)
{
    Actions actions;
    QSet<QString> listed;
    for (const QString &uid : listing) {
        listed.insert(uid);
        // A copy the user removed or moved waits for the export; one the
        // store lacks otherwise (new, or a store behind) comes in.
        if (!folder.stored.contains(uid) && !folder.records.contains(uid)
            && !folder.movedAway.contains(uid)) {
            actions.import.append(uid);
        }
    }
    if (!complete) {
        return actions;
    }
    for (auto it = folder.stored.cbegin(); it != folder.stored.cend(); ++it) {
        if (!listed.contains(it.key())) {
            actions.drop.append(it.value());
        }
    }
    for (const QString &uid : folder.records) {
        if (!listed.contains(uid)) {
            actions.purgeRecords.append(uid);
        }
    }
    return actions;
}

Folder readStore(const QMailAccountId &accountId, const QMailFolderId &folderId)
{
    Folder folder;
    QMailStore *store = QMailStore::instance();
    QSet<QMailMessageId> elsewhere; // moved here: the copy is at the origin
    const QList<QMailServerCopy> origins = store->messageOrigins(accountId);
    for (const QMailServerCopy &origin : origins) {
        if (origin.folderId == folderId) {
            folder.movedAway.insert(origin.serverUid);
        }
    }
    // The folder's messages in one query, not one per message.
    const QList<QMailMessageMetaData> messages
        = store->messagesMetaData(QMailMessageKey::parentFolderId(folderId));
    if (!messages.isEmpty()) {
        // Messages moved here from any account.
        const QList<QMailServerCopy> all = store->messageOrigins(QMailAccountId());
        for (const QMailServerCopy &origin : all) {
            elsewhere.insert(origin.messageId);
        }
    }
    for (const QMailMessageMetaData &message : messages) {
        const QMailMessageId id = message.id();
        if (message.serverUid().isEmpty()) {
            continue;
        }
        if (elsewhere.contains(id)) {
            // Back where it came from: its copy is here again.
            if (!folder.movedAway.remove(message.serverUid())) {
                continue;
            }
        }
        folder.stored.insert(message.serverUid(), id);
        if (message.status() & QMailMessageMetaData::Removed) {
            folder.removedMarks.insert(message.serverUid());
        }
    }
    const QList<QMailServerCopy> records = store->messageRemovalRecords(accountId);
    for (const QMailServerCopy &record : records) {
        if (record.folderId == folderId) {
            folder.records.insert(record.serverUid);
        }
    }
    return folder;
}

Move moveOf(const QMailServerCopy &origin, const QMailFolder &destination,
            bool destinationHasCopies)
{
    if (destination.id() == origin.folderId) {
        return Move::Home;
    }
    if (!destinationHasCopies) {
        return Move::LeaveAlone;
    }
    return destination.parentAccountId() == origin.accountId ? Move::WithinAccount
                                                             : Move::ToOtherAccount;
}

} // namespace Sync
