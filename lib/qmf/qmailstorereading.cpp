// Reading accounts, folders and messages, and the shape of a message's row.
#include "qmailstore_p.h"

#include <QSqlError>

using QMailStoreSql::text;

namespace {

const char MessageColumns[]
    = "id, parentfolderid, parentaccountid, status, subject, sender, recipients, sent, sentoffset,"
      " received, receivedoffset, serveruid, size, content, inresponseto, contentscheme,"
      " contentidentifier";

// Addresses are kept as "name US address" records separated by RS: cheap to
// read back. Real addresses never contain these control characters; an
// encoded word could smuggle them into a name, so they are blanked there.
const QChar UnitSeparator(0x1f);
const QChar RecordSeparator(0x1e);

QString withoutSeparators(QString text)
{
    text.replace(UnitSeparator, QLatin1Char(' '));
    text.replace(RecordSeparator, QLatin1Char(' '));
    return text;
}

QString encodeAddress(const QMailAddress &address)
{
    if (address.isNull())
        return QString();
    return withoutSeparators(address.hasDisplayName() ? address.name() : QString()) + UnitSeparator
        + withoutSeparators(address.address());
}

QMailAddress decodeAddress(const QString &text)
{
    if (text.isEmpty())
        return QMailAddress();
    const int sep = text.indexOf(UnitSeparator);
    if (sep < 0)
        return QMailAddress(QString(), text);
    return QMailAddress(text.left(sep), text.mid(sep + 1));
}

QString encodeAddresses(const QList<QMailAddress> &addresses)
{
    QStringList records;
    records.reserve(addresses.size());
    for (const QMailAddress &address : addresses)
        records.append(encodeAddress(address));
    return records.join(RecordSeparator);
}

QList<QMailAddress> decodeAddresses(const QString &text)
{
    QList<QMailAddress> addresses;
    if (text.isEmpty())
        return addresses;
    for (const QStringRef &record : text.splitRef(RecordSeparator))
        addresses.append(decodeAddress(record.toString()));
    return addresses;
}

QVariant stampMSecs(const QMailTimeStamp &stamp)
{
    return stamp.isValid() ? QVariant(stamp.toMSecsSinceEpoch()) : QVariant(QVariant::LongLong);
}

QMailTimeStamp stampFrom(const QVariant &msecs, const QVariant &offset)
{
    if (msecs.isNull())
        return QMailTimeStamp();
    return QMailTimeStamp::fromMSecsSinceEpoch(msecs.toLongLong(), offset.toInt());
}

QMailMessageMetaData metaDataOf(const QSqlQuery &query)
{
    QMailMessageMetaData metaData;
    metaData.setId(QMailMessageId(quint64(query.value(0).toLongLong())));
    metaData.setParentFolderId(QMailFolderId(quint64(query.value(1).toLongLong())));
    metaData.setParentAccountId(QMailAccountId(quint64(query.value(2).toLongLong())));
    metaData.setStatus(quint64(query.value(3).toLongLong()));
    metaData.setSubject(query.value(4).toString());
    metaData.setFrom(decodeAddress(query.value(5).toString()));
    metaData.setTo(decodeAddresses(query.value(6).toString()));
    metaData.setDate(stampFrom(query.value(7), query.value(8)));
    metaData.setReceivedDate(stampFrom(query.value(9), query.value(10)));
    metaData.setServerUid(query.value(11).toString());
    metaData.setSize(uint(query.value(12).toLongLong()));
    metaData.setContent(QMailMessageMetaData::ContentType(query.value(13).toInt()));
    metaData.setInResponseTo(QMailMessageId(quint64(query.value(14).toLongLong())));
    metaData.setContentScheme(query.value(15).toString());
    metaData.setContentIdentifier(query.value(16).toString());
    return metaData;
}

} // namespace

namespace QMailStoreSql {

QVariantList messageRow(const QMailMessageMetaData &m)
{
    return { qint64(m.parentFolderId().toULongLong()),
             qint64(m.parentAccountId().toULongLong()),
             qint64(m.status()),
             text(m.subject()),
             text(encodeAddress(m.from())),
             text(m.from().address()),
             text(encodeAddresses(m.to())),
             stampMSecs(m.date()),
             m.date().isValid() ? m.date().utcOffset() : 0,
             stampMSecs(m.receivedDate()),
             m.receivedDate().isValid() ? m.receivedDate().utcOffset() : 0,
             text(m.serverUid()),
             qint64(m.size()),
             int(m.content()),
             qint64(m.inResponseTo().toULongLong()),
             text(m.contentScheme()),
             text(m.contentIdentifier()) };
}

} // namespace QMailStoreSql

QList<quint64> QMailStorePrivate::selectIds(QMailStoreKeyKind kind, const QMailKeyNode &key,
                                            const QMailSortList &sort, uint limit,
                                            uint offset) const
{
    QList<quint64> ids;
    if (!checkReady())
        return ids;
    QVariantList values;
    QString sql = QStringLiteral("SELECT id FROM ") + QMailStoreSql::table(kind)
        + QStringLiteral(" WHERE ") + QMailStoreSql::condition(kind, key, &values)
        + QStringLiteral(" ORDER BY ") + QMailStoreSql::orderBy(kind, sort);
    if (limit > 0)
        sql += QStringLiteral(" LIMIT %1 OFFSET %2").arg(limit).arg(offset);
    else if (offset > 0)
        sql += QStringLiteral(" LIMIT -1 OFFSET %1").arg(offset);
    QSqlQuery query(db);
    query.setForwardOnly(true);
    bool ok = query.prepare(sql);
    for (const QVariant &value : values)
        query.addBindValue(value);
    ok = ok && query.exec();
    while (ok && query.next())
        ids.append(quint64(query.value(0).toLongLong()));
    // A row that cannot be read ends the loop like the last one: never
    // hand out part of the answer as the whole.
    if (!ok || query.lastError().isValid()) {
        sqlFailed(query, QStringLiteral("Query"));
        ids.clear();
    }
    return ids;
}

int QMailStorePrivate::count(QMailStoreKeyKind kind, const QMailKeyNode &key) const
{
    if (!checkReady())
        return 0;
    QVariantList values;
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT count(*) FROM ") + QMailStoreSql::table(kind)
                  + QStringLiteral(" WHERE ") + QMailStoreSql::condition(kind, key, &values));
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec() || !query.next()) {
        sqlFailed(query, QStringLiteral("Count"));
        return 0;
    }
    return query.value(0).toInt();
}

bool QMailStorePrivate::exists(const QString &table, quint64 id) const
{
    QSqlQuery &query
        = prepared(QStringLiteral("SELECT 1 FROM ") + table + QStringLiteral(" WHERE id = ?"));
    query.addBindValue(qint64(id));
    const bool found = query.exec() && query.next();
    if (!found && query.lastError().isValid())
        sqlFailed(query, QStringLiteral("Query"));
    query.finish();
    return found;
}

bool QMailStorePrivate::selectIds(const QString &sql, QList<quint64> *ids,
                                  const QString &what) const
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(sql))
        return sqlFailed(query, what);
    while (query.next())
        ids->append(quint64(query.value(0).toLongLong()));
    return !query.lastError().isValid() || sqlFailed(query, what);
}

bool QMailStorePrivate::checkUpdatable(const QString &table, quint64 id, const char *what) const
{
    if (id != 0 && exists(table, id))
        return true;
    setError(QMailStore::InvalidId,
             QStringLiteral("No %1 %2 to update").arg(QLatin1String(what)).arg(id));
    return false;
}

QMailAccount QMailStorePrivate::loadAccount(const QMailAccountId &id) const
{
    QMailAccount account;
    if (!id.isValid() || !checkReady())
        return account;
    QSqlQuery &query = prepared(QStringLiteral(
        "SELECT id, name, signature, fromaddress, fromname, status FROM accounts WHERE id = ?"));
    query.addBindValue(qint64(id.toULongLong()));
    if (!query.exec()) {
        sqlFailed(query, QStringLiteral("Loading account"));
        return account;
    }
    if (!query.next()) {
        if (query.lastError().isValid())
            sqlFailed(query, QStringLiteral("Loading account"));
        else
            setError(QMailStore::InvalidId, QStringLiteral("No account %1").arg(id.toULongLong()));
        query.finish();
        return account;
    }
    account.m_id = QMailAccountId(quint64(query.value(0).toLongLong()));
    account.m_name = query.value(1).toString();
    account.m_signature = query.value(2).toString();
    account.m_fromAddress = QMailAddress(query.value(4).toString(), query.value(3).toString());
    account.m_status = quint64(query.value(5).toLongLong());
    query.finish();

    QSqlQuery &folders
        = prepared(QStringLiteral("SELECT kind, folderid FROM accountfolders WHERE accountid = ?"));
    folders.addBindValue(qint64(id.toULongLong()));
    bool ok = folders.exec();
    while (ok && folders.next()) {
        const int kind = folders.value(0).toInt();
        if (kind >= QMailFolder::InboxFolder && kind <= QMailFolder::JunkFolder)
            account.m_standardFolders.insert(QMailFolder::StandardFolder(kind),
                                             QMailFolderId(quint64(folders.value(1).toLongLong())));
    }
    if (!ok || folders.lastError().isValid()) {
        sqlFailed(folders, QStringLiteral("Loading account"));
        account = QMailAccount();
    }
    folders.finish();
    return account;
}

QMailFolder QMailStorePrivate::loadFolder(const QMailFolderId &id) const
{
    QMailFolder folder;
    if (!id.isValid() || !checkReady())
        return folder;
    QSqlQuery &query
        = prepared(QStringLiteral("SELECT id, path, displayname, parentfolderid, parentaccountid, "
                                  "status FROM folders WHERE id = ?"));
    query.addBindValue(qint64(id.toULongLong()));
    if (!query.exec()) {
        sqlFailed(query, QStringLiteral("Loading folder"));
        return folder;
    }
    if (query.next()) {
        folder.m_id = QMailFolderId(quint64(query.value(0).toLongLong()));
        folder.m_path = query.value(1).toString();
        folder.m_displayName = query.value(2).toString();
        folder.m_parentFolderId = QMailFolderId(quint64(query.value(3).toLongLong()));
        folder.m_parentAccountId = QMailAccountId(quint64(query.value(4).toLongLong()));
        folder.m_status = quint64(query.value(5).toLongLong());
    } else if (query.lastError().isValid()) {
        sqlFailed(query, QStringLiteral("Loading folder"));
    } else {
        setError(QMailStore::InvalidId, QStringLiteral("No folder %1").arg(id.toULongLong()));
    }
    query.finish();
    return folder;
}

QMailMessageMetaData QMailStorePrivate::loadMetaData(const QString &where,
                                                     const QVariantList &values) const
{
    QMailMessageMetaData metaData;
    if (!checkReady())
        return metaData;
    QSqlQuery &query = prepared(QStringLiteral("SELECT ") + QLatin1String(MessageColumns)
                                + QStringLiteral(" FROM messages WHERE ") + where);
    for (const QVariant &value : values)
        query.addBindValue(value);
    if (!query.exec()) {
        sqlFailed(query, QStringLiteral("Loading message"));
        return metaData;
    }
    if (!query.next()) {
        if (query.lastError().isValid())
            sqlFailed(query, QStringLiteral("Loading message"));
        else
            setError(QMailStore::InvalidId, QStringLiteral("No such message"));
        query.finish();
        return metaData;
    }
    metaData = metaDataOf(query);
    query.finish();
    return metaData;
}

QList<QMailMessageMetaData> QMailStorePrivate::loadMetaData(const QMailKeyNode &key) const
{
    QList<QMailMessageMetaData> list;
    if (!checkReady())
        return list;
    QVariantList values;
    QSqlQuery query(db);
    query.setForwardOnly(true);
    bool ok = query.prepare(QStringLiteral("SELECT ") + QLatin1String(MessageColumns)
                            + QStringLiteral(" FROM messages WHERE ")
                            + QMailStoreSql::condition(MessageKind, key, &values)
                            + QStringLiteral(" ORDER BY id"));
    for (const QVariant &value : values)
        query.addBindValue(value);
    ok = ok && query.exec();
    while (ok && query.next())
        list.append(metaDataOf(query));
    // Never part of the answer as the whole.
    if (!ok || query.lastError().isValid()) {
        sqlFailed(query, QStringLiteral("Loading messages"));
        list.clear();
    }
    return list;
}

QMailMessage QMailStorePrivate::loadMessage(const QMailMessageId &id, bool bodies) const
{
    QMailMessage message;
    if (!id.isValid()) {
        checkReady();
        return message;
    }
    const QMailMessageMetaData metaData
        = loadMetaData(QStringLiteral("id = ?"), QVariantList() << qint64(id.toULongLong()));
    if (!metaData.id().isValid())
        return message;
    static_cast<QMailMessageMetaData &>(message) = metaData;
    loadContent(&message, bodies);
    return message;
}

QList<QMailServerCopy> QMailStorePrivate::serverCopies(const QString &sql,
                                                       const QMailAccountId &accountId) const
{
    QList<QMailServerCopy> copies;
    if (!checkReady())
        return copies;
    QSqlQuery &query = prepared(sql);
    if (accountId.isValid())
        query.addBindValue(qint64(accountId.toULongLong()));
    if (!query.exec()) {
        sqlFailed(query, QStringLiteral("Loading server copies"));
        return copies;
    }
    while (query.next()) {
        copies.append({ QMailMessageId(quint64(query.value(0).toLongLong())),
                        QMailAccountId(quint64(query.value(1).toLongLong())),
                        QMailFolderId(quint64(query.value(2).toLongLong())),
                        query.value(3).toString() });
    }
    query.finish();
    return copies;
}
