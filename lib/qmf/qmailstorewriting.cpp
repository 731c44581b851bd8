// Adding, updating and removing accounts, folders and messages, inside the
// transaction that write() has opened. Each records what it changed.
#include "qmailstore_p.h"

#include "qmailmaildir.h"

#include <QFile>
#include <QSqlError>

#include <sys/stat.h>

using QMailStoreSql::idList;
using QMailStoreSql::text;

namespace {

const char AccountColumns[] = "name, signature, fromaddress, fromname, status";
const char FolderColumns[] = "path, displayname, parentfolderid, parentaccountid, status";
const char MessageColumns[]
    = "parentfolderid, parentaccountid, status, subject, sender, senderaddress, recipients, sent,"
      " sentoffset, received, receivedoffset, serveruid, size, content, inresponseto,"
      " contentscheme, contentidentifier";

} // namespace

// One row's columns, inserted (with the given id unless it is 0) or updated.
// The statement is prepared once per shape.
bool QMailStorePrivate::writeRow(const QString &table, const char *columns, QVariantList values,
                                 quint64 *id, bool add, const QString &what)
{
    // The text of each shape is made once: a bulk import writes a row per message.
    const int shape = add ? (*id != 0 ? 1 : 0) : 2;
    QString &sql = rowStatements[qMakePair(table, shape)];
    if (sql.isEmpty()) {
        const QStringList names = QString::fromLatin1(columns).split(QLatin1String(", "));
        if (add) {
            QStringList inserted = names;
            if (*id != 0)
                inserted.prepend(QStringLiteral("id"));
            sql = QStringLiteral("INSERT INTO ") + table + QStringLiteral(" (")
                + inserted.join(QLatin1String(", ")) + QStringLiteral(") VALUES (?")
                + QStringLiteral(", ?").repeated(inserted.size() - 1) + QLatin1Char(')');
        } else {
            sql = QStringLiteral("UPDATE ") + table + QStringLiteral(" SET ")
                + names.join(QLatin1String(" = ?, ")) + QStringLiteral(" = ? WHERE id = ?");
        }
    }
    if (add && *id != 0)
        values.prepend(qint64(*id));
    else if (!add)
        values.append(qint64(*id));
    QSqlQuery &query = prepared(sql);
    for (const QVariant &value : qAsConst(values))
        query.addBindValue(value);
    if (!query.exec())
        return sqlFailed(query, what);
    if (*id == 0)
        *id = quint64(query.lastInsertId().toLongLong());
    query.finish();
    return true;
}

bool QMailStorePrivate::saveAccount(QMailAccount *account, bool add)
{
    quint64 id = account->id().toULongLong();
    if (add && id != 0 && exists(QStringLiteral("accounts"), id)) {
        setError(QMailStore::ConstraintFailure,
                 QStringLiteral("Account %1 exists already").arg(id));
        return false;
    }
    if (!add && !checkUpdatable(QStringLiteral("accounts"), id, "account"))
        return false;
    const QMailAddress &from = account->fromAddress();
    if (!writeRow(
            QStringLiteral("accounts"), AccountColumns,
            { text(account->name()), text(account->signature()), text(from.address()),
              text(from.hasDisplayName() ? from.name() : QString()), qint64(account->status()) },
            &id, add,
            add ? QStringLiteral("Adding an account") : QStringLiteral("Updating an account")))
        return false;
    account->setId(QMailAccountId(id));
    if (!saveStandardFolders(*account))
        return false;
    pending.record(add ? AccountsAdded : AccountsUpdated, account->id());
    return true;
}

bool QMailStorePrivate::saveFolder(QMailFolder *folder, bool add)
{
    quint64 id = folder->id().toULongLong();
    if (!add && !checkUpdatable(QStringLiteral("folders"), id, "folder"))
        return false;
    if (!checkFolderParents(*folder))
        return false;
    if (!writeRow(QStringLiteral("folders"), FolderColumns,
                  { text(folder->m_path), text(folder->m_displayName),
                    qint64(folder->parentFolderId().toULongLong()),
                    qint64(folder->parentAccountId().toULongLong()), qint64(folder->status()) },
                  &id, add,
                  add ? QStringLiteral("Adding a folder") : QStringLiteral("Updating a folder")))
        return false;
    folder->setId(QMailFolderId(id));
    pending.record(add ? FoldersAdded : FoldersUpdated, folder->id());
    return true;
}

bool QMailStorePrivate::checkMessageParents(QMailMessageMetaData *metaData, bool add)
{
    if (metaData->parentFolderId().isValid()) {
        // Only the folder's account: this runs for every message of an import.
        const quint64 folderId = metaData->parentFolderId().toULongLong();
        QSqlQuery &query
            = prepared(QStringLiteral("SELECT parentaccountid FROM folders WHERE id = ?"));
        query.addBindValue(qint64(folderId));
        const bool found = query.exec() && query.next();
        const quint64 accountId = found ? quint64(query.value(0).toLongLong()) : 0;
        if (!found && query.lastError().isValid())
            sqlFailed(query, QStringLiteral("Loading folder"));
        else if (!found)
            setError(QMailStore::ConstraintFailure,
                     QStringLiteral("The folder %1 does not exist").arg(folderId));
        query.finish();
        if (!found)
            return false;
        // A message filed in an account's folder belongs to that account.
        if (add && !metaData->parentAccountId().isValid())
            metaData->setParentAccountId(QMailAccountId(accountId));
    }
    if (metaData->parentAccountId().isValid()
        && !exists(QStringLiteral("accounts"), metaData->parentAccountId().toULongLong())) {
        if (error == QMailStore::NoError)
            setError(QMailStore::ConstraintFailure,
                     QStringLiteral("The account %1 does not exist")
                         .arg(metaData->parentAccountId().toULongLong()));
        return false;
    }
    return true;
}

bool QMailStorePrivate::saveMessage(QMailMessageMetaData *metaData, QMailMessage *message, bool add)
{
    quint64 id = add ? 0 : metaData->id().toULongLong();
    if (!add && !checkUpdatable(QStringLiteral("messages"), id, "message"))
        return false;
    if (!checkMessageParents(metaData, add))
        return false;
    const bool withContent
        = message && message->hasRfc2822Content() && (add || message->m_contentModified);
    if (add) {
        if (withContent && metaData->size() == 0)
            metaData->setSize(uint(message->m_rfc2822.size()));
        // A copy of another message's metadata must not share its content file.
        if (withContent || isOwnContent(*metaData)) {
            metaData->setContentScheme(QString());
            metaData->setContentIdentifier(QString());
        }
    } else if (withContent) {
        // Keep the old file's name for removal after the commit.
        const QMailMessageMetaData stored
            = loadMetaData(QStringLiteral("id = ?"), QVariantList() << qint64(id));
        message->setContentScheme(stored.contentScheme());
        message->setContentIdentifier(stored.contentIdentifier());
        if (!storeContent(message))
            return false;
        message->stampPartLocations();
    }
    if (!writeRow(QStringLiteral("messages"), MessageColumns, QMailStoreSql::messageRow(*metaData),
                  &id, add,
                  add ? QStringLiteral("Adding a message") : QStringLiteral("Updating a message")))
        return false;
    metaData->setId(QMailMessageId(id));
    if (add && withContent) {
        if (!storeContent(message))
            return false;
        message->stampPartLocations();
        if (!exec(QStringLiteral(
                      "UPDATE messages SET contentscheme = ?, contentidentifier = ? WHERE id = ?"),
                  QVariantList() << text(message->contentScheme())
                                 << text(message->contentIdentifier()) << qint64(id)))
            return false;
    }
    pending.record(add ? MessagesAdded : MessagesUpdated, metaData->id());
    return true;
}

bool QMailStorePrivate::saveStandardFolders(const QMailAccount &account)
{
    const qint64 id = qint64(account.id().toULongLong());
    if (!exec(QStringLiteral("DELETE FROM accountfolders WHERE accountid = ?"),
              QVariantList() << id))
        return false;
    const auto folders = account.standardFolders();
    for (auto it = folders.cbegin(); it != folders.cend(); ++it) {
        if (!it.value().isValid())
            continue;
        if (!exists(QStringLiteral("folders"), it.value().toULongLong())) {
            setError(QMailStore::ConstraintFailure,
                     QStringLiteral("The %1 folder %2 of account %3 does not exist")
                         .arg(QMailFolder::standardFolderName(it.key()))
                         .arg(it.value().toULongLong())
                         .arg(id));
            return false;
        }
        if (!exec(QStringLiteral(
                      "INSERT INTO accountfolders (accountid, kind, folderid) VALUES (?, ?, ?)"),
                  QVariantList() << id << int(it.key()) << qint64(it.value().toULongLong())))
            return false;
    }
    return true;
}

bool QMailStorePrivate::checkFolderParents(const QMailFolder &folder)
{
    if (folder.parentAccountId().isValid()
        && !exists(QStringLiteral("accounts"), folder.parentAccountId().toULongLong())) {
        setError(QMailStore::ConstraintFailure,
                 QStringLiteral("The parent account %1 does not exist")
                     .arg(folder.parentAccountId().toULongLong()));
        return false;
    }
    QMailFolderId parent = folder.parentFolderId();
    if (!parent.isValid())
        return true;
    if (!exists(QStringLiteral("folders"), parent.toULongLong())) {
        setError(QMailStore::ConstraintFailure,
                 QStringLiteral("The parent folder %1 does not exist").arg(parent.toULongLong()));
        return false;
    }
    // A folder may not end up inside itself.
    int guard = 0;
    while (parent.isValid() && guard++ < 10000) {
        if (folder.id().isValid() && parent == folder.id()) {
            setError(QMailStore::ConstraintFailure,
                     QStringLiteral("Folder %1 cannot be placed inside itself")
                         .arg(folder.id().toULongLong()));
            return false;
        }
        parent = loadFolder(parent).parentFolderId();
    }
    return true;
}

bool QMailStorePrivate::deleteMessages(const QList<quint64> &ids, bool record)
{
    if (ids.isEmpty())
        return true;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(
            QStringLiteral("SELECT id, contentscheme, contentidentifier FROM messages WHERE id IN ")
            + idList(ids)))
        return sqlFailed(query, QStringLiteral("Removing messages"));
    QList<quint64> found;
    while (query.next()) {
        found.append(quint64(query.value(0).toLongLong()));
        QMailMessageMetaData metaData;
        metaData.setContentScheme(query.value(1).toString());
        metaData.setContentIdentifier(query.value(2).toString());
        if (isOwnContent(metaData))
            pending.obsolete(contentPath(metaData.contentIdentifier()));
    }
    query.finish();
    if (found.isEmpty())
        return true;
    // The record names the server copy: where the message came from when it
    // was moved since.
    if (record
        && !exec(QStringLiteral(
                     "INSERT OR IGNORE INTO removals (accountid, folderid, serveruid)"
                     " SELECT coalesce(o.accountid, m.parentaccountid),"
                     " coalesce(o.folderid, m.parentfolderid), coalesce(o.serveruid, m.serveruid)"
                     " FROM messages m LEFT JOIN origins o ON o.messageid = m.id WHERE m.id IN ")
                 + idList(found)
                 + QStringLiteral(" AND coalesce(o.serveruid, m.serveruid) != ''"
                                  " AND coalesce(o.accountid, m.parentaccountid) != 0")))
        return false;
    if (!exec(QStringLiteral("DELETE FROM messages WHERE id IN ") + idList(found)))
        return false;
    // Replies keep pointing at nothing rather than at a reused id.
    if (!exec(QStringLiteral("UPDATE messages SET inresponseto = 0 WHERE inresponseto IN ")
              + idList(found)))
        return false;
    pending.record(MessagesRemoved, found);
    return true;
}

bool QMailStorePrivate::deleteFolders(const QList<quint64> &roots)
{
    if (roots.isEmpty())
        return true;
    // Collect the folders with everything below them.
    QList<quint64> all;
    QSet<quint64> seen;
    QList<quint64> level = roots;
    const QString what = QStringLiteral("Removing folders");
    while (!level.isEmpty()) {
        for (quint64 id : level) {
            if (!seen.contains(id)) {
                seen.insert(id);
                all.append(id);
            }
        }
        QList<quint64> children;
        if (!selectIds(QStringLiteral("SELECT id FROM folders WHERE parentfolderid IN ")
                           + idList(level),
                       &children, what))
            return false;
        level.clear();
        for (quint64 child : qAsConst(children)) {
            if (!seen.contains(child))
                level.append(child);
        }
    }
    QList<quint64> existing;
    if (!selectIds(QStringLiteral("SELECT id FROM folders WHERE id IN ") + idList(all), &existing,
                   what))
        return false;
    if (existing.isEmpty())
        return true;
    const QString folders = idList(existing);
    QList<quint64> messages;
    if (!selectIds(QStringLiteral("SELECT id FROM messages WHERE parentfolderid IN ") + folders,
                   &messages, what)
        || !deleteMessages(messages))
        return false;
    // Accounts that used a removed folder for a role lose that role.
    QList<quint64> accounts;
    if (!selectIds(
            QStringLiteral("SELECT DISTINCT accountid FROM accountfolders WHERE folderid IN ")
                + folders,
            &accounts, what))
        return false;
    pending.record(AccountsUpdated, accounts);
    if (!exec(QStringLiteral("DELETE FROM accountfolders WHERE folderid IN ") + folders))
        return false;
    if (!exec(QStringLiteral("DELETE FROM folders WHERE id IN ") + folders))
        return false;
    pending.record(FoldersRemoved, existing);
    return true;
}

bool QMailStorePrivate::deleteAccounts(const QList<quint64> &ids)
{
    if (ids.isEmpty())
        return true;
    const QString accounts = idList(ids);
    const QString what = QStringLiteral("Removing accounts");
    QList<quint64> folders;
    QList<quint64> messages;
    if (!selectIds(QStringLiteral("SELECT id FROM folders WHERE parentaccountid IN ") + accounts,
                   &folders, what)
        || !selectIds(QStringLiteral("SELECT id FROM messages WHERE parentaccountid IN ")
                          + accounts,
                      &messages, what)
        || !deleteMessages(messages) || !deleteFolders(folders))
        return false;
    if (!exec(QStringLiteral("DELETE FROM accountfolders WHERE accountid IN ") + accounts))
        return false;
    if (!exec(QStringLiteral("DELETE FROM accounts WHERE id IN ") + accounts))
        return false;
    pending.record(AccountsRemoved, ids);
    // A removed account is not also "updated" by the loss of its folders.
    pending.forget(AccountsUpdated, ids);
    return true;
}

bool QMailStorePrivate::forEachCopy(const QString &sql, const QList<QMailServerCopy> &copies)
{
    return write([&] {
        for (const QMailServerCopy &copy : copies) {
            if (!exec(sql,
                      QVariantList()
                          << qint64(copy.accountId.toULongLong())
                          << qint64(copy.folderId.toULongLong()) << text(copy.serverUid)))
                return false;
        }
        return true;
    });
}

bool QMailStorePrivate::removeSelected(QMailStoreKeyKind kind, const QMailKeyNode &key, bool record)
{
    return write([&] {
        const QList<quint64> ids = selectIds(kind, key, QMailSortList(), 0, 0);
        if (error != QMailStore::NoError)
            return false;
        switch (kind) {
        case AccountKind:
            return deleteAccounts(ids);
        case FolderKind:
            return deleteFolders(ids);
        case MessageKind:
            break;
        }
        return deleteMessages(ids, record);
    });
}

bool QMailStorePrivate::updateSelected(const QMailKeyNode &key, const QString &assignments,
                                       const QVariantList &values)
{
    const QList<quint64> ids = selectIds(MessageKind, key, QMailSortList(), 0, 0);
    if (error != QMailStore::NoError)
        return false;
    if (ids.isEmpty())
        return true;
    if (!exec(QStringLiteral("UPDATE messages SET ") + assignments + QStringLiteral(" WHERE id IN ")
                  + idList(ids),
              values))
        return false;
    pending.record(MessagesUpdated, ids);
    return true;
}

bool QMailStorePrivate::addMessageFromFile(QMailMessageMetaData *metaData, const QString &path)
{
    QString why;
    const int fd = QMailMessageFile::openRegular(path, &why);
    QFile file;
    struct stat status;
    if (fd < 0 || !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)
        || ::fstat(fd, &status) != 0) {
        setError(fd == -2 ? QMailStore::ContentRefused : QMailStore::ContentInaccessible,
                 QStringLiteral("%1: %2").arg(path, fd < 0 ? why : file.errorString()));
        return false;
    }
    if (status.st_size > QMailMessageFile::MaximumSize) {
        setError(QMailStore::ContentRefused, QMailMessageFile::tooLarge(path));
        return false;
    }
    // Most messages are small: read once, parsed and copied from memory.
    QByteArray bytes;
    const bool whole = readWhole(fd, status.st_size, &bytes);
    if (!whole && !file.seek(0)) {
        setError(QMailStore::ContentInaccessible,
                 QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    why = QMailMessageFile::notMail(
        whole ? QByteArray::fromRawData(bytes.constData(), qMin(bytes.size(), 65536))
              : file.peek(65536));
    if (!why.isEmpty()) {
        setError(QMailStore::ContentRefused,
                 QStringLiteral("%1: not a mail message: %2").arg(path, why));
        return false;
    }
    QMailMessageMetaData copy = *metaData;
    copy.setId(QMailMessageId());
    if (!copy.receivedDate().isValid())
        // In UTC: local time would make every message consult the time zone files.
        copy.setReceivedDate(QMailTimeStamp(QDateTime::fromMSecsSinceEpoch(
            qint64(status.st_mtim.tv_sec) * 1000 + status.st_mtim.tv_nsec / 1000000, Qt::UTC)));
    if (!readHeader(&copy, whole ? nullptr : &file, bytes)) {
        setError(QMailStore::ContentInaccessible,
                 QStringLiteral("Cannot read %1: %2").arg(path, file.errorString()));
        return false;
    }
    copy.setSize(uint(status.st_size));
    return addMessageRow(metaData, &copy, [&] {
        if (linkContent(&copy, fd))
            return true;
        return whole ? storeContent(&copy, bytes) : storeContent(&copy, &file, path);
    });
}

bool QMailStorePrivate::addMessageRow(QMailMessageMetaData *metaData, QMailMessageMetaData *copy,
                                      const std::function<bool()> &content)
{
    const bool ok = write([&] {
        if (!checkMessageParents(copy, true))
            return false;
        copy->setContentScheme(QString());
        copy->setContentIdentifier(QString());
        quint64 id = 0;
        if (!writeRow(QStringLiteral("messages"), MessageColumns, QMailStoreSql::messageRow(*copy),
                      &id, true, QStringLiteral("Adding a message")))
            return false;
        copy->setId(QMailMessageId(id));
        if (!content()
            || !execKept(QStringLiteral("UPDATE messages SET size = ?, contentscheme = ?, "
                                        "contentidentifier = ? WHERE id = ?"),
                         QVariantList() << qint64(copy->size()) << text(copy->contentScheme())
                                        << text(copy->contentIdentifier()) << qint64(id)))
            return false;
        pending.record(MessagesAdded, copy->id());
        return true;
    });
    if (ok)
        *metaData = *copy;
    return ok;
}

bool QMailStorePrivate::addMessageFromData(QMailMessageMetaData *metaData,
                                           const QByteArray &rfc2822)
{
    QMailMessageMetaData copy = *metaData;
    copy.setId(QMailMessageId());
    readHeader(&copy, nullptr, rfc2822);
    copy.setSize(uint(rfc2822.size()));
    return addMessageRow(metaData, &copy, [&] {
        if (rfc2822.size() > QMailMessageFile::MaximumSize) {
            setError(QMailStore::ContentRefused,
                     QMailMessageFile::tooLarge(
                         QStringLiteral("message %1").arg(copy.id().toULongLong())));
            return false;
        }
        return storeContent(&copy, rfc2822);
    });
}
