// Query keys and sort keys become SQL: the key tree a WHERE condition, the
// sort list an ORDER BY clause. Columns are chosen here and nowhere else.
#include "qmailstore_p.h"

namespace {

QString column(QMailStoreKeyKind kind, int property)
{
    switch (kind) {
    case AccountKind:
        switch (property) {
        case QMailAccountKey::Id:
            return QStringLiteral("id");
        case QMailAccountKey::Name:
            return QStringLiteral("name");
        case QMailAccountKey::Status:
            return QStringLiteral("status");
        case QMailAccountKey::FromAddress:
            return QStringLiteral("fromaddress");
        }
        break;
    case FolderKind:
        switch (property) {
        case QMailFolderKey::Id:
            return QStringLiteral("id");
        case QMailFolderKey::Path:
            return QStringLiteral("path");
        case QMailFolderKey::ParentFolderId:
            return QStringLiteral("parentfolderid");
        case QMailFolderKey::ParentAccountId:
            return QStringLiteral("parentaccountid");
        case QMailFolderKey::DisplayName:
            // A folder without a display name shows its path.
            return QStringLiteral("(CASE WHEN displayname = '' THEN path ELSE displayname END)");
        case QMailFolderKey::Status:
            return QStringLiteral("status");
        }
        break;
    case MessageKind:
        switch (property) {
        case QMailMessageKey::Id:
            return QStringLiteral("id");
        case QMailMessageKey::ParentFolderId:
            return QStringLiteral("parentfolderid");
        case QMailMessageKey::ParentAccountId:
            return QStringLiteral("parentaccountid");
        case QMailMessageKey::Status:
            return QStringLiteral("status");
        case QMailMessageKey::ServerUid:
            return QStringLiteral("serveruid");
        case QMailMessageKey::Subject:
            return QStringLiteral("subject");
        case QMailMessageKey::Sender:
            return QStringLiteral("senderaddress");
        case QMailMessageKey::InResponseTo:
            return QStringLiteral("inresponseto");
        case QMailMessageKey::TimeStamp:
            return QStringLiteral("sent");
        case QMailMessageKey::ReceptionTimeStamp:
            return QStringLiteral("received");
        case QMailMessageKey::ContentIdentifier:
            return QStringLiteral("contentidentifier");
        case QMailMessageKey::Size:
            return QStringLiteral("size");
        }
        break;
    }
    return QString();
}

QString sortColumn(QMailStoreKeyKind kind, int property)
{
    switch (kind) {
    case AccountKind:
        return column(kind, property);
    case FolderKind:
        switch (property) {
        case QMailFolderSortKey::Id:
            return QStringLiteral("id");
        case QMailFolderSortKey::Path:
            return QStringLiteral("path");
        case QMailFolderSortKey::DisplayName:
            return column(FolderKind, QMailFolderKey::DisplayName);
        case QMailFolderSortKey::ParentFolderId:
            return QStringLiteral("parentfolderid");
        case QMailFolderSortKey::ParentAccountId:
            return QStringLiteral("parentaccountid");
        case QMailFolderSortKey::Status:
            return QStringLiteral("status");
        }
        break;
    case MessageKind:
        switch (property) {
        case QMailMessageSortKey::Id:
            return QStringLiteral("id");
        case QMailMessageSortKey::TimeStamp:
            return QStringLiteral("sent");
        case QMailMessageSortKey::ReceptionTimeStamp:
            return QStringLiteral("received");
        case QMailMessageSortKey::Subject:
            return QStringLiteral("subject");
        case QMailMessageSortKey::Size:
            return QStringLiteral("size");
        case QMailMessageSortKey::ServerUid:
            return QStringLiteral("serveruid");
        case QMailMessageSortKey::Status:
            return QStringLiteral("status");
        case QMailMessageSortKey::ParentFolderId:
            return QStringLiteral("parentfolderid");
        }
        break;
    }
    return QStringLiteral("id");
}

QString likePattern(const QString &text)
{
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('%'), QLatin1String("\\%"));
    escaped.replace(QLatin1Char('_'), QLatin1String("\\_"));
    return QLatin1Char('%') + escaped + QLatin1Char('%');
}

// Properties whose values are ids: numbers that can be written into the
// statement itself.
bool isIdProperty(QMailStoreKeyKind kind, int property)
{
    switch (kind) {
    case AccountKind:
        return property == QMailAccountKey::Id;
    case FolderKind:
        return property == QMailFolderKey::Id || property == QMailFolderKey::ParentFolderId
            || property == QMailFolderKey::ParentAccountId;
    case MessageKind:
        return property == QMailMessageKey::Id || property == QMailMessageKey::ParentFolderId
            || property == QMailMessageKey::ParentAccountId
            || property == QMailMessageKey::InResponseTo;
    }
    return false;
}

// Key trees become SQL conditions. Id lists are written as literal numbers,
// so that lists of any length stay within SQLite's limit on bound values.
void compileKey(const QMailKeyNode &node, QMailStoreKeyKind kind, QString &sql,
                QVariantList &values)
{
    QString condition;
    switch (node.kind()) {
    case QMailKeyNode::Empty:
        condition = QStringLiteral("1");
        break;
    case QMailKeyNode::And:
    case QMailKeyNode::Or: {
        QStringList parts;
        for (const QMailKeyNode &child : node.children()) {
            QString part;
            compileKey(child, kind, part, values);
            parts.append(part);
        }
        condition = QLatin1Char('(')
            + parts.join(node.kind() == QMailKeyNode::And ? QLatin1String(" AND ")
                                                          : QLatin1String(" OR "))
            + QLatin1Char(')');
        break;
    }
    case QMailKeyNode::Leaf: {
        const QString col = column(kind, node.property());
        const QVariant &value = node.value();
        switch (node.op()) {
        case QMailKeyNode::Equal:
        case QMailKeyNode::NotEqual:
        case QMailKeyNode::LessThan:
        case QMailKeyNode::LessThanEqual:
        case QMailKeyNode::GreaterThan:
        case QMailKeyNode::GreaterThanEqual: {
            static const char *const ops[] = { "=", "<>", "<", "<=", ">", ">=" };
            if (value.type() == QVariant::ULongLong)
                values.append(qint64(value.toULongLong()));
            else
                values.append(value);
            condition
                = col + QLatin1Char(' ') + QLatin1String(ops[node.op()]) + QLatin1String(" ?");
            break;
        }
        case QMailKeyNode::In:
        case QMailKeyNode::NotIn: {
            const QVariantList list = value.toList();
            const bool in = node.op() == QMailKeyNode::In;
            if (list.isEmpty()) {
                condition = in ? QStringLiteral("0") : QStringLiteral("1");
                break;
            }
            QStringList items;
            items.reserve(list.size());
            const bool ids = isIdProperty(kind, node.property());
            for (const QVariant &item : list) {
                if (ids) {
                    items.append(QString::number(qint64(item.toULongLong())));
                } else {
                    items.append(QStringLiteral("?"));
                    values.append(item);
                }
            }
            condition = col + (in ? QLatin1String(" IN (") : QLatin1String(" NOT IN ("))
                + items.join(QLatin1Char(',')) + QLatin1Char(')');
            break;
        }
        case QMailKeyNode::MaskAll:
            values.append(qint64(value.toULongLong()));
            values.append(qint64(value.toULongLong()));
            condition = QLatin1Char('(') + col + QLatin1String(" & ?) = ?");
            break;
        case QMailKeyNode::MaskNone:
            values.append(qint64(value.toULongLong()));
            condition = QLatin1Char('(') + col + QLatin1String(" & ?) = 0");
            break;
        case QMailKeyNode::Contains:
        case QMailKeyNode::NotContains:
            values.append(likePattern(value.toString()));
            condition = col
                + (node.op() == QMailKeyNode::Contains ? QLatin1String(" LIKE ? ESCAPE '\\'")
                                                       : QLatin1String(" NOT LIKE ? ESCAPE '\\'"));
            break;
        }
        break;
    }
    }
    sql = node.isNegated() ? QLatin1String("NOT (") + condition + QLatin1Char(')') : condition;
}

} // namespace

namespace QMailStoreSql {

QString table(QMailStoreKeyKind kind)
{
    static const char *const names[] = { "accounts", "folders", "messages" };
    return QLatin1String(names[kind]);
}

QString condition(QMailStoreKeyKind kind, const QMailKeyNode &key, QVariantList *values)
{
    QString sql;
    compileKey(key, kind, sql, *values);
    return sql;
}

QString orderBy(QMailStoreKeyKind kind, const QMailSortList &sort)
{
    QStringList order;
    for (const auto &entry : sort)
        order.append(sortColumn(kind, entry.first)
                     + (entry.second == Qt::AscendingOrder ? QLatin1String(" ASC")
                                                           : QLatin1String(" DESC")));
    order.append(QStringLiteral("id ASC"));
    return order.join(QLatin1String(", "));
}

QString idList(const QList<quint64> &ids)
{
    QStringList items;
    items.reserve(ids.size());
    for (quint64 id : ids)
        items.append(QString::number(qint64(id)));
    return QLatin1Char('(') + items.join(QLatin1Char(',')) + QLatin1Char(')');
}

QVariant text(const QString &value)
{
    return value.isNull() ? QVariant(QString(QLatin1String(""))) : QVariant(value);
}

} // namespace QMailStoreSql
