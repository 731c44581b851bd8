// The static constructors and operators of the store's query and sort keys.
#include "qmailaccountkey.h"
#include "qmailfolderkey.h"
#include "qmailfoldersortkey.h"
#include "qmailmessagekey.h"
#include "qmailmessagesortkey.h"

namespace {

using Node = QMailKeyNode;

Node::Operator equality(QMailDataComparator::EqualityComparator cmp)
{
    return cmp == QMailDataComparator::Equal ? Node::Equal : Node::NotEqual;
}

Node::Operator inclusion(QMailDataComparator::InclusionComparator cmp)
{
    return cmp == QMailDataComparator::Includes ? Node::In : Node::NotIn;
}

Node::Operator mask(QMailDataComparator::InclusionComparator cmp)
{
    return cmp == QMailDataComparator::Includes ? Node::MaskAll : Node::MaskNone;
}

Node::Operator contains(QMailDataComparator::InclusionComparator cmp)
{
    return cmp == QMailDataComparator::Includes ? Node::Contains : Node::NotContains;
}

Node::Operator relation(QMailDataComparator::RelationComparator cmp)
{
    switch (cmp) {
    case QMailDataComparator::LessThan:
        return Node::LessThan;
    case QMailDataComparator::LessThanEqual:
        return Node::LessThanEqual;
    case QMailDataComparator::GreaterThan:
        return Node::GreaterThan;
    case QMailDataComparator::GreaterThanEqual:
        break;
    }
    return Node::GreaterThanEqual;
}

template<typename Id> QVariant idValue(const Id &id)
{
    return QVariant(id.toULongLong());
}

template<typename Id> QVariant idListValue(const QList<Id> &ids)
{
    QVariantList values;
    values.reserve(ids.size());
    for (const Id &id : ids)
        values.append(id.toULongLong());
    return values;
}

QVariant stringListValue(const QStringList &list)
{
    QVariantList values;
    for (const QString &s : list)
        values.append(s);
    return values;
}

} // namespace

// Every key class has the same combining operators.
#define QMF_KEY_OPERATORS(Key)                                                                     \
    Key Key::operator&(const Key &other) const                                                     \
    {                                                                                              \
        return Key(Node::combine(Node::And, m_node, other.m_node));                                \
    }                                                                                              \
    Key Key::operator|(const Key &other) const                                                     \
    {                                                                                              \
        return Key(Node::combine(Node::Or, m_node, other.m_node));                                 \
    }                                                                                              \
    Key Key::operator~() const                                                                     \
    {                                                                                              \
        return Key(m_node.negated());                                                              \
    }                                                                                              \
    Key &Key::operator&=(const Key &other)                                                         \
    {                                                                                              \
        *this = *this & other;                                                                     \
        return *this;                                                                              \
    }                                                                                              \
    Key &Key::operator|=(const Key &other)                                                         \
    {                                                                                              \
        *this = *this | other;                                                                     \
        return *this;                                                                              \
    }

// An id property: one id (equal or not) or a list of them (in or not in).
#define QMF_ID_KEY(Key, Name, Prop, Id)                                                            \
    Key Key::Name(const Id &id, QMailDataComparator::EqualityComparator cmp)                       \
    {                                                                                              \
        return Key(Node(Prop, equality(cmp), idValue(id)));                                        \
    }                                                                                              \
    Key Key::Name(const QList<Id> &ids, QMailDataComparator::InclusionComparator cmp)              \
    {                                                                                              \
        return Key(Node(Prop, inclusion(cmp), idListValue(ids)));                                  \
    }

// A text property: equal to a text, or containing it.
#define QMF_TEXT_KEY(Key, Name, Prop)                                                              \
    Key Key::Name(const QString &value, QMailDataComparator::EqualityComparator cmp)               \
    {                                                                                              \
        return Key(Node(Prop, equality(cmp), value));                                              \
    }                                                                                              \
    Key Key::Name(const QString &value, QMailDataComparator::InclusionComparator cmp)              \
    {                                                                                              \
        return Key(Node(Prop, contains(cmp), value));                                              \
    }

// Status flags: all of a mask set (or none of it), or the whole value.
#define QMF_STATUS_KEY(Key)                                                                        \
    Key Key::status(quint64 value, QMailDataComparator::InclusionComparator cmp)                   \
    {                                                                                              \
        return Key(Node(Status, mask(cmp), value));                                                \
    }                                                                                              \
    Key Key::status(quint64 value, QMailDataComparator::EqualityComparator cmp)                    \
    {                                                                                              \
        return Key(Node(Status, equality(cmp), value));                                            \
    }

// A property compared for equality only, or by order; `expression` makes the
// stored value of `value`.
#define QMF_EQUAL_KEY(Key, Name, Prop, Type, expression)                                           \
    Key Key::Name(Type value, QMailDataComparator::EqualityComparator cmp)                         \
    {                                                                                              \
        return Key(Node(Prop, equality(cmp), expression));                                         \
    }

#define QMF_RELATION_KEY(Key, Name, Prop, Type, expression)                                        \
    Key Key::Name(Type value, QMailDataComparator::RelationComparator cmp)                         \
    {                                                                                              \
        return Key(Node(Prop, relation(cmp), expression));                                         \
    }

// Accounts

QMF_KEY_OPERATORS(QMailAccountKey)
QMF_ID_KEY(QMailAccountKey, id, Id, QMailAccountId)
QMF_TEXT_KEY(QMailAccountKey, name, Name)
QMF_STATUS_KEY(QMailAccountKey)

QMF_EQUAL_KEY(QMailAccountKey, fromAddress, FromAddress, const QString &, value)

// Folders

QMF_KEY_OPERATORS(QMailFolderKey)
QMF_ID_KEY(QMailFolderKey, id, Id, QMailFolderId)
QMF_ID_KEY(QMailFolderKey, parentFolderId, ParentFolderId, QMailFolderId)
QMF_ID_KEY(QMailFolderKey, parentAccountId, ParentAccountId, QMailAccountId)
QMF_TEXT_KEY(QMailFolderKey, path, Path)
QMF_TEXT_KEY(QMailFolderKey, displayName, DisplayName)
QMF_STATUS_KEY(QMailFolderKey)

// Messages

QMF_KEY_OPERATORS(QMailMessageKey)
QMF_ID_KEY(QMailMessageKey, id, Id, QMailMessageId)
QMF_ID_KEY(QMailMessageKey, parentFolderId, ParentFolderId, QMailFolderId)
QMF_ID_KEY(QMailMessageKey, parentAccountId, ParentAccountId, QMailAccountId)
QMF_TEXT_KEY(QMailMessageKey, subject, Subject)
QMF_STATUS_KEY(QMailMessageKey)

QMF_EQUAL_KEY(QMailMessageKey, serverUid, ServerUid, const QString &, value)
QMF_EQUAL_KEY(QMailMessageKey, sender, Sender, const QString &, value)
QMF_EQUAL_KEY(QMailMessageKey, inResponseTo, InResponseTo, const QMailMessageId &, idValue(value))
QMF_RELATION_KEY(QMailMessageKey, timeStamp, TimeStamp, const QDateTime &,
                 value.toMSecsSinceEpoch())
QMF_RELATION_KEY(QMailMessageKey, receptionTimeStamp, ReceptionTimeStamp, const QDateTime &,
                 value.toMSecsSinceEpoch())
QMF_RELATION_KEY(QMailMessageKey, size, Size, uint, value)

QMailMessageKey QMailMessageKey::serverUid(const QStringList &uids,
                                           QMailDataComparator::InclusionComparator cmp)
{
    return QMailMessageKey(Node(ServerUid, inclusion(cmp), stringListValue(uids)));
}

// Sort keys

#define QMF_SORT_KEY(Key, Name, Prop)                                                              \
    Key Key::Name(Qt::SortOrder order)                                                             \
    {                                                                                              \
        return make(Prop, order);                                                                  \
    }

QMF_SORT_KEY(QMailAccountSortKey, id, Id)
QMF_SORT_KEY(QMailAccountSortKey, name, Name)
QMF_SORT_KEY(QMailAccountSortKey, status, Status)

QMF_SORT_KEY(QMailFolderSortKey, id, Id)
QMF_SORT_KEY(QMailFolderSortKey, path, Path)
QMF_SORT_KEY(QMailFolderSortKey, displayName, DisplayName)
QMF_SORT_KEY(QMailFolderSortKey, parentFolderId, ParentFolderId)
QMF_SORT_KEY(QMailFolderSortKey, parentAccountId, ParentAccountId)
QMF_SORT_KEY(QMailFolderSortKey, status, Status)

QMF_SORT_KEY(QMailMessageSortKey, id, Id)
QMF_SORT_KEY(QMailMessageSortKey, timeStamp, TimeStamp)
QMF_SORT_KEY(QMailMessageSortKey, receptionTimeStamp, ReceptionTimeStamp)
QMF_SORT_KEY(QMailMessageSortKey, subject, Subject)
QMF_SORT_KEY(QMailMessageSortKey, size, Size)
QMF_SORT_KEY(QMailMessageSortKey, serverUid, ServerUid)
QMF_SORT_KEY(QMailMessageSortKey, status, Status)
QMF_SORT_KEY(QMailMessageSortKey, parentFolderId, ParentFolderId)
