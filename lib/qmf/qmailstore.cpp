// The public class: each operation checks its arguments and runs as one write
// of the private part (see qmailstore_p.h for where each job is done).
#include "qmailstore.h"

#include "qmailstore_p.h"

#include <QCoreApplication>

namespace {

QMailStore *storeInstance = nullptr;

void destroyStore()
{
    delete storeInstance;
    storeInstance = nullptr;
}

const char *noun(const QMailAccount *)
{
    return "account";
}

const char *noun(const QMailFolder *)
{
    return "folder";
}

const char *noun(const QMailMessageMetaData *)
{
    return "message";
}

bool saveOne(QMailStorePrivate *d, QMailAccount *account, bool add)
{
    return d->saveAccount(account, add);
}

bool saveOne(QMailStorePrivate *d, QMailFolder *folder, bool add)
{
    if (add)
        folder->setId(QMailFolderId());
    return d->saveFolder(folder, add);
}

bool saveOne(QMailStorePrivate *d, QMailMessageMetaData *metaData, bool add)
{
    return d->saveMessage(metaData, nullptr, add);
}

bool saveOne(QMailStorePrivate *d, QMailMessage *message, bool add)
{
    return d->saveMessage(message, message, add);
}

// Adds or updates every object of the list in one operation. The writer
// works on copies, which go back to the caller only when the whole operation
// has succeeded: a failed operation leaves the caller's objects as they were.
template<typename Object> bool save(QMailStorePrivate *d, const QList<Object *> &objects, bool add)
{
    QList<Object> copies;
    copies.reserve(objects.size());
    for (Object *object : objects) {
        if (!object) {
            d->setError(QMailStore::InvalidId,
                        QStringLiteral("No %1 to %2")
                            .arg(QLatin1String(noun(object)),
                                 add ? QLatin1String("add") : QLatin1String("update")));
            return false;
        }
        copies.append(*object);
    }
    const bool ok = d->write([&] {
        for (Object &copy : copies) {
            if (!saveOne(d, &copy, add))
                return false;
        }
        return true;
    });
    if (ok) {
        for (int i = 0; i < objects.size(); ++i)
            *objects[i] = copies.at(i);
    }
    return ok;
}

} // namespace

QMailStore::QMailStore()
    : d(new QMailStorePrivate(this))
{
    if (!d->open())
        qWarning().noquote() << "QMailStore:" << d->errorText;
}

QMailStore::~QMailStore()
{
    delete d;
}

QMailStore *QMailStore::instance()
{
    if (!storeInstance) {
        storeInstance = new QMailStore;
        // Close the database while Qt is still fully there.
        qAddPostRoutine(destroyStore);
    }
    return storeInstance;
}

QMailStore::InitializationState QMailStore::initializationState()
{
    return storeInstance ? storeInstance->d->state : Uninitialized;
}

QMailStore::ErrorCode QMailStore::lastError() const
{
    return d->error;
}

QString QMailStore::lastErrorText() const
{
    return d->errorText;
}

QString QMailStore::storagePath() const
{
    return d->directory;
}

QString QMailStore::databasePath() const
{
    return d->databaseFile;
}

// Accounts

bool QMailStore::addAccount(QMailAccount *account)
{
    return save(d, QList<QMailAccount *> { account }, true);
}

bool QMailStore::updateAccount(QMailAccount *account)
{
    return save(d, QList<QMailAccount *> { account }, false);
}

bool QMailStore::removeAccount(const QMailAccountId &id)
{
    return removeAccounts(QMailAccountKey::id(id));
}

bool QMailStore::removeAccounts(const QMailAccountKey &key)
{
    return d->removeSelected(AccountKind, key.node());
}

// Folders

bool QMailStore::addFolder(QMailFolder *folder)
{
    return save(d, QList<QMailFolder *> { folder }, true);
}

bool QMailStore::updateFolder(QMailFolder *folder)
{
    return save(d, QList<QMailFolder *> { folder }, false);
}

bool QMailStore::removeFolder(const QMailFolderId &id)
{
    return removeFolders(QMailFolderKey::id(id));
}

bool QMailStore::removeFolders(const QMailFolderKey &key)
{
    return d->removeSelected(FolderKind, key.node());
}

// Messages

bool QMailStore::addMessage(QMailMessage *message)
{
    return save(d, QList<QMailMessage *> { message }, true);
}

bool QMailStore::addMessage(QMailMessageMetaData *metaData)
{
    return save(d, QList<QMailMessageMetaData *> { metaData }, true);
}

bool QMailStore::addMessages(const QList<QMailMessage *> &messages)
{
    return save(d, messages, true);
}

bool QMailStore::addMessages(const QList<QMailMessageMetaData *> &messages)
{
    return save(d, messages, true);
}

bool QMailStore::addMessageFromFile(QMailMessageMetaData *metaData, const QString &path)
{
    return d->addMessageFromFile(metaData, path);
}

bool QMailStore::addMessageFromData(QMailMessageMetaData *metaData, const QByteArray &rfc2822)
{
    return d->addMessageFromData(metaData, rfc2822);
}

bool QMailStore::updateMessage(QMailMessage *message)
{
    return save(d, QList<QMailMessage *> { message }, false);
}

bool QMailStore::updateMessage(QMailMessageMetaData *metaData)
{
    return save(d, QList<QMailMessageMetaData *> { metaData }, false);
}

bool QMailStore::updateMessages(const QList<QMailMessage *> &messages)
{
    return save(d, messages, false);
}

bool QMailStore::updateMessages(const QList<QMailMessageMetaData *> &messages)
{
    return save(d, messages, false);
}

bool QMailStore::updateMessagesMetaData(const QMailMessageKey &key, quint64 status, bool set)
{
    return d->write([&] {
        return d->updateSelected(key.node(),
                                 set ? QStringLiteral("status = (status | ?)")
                                     : QStringLiteral("status = (status & ~?)"),
                                 QVariantList() << qint64(status));
    });
}

bool QMailStore::moveMessages(const QMailMessageKey &key, const QMailFolderId &folderId)
{
    return d->write([&] {
        const QMailFolder target = d->loadFolder(folderId);
        if (!target.id().isValid()) {
            if (d->error == InvalidId || d->error == NoError)
                d->setError(
                    InvalidId,
                    QStringLiteral("No folder %1 to move messages to").arg(folderId.toULongLong()));
            return false;
        }
        QString assignments = QStringLiteral("parentfolderid = ?");
        QVariantList values { qint64(folderId.toULongLong()) };
        if (target.parentAccountId().isValid()) {
            assignments += QStringLiteral(", parentaccountid = ?");
            values << qint64(target.parentAccountId().toULongLong());
        }
        return d->updateSelected(key.node(), assignments, values);
    });
}

bool QMailStore::removeMessage(const QMailMessageId &id, MessageRemovalOption option)
{
    return removeMessages(QMailMessageKey::id(id), option);
}

bool QMailStore::removeMessages(const QMailMessageKey &key, MessageRemovalOption option)
{
    return d->removeSelected(MessageKind, key.node(), option == CreateRemovalRecord);
}

QList<QMailServerCopy> QMailStore::messageRemovalRecords(const QMailAccountId &accountId) const
{
    return d->serverCopies(
        QStringLiteral(
            "SELECT 0, accountid, folderid, serveruid FROM removals WHERE accountid = ?"),
        accountId);
}

QList<QMailServerCopy> QMailStore::messageOrigins(const QMailAccountId &accountId) const
{
    const QString sql
        = QStringLiteral("SELECT messageid, accountid, folderid, serveruid FROM origins");
    return d->serverCopies(accountId.isValid() ? sql + QStringLiteral(" WHERE accountid = ?") : sql,
                           accountId);
}

bool QMailStore::addMessageRemovalRecords(const QList<QMailServerCopy> &records)
{
    return d->forEachCopy(QStringLiteral("INSERT OR IGNORE INTO removals (accountid, folderid, "
                                         "serveruid) VALUES (?, ?, ?)"),
                          records);
}

bool QMailStore::purgeMessageRemovalRecords(const QList<QMailServerCopy> &records)
{
    return d->forEachCopy(
        QStringLiteral("DELETE FROM removals WHERE accountid = ? AND folderid = ? "
                       "AND serveruid = ?"),
        records);
}

bool QMailStore::clearMessageOrigins(const QMailMessageIdList &ids)
{
    QList<quint64> numbers;
    for (const QMailMessageId &id : ids)
        numbers.append(id.toULongLong());
    return numbers.isEmpty() || d->write([&] {
        return d->exec(QStringLiteral("DELETE FROM origins WHERE messageid IN ")
                       + QMailStoreSql::idList(numbers));
    });
}

// Transactions

bool QMailStore::startTransaction()
{
    if (!d->checkReady())
        return false;
    if (d->userTransaction) {
        d->setError(FrameworkFault, QStringLiteral("A transaction is already open"));
        return false;
    }
    if (!d->begin())
        return false;
    d->userTransaction = true;
    return true;
}

bool QMailStore::commitTransaction()
{
    if (!d->userTransaction) {
        d->setError(FrameworkFault, QStringLiteral("No transaction is open"));
        return false;
    }
    d->userTransaction = false;
    d->clearError();
    return d->commit();
}

void QMailStore::rollbackTransaction()
{
    if (d->userTransaction)
        d->rollback();
}

bool QMailStore::inTransaction() const
{
    return d->userTransaction;
}

// Queries

int QMailStore::countAccounts(const QMailAccountKey &key) const
{
    return d->count(AccountKind, key.node());
}

int QMailStore::countFolders(const QMailFolderKey &key) const
{
    return d->count(FolderKind, key.node());
}

int QMailStore::countMessages(const QMailMessageKey &key) const
{
    return d->count(MessageKind, key.node());
}

QMailAccountIdList QMailStore::queryAccounts(const QMailAccountKey &key,
                                             const QMailAccountSortKey &sortKey, uint limit) const
{
    return qmfToIds<QMailAccountId>(
        d->selectIds(AccountKind, key.node(), sortKey.list(), limit, 0));
}

QMailFolderIdList QMailStore::queryFolders(const QMailFolderKey &key,
                                           const QMailFolderSortKey &sortKey, uint limit) const
{
    return qmfToIds<QMailFolderId>(d->selectIds(FolderKind, key.node(), sortKey.list(), limit, 0));
}

QMailMessageIdList QMailStore::queryMessages(const QMailMessageKey &key,
                                             const QMailMessageSortKey &sortKey, uint limit,
                                             uint offset) const
{
    return qmfToIds<QMailMessageId>(
        d->selectIds(MessageKind, key.node(), sortKey.list(), limit, offset));
}

QMailAccount QMailStore::account(const QMailAccountId &id) const
{
    return d->loadAccount(id);
}

QMailFolder QMailStore::folder(const QMailFolderId &id) const
{
    return d->loadFolder(id);
}

QMailMessage QMailStore::message(const QMailMessageId &id) const
{
    return d->loadMessage(id);
}

QMailMessage QMailStore::messageHeaders(const QMailMessageId &id) const
{
    return d->loadMessage(id, false);
}

QList<QMailMessage> QMailStore::messagesHeaders(const QMailMessageIdList &ids) const
{
    QList<QMailMessage> messages;
    if (ids.isEmpty())
        return messages;
    const QList<QMailMessageMetaData> metaData = messagesMetaData(QMailMessageKey::id(ids));
    messages.reserve(metaData.size());
    for (const QMailMessageMetaData &one : metaData) {
        QMailMessage message;
        static_cast<QMailMessageMetaData &>(message) = one;
        d->loadContent(&message, false);
        messages.append(message);
    }
    return messages;
}

QString QMailStore::identity() const
{
    if (!d->checkReady())
        return QString();
    QSqlQuery &query
        = d->prepared(QStringLiteral("SELECT value FROM storeinfo WHERE name = 'identity'"));
    const QString identity = query.exec() && query.next() ? query.value(0).toString() : QString();
    query.finish();
    return identity;
}

QHash<quint64, quint64> QMailStore::changeStamps(ObjectKind kind, const QList<quint64> &ids) const
{
    QHash<quint64, quint64> stamps;
    if (!d->checkReady())
        return stamps;
    static const char *const tables[] = { "accounts", "folders", "messages" };
    QString sql = QStringLiteral("SELECT id, changestamp FROM ") + QLatin1String(tables[kind]);
    if (!ids.isEmpty()) {
        // Ids are numbers: written into the text, one statement for the lot.
        QStringList numbers;
        numbers.reserve(ids.size());
        for (const quint64 id : ids)
            numbers.append(QString::number(id));
        sql += QStringLiteral(" WHERE id IN (") + numbers.join(QLatin1Char(',')) + QLatin1Char(')');
    }
    QSqlQuery query(d->db);
    query.setForwardOnly(true);
    if (!query.exec(sql)) {
        d->sqlFailed(query, QStringLiteral("Reading change stamps"));
        return stamps;
    }
    while (query.next())
        stamps.insert(quint64(query.value(0).toLongLong()), quint64(query.value(1).toLongLong()));
    return stamps;
}

QMailMessageMetaData QMailStore::messageMetaData(const QMailMessageId &id) const
{
    if (!id.isValid()) {
        d->checkReady();
        return QMailMessageMetaData();
    }
    return d->loadMetaData(QStringLiteral("id = ?"), QVariantList() << qint64(id.toULongLong()));
}

QMailMessageMetaData QMailStore::messageMetaData(const QString &serverUid,
                                                 const QMailAccountId &accountId) const
{
    return d->loadMetaData(
        QStringLiteral("parentaccountid = ? AND serveruid = ? ORDER BY id LIMIT 1"),
        QVariantList() << qint64(accountId.toULongLong()) << serverUid);
}

QList<QMailMessageMetaData> QMailStore::messagesMetaData(const QMailMessageKey &key) const
{
    return d->loadMetaData(key.node());
}

void QMailStore::flushIpcNotifications()
{
    d->flush();
}
