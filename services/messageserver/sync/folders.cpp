#include "sync/sync.h"

#include <qmailaccount.h>

#include <algorithm>

namespace Sync {

namespace {

const QString OutboxPath = QStringLiteral("Outbox");

bool selectable(const QList<QByteArray> &attributes)
{
    return std::none_of(attributes.cbegin(), attributes.cend(), [](const QByteArray &a) {
        return a.toLower() == "\\noselect" || a.toLower() == "\\nonexistent";
    });
}

QString parentOf(const RemoteFolder &remote)
{
    const int cut = remote.separator.isNull() ? -1 : remote.path.lastIndexOf(remote.separator);
    return cut < 0 ? QString() : remote.path.left(cut);
}

} // namespace

FolderPlan planFolders(const QList<RemoteFolder> &listing, bool complete,
                       const QList<StoredFolder> &stored,
                       const QMap<QMailFolder::StandardFolder, QMailFolderId> &roles,
                       bool outboxOnServer)
{
    FolderPlan plan;
    // Parents before children, each path once.
    QList<RemoteFolder> remote = listing;
    std::stable_sort(remote.begin(), remote.end(),
                     [](const RemoteFolder &a, const RemoteFolder &b) { return a.path < b.path; });
    remote.erase(
        std::unique(remote.begin(), remote.end(),
                    [](const RemoteFolder &a, const RemoteFolder &b) { return a.path == b.path; }),
        remote.end());
    QSet<QString> listed;
    for (const RemoteFolder &folder : qAsConst(remote)) {
        listed.insert(folder.path);
    }
    QHash<QMailFolderId, const StoredFolder *> byId;
    for (const StoredFolder &folder : stored) {
        byId.insert(folder.folder.id(), &folder);
    }
    const QMailFolderId outbox = byId.contains(roles.value(QMailFolder::OutboxFolder))
        ? roles.value(QMailFolder::OutboxFolder)
        : QMailFolderId();
    // Where the outbox is a folder of the store only, a remote folder of the
    // same name is another folder.
    QHash<QString, const StoredFolder *> byPath;
    for (const StoredFolder &folder : stored) {
        if (outboxOnServer || folder.folder.id() != outbox) {
            byPath.insert(folder.folder.path(), &folder);
        }
    }

    // Gone: only a listing that worked and names something says so. What
    // holds needed mail stays, and so does every folder above it, since a
    // folder leaves with its sub-folders.
    QSet<QMailFolderId> gone, kept;
    if (complete && !remote.isEmpty()) {
        for (const StoredFolder &folder : stored) {
            if (!listed.contains(folder.folder.path()) && folder.folder.id() != outbox) {
                gone.insert(folder.folder.id());
            }
        }
        for (const StoredFolder &folder : stored) {
            if (!gone.contains(folder.folder.id()) || !folder.holdsNeeded) {
                continue;
            }
            for (const StoredFolder *up = &folder;
                 up && gone.contains(up->folder.id()) && !kept.contains(up->folder.id());
                 up = byId.value(up->folder.parentFolderId())) {
                kept.insert(up->folder.id());
            }
        }
    }
    auto stays = [&](const QString &path) {
        const StoredFolder *folder = byPath.value(path);
        return folder
            && (!gone.contains(folder->folder.id()) || kept.contains(folder->folder.id()));
    };

    // Candidates for each role: by special-use attribute (rank 0) before by name (1).
    QMap<QMailFolder::StandardFolder, QList<QPair<int, QString>>> candidates;
    for (const RemoteFolder &folder : qAsConst(remote)) {
        const StoredFolder *had = byPath.value(folder.path);
        QMailFolder wanted = had ? had->folder : QMailFolder();
        const QString parent = parentOf(folder);
        wanted.setPath(folder.path);
        wanted.setDisplayName(!folder.displayName.isEmpty()
                                  ? folder.displayName
                                  : folder.path.mid(parent.isEmpty() ? 0 : parent.size() + 1));
        wanted.setParentFolderId(stays(parent) ? byPath.value(parent)->folder.id()
                                               : QMailFolderId());
        wanted.setStatus(QMailFolder::MessagesPermitted, selectable(folder.attributes));
        wanted.setStatus(QMailFolder::Removed, false);
        const QMailFolder::StandardFolder role
            = roleOf(folder.path, folder.attributes, outboxOnServer);
        if (role != 0) {
            wanted.setStatus(QMailFolder::statusForStandardFolder(role), true);
            const bool byAttribute = roleOf(QString(), folder.attributes) == role;
            candidates[role].append({ byAttribute ? 0 : 1, folder.path });
        }
        if (role == QMailFolder::InboxFolder) {
            wanted.setStatus(QMailFolder::Incoming, true);
        }
        // A parent added now gets its id when it is stored.
        const bool newParent = !parent.isEmpty() && listed.contains(parent) && !stays(parent);
        if (!had || wanted != had->folder || newParent) {
            plan.store.append({ wanted, newParent ? parent : QString() });
        }
    }
    for (const StoredFolder &folder : stored) {
        const QMailFolderId id = folder.folder.id();
        if (kept.contains(id)) {
            plan.keep.append(id);
            if (!(folder.folder.status() & QMailFolder::Removed)) {
                QMailFolder marked = folder.folder;
                marked.setStatus(QMailFolder::Removed, true);
                plan.store.append({ marked, QString() });
            }
        } else if (gone.contains(id)) {
            plan.remove.append(id);
        }
    }

    for (auto it = candidates.cbegin(); it != candidates.cend(); ++it) {
        const int best = std::min_element(it->cbegin(), it->cend())->first;
        const StoredFolder *current = byId.value(roles.value(it.key()));
        const bool keepsCurrent = current && it->contains({ best, current->folder.path() });
        if (!keepsCurrent) {
            plan.roles.insert(
                it.key(),
                std::find_if(it->cbegin(), it->cend(), [best](const QPair<int, QString> &c) {
                    return c.first == best;
                })->second);
        }
    }
    // A role whose folder is gone has none until a listing offers one.
    for (auto it = roles.cbegin(); it != roles.cend(); ++it) {
        if (it.value().isValid() && (gone.contains(it.value()) || !byId.contains(it.value()))
            && it.key() != QMailFolder::OutboxFolder && !plan.roles.contains(it.key())) {
            plan.roles.insert(it.key(), QString());
        }
    }
    // The outbox holds what is to be sent; the remote side has none, so it
    // is a folder of the store.
    if (!outbox.isValid() && !plan.roles.contains(QMailFolder::OutboxFolder)) {
        const StoredFolder *had = byPath.value(OutboxPath);
        if (had && !listed.contains(OutboxPath) && !gone.contains(had->folder.id())) {
            plan.roles.insert(QMailFolder::OutboxFolder, OutboxPath);
        } else {
            plan.makeOutbox = true;
        }
    }
    return plan;
}

QMailServiceAction::Status syncFolders(const QMailAccountId &accountId,
                                       const QList<RemoteFolder> &listing, bool complete,
                                       bool outboxOnServer, const Unexported &unexported,
                                       QMailFolderIdList *removed)
{
    QMailStore *store = QMailStore::instance();
    auto failure = [&](const QString &what) {
        const QString reason = store->lastErrorText();
        if (store->inTransaction()) {
            store->rollbackTransaction();
        }
        return QMailServiceAction::Status(codeForStore(reason),
                                          QStringLiteral("%1: %2").arg(what, reason), accountId);
    };
    QMailAccount account = store->account(accountId);
    QSet<QString> listed;
    for (const RemoteFolder &folder : listing) {
        listed.insert(folder.path);
    }
    QSet<QMailMessageId> movedHere; // by the user, the move not yet carried out
    bool originsRead = false;
    auto needed = [&](const QMailFolderId &folderId) {
        const QMailMessageIdList ids
            = store->queryMessages(QMailMessageKey::parentFolderId(folderId));
        if (!ids.isEmpty() && !originsRead) {
            originsRead = true;
            const QList<QMailServerCopy> origins = store->messageOrigins(QMailAccountId());
            for (const QMailServerCopy &origin : origins) {
                movedHere.insert(origin.messageId);
            }
        }
        return std::any_of(ids.cbegin(), ids.cend(), [&](const QMailMessageId &id) {
            const QMailMessageMetaData message = store->messageMetaData(id);
            return message.serverUid().isEmpty() || movedHere.contains(id)
                || (message.status()
                    & (QMailMessageMetaData::Outbox | QMailMessageMetaData::LocalOnly))
                || (unexported && unexported(message));
        });
    };
    QList<StoredFolder> stored;
    const QMailFolderIdList ids = store->queryFolders(QMailFolderKey::parentAccountId(accountId));
    for (const QMailFolderId &id : ids) {
        StoredFolder folder { store->folder(id), false };
        folder.holdsNeeded = complete && !listed.contains(folder.folder.path()) && needed(id);
        stored.append(folder);
    }
    const FolderPlan plan
        = planFolders(listing, complete, stored, account.standardFolders(), outboxOnServer);

    if (!store->startTransaction()) {
        return failure(QStringLiteral("Cannot change the folders"));
    }
    QHash<QString, QMailFolderId> byPath; // of the folders that stay
    const QMailFolderId outbox = account.standardFolder(QMailFolder::OutboxFolder);
    for (const StoredFolder &folder : qAsConst(stored)) {
        if (!plan.remove.contains(folder.folder.id())
            && (outboxOnServer || folder.folder.id() != outbox)) {
            byPath.insert(folder.folder.path(), folder.folder.id());
        }
    }
    for (const FolderPlan::Change &change : plan.store) {
        QMailFolder folder = change.folder;
        folder.setParentAccountId(accountId);
        if (!change.parentPath.isEmpty()) {
            folder.setParentFolderId(byPath.value(change.parentPath));
        }
        if (!(folder.id().isValid() ? store->updateFolder(&folder) : store->addFolder(&folder))) {
            return failure(QStringLiteral("Cannot store folder \"%1\"").arg(folder.path()));
        }
        byPath.insert(folder.path(), folder.id());
    }
    for (const QMailFolderId &id : plan.remove) {
        // A sub-folder left with its parent already.
        if (store->folder(id).id().isValid() && !store->removeFolder(id)) {
            return failure(
                QStringLiteral("Cannot remove folder \"%1\"").arg(QMailFolder(id).path()));
        }
        removed->append(id);
    }
    for (auto it = plan.roles.cbegin(); it != plan.roles.cend(); ++it) {
        account.setStandardFolder(it.key(), byPath.value(it.value()));
    }
    if (plan.makeOutbox) {
        QMailFolder outbox(OutboxPath, QMailFolderId(), accountId);
        outbox.setDisplayName(OutboxPath);
        outbox.setStatus(QMailFolder::MessagesPermitted | QMailFolder::Outgoing, true);
        if (!store->addFolder(&outbox)) {
            return failure(QStringLiteral("Cannot store the outbox"));
        }
        account.setStandardFolder(QMailFolder::OutboxFolder, outbox.id());
    }
    if (account != store->account(accountId) && !store->updateAccount(&account)) {
        return failure(QStringLiteral("Cannot store the account's standard folders"));
    }
    if (!store->commitTransaction()) {
        return failure(QStringLiteral("Cannot change the folders"));
    }
    return QMailServiceAction::Status(QMailServiceAction::Status::ErrNoError, QString(), accountId);
}

} // namespace Sync
