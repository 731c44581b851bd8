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

#define POSTVANE_KEY_OPERATORS(Key)                                                                \
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

#define POSTVANE_SORT_KEY(Key, Name, Prop)                                                         \
    Key Key::Name(Qt::SortOrder order)                                                             \
    {                                                                                              \
        Key key;                                                                                   \
        key.m_list.append(qMakePair(int(Prop), order));                                            \
        return key;                                                                                \
    }

// Accounts

POSTVANE_KEY_OPERATORS(QMailAccountKey)

QMailAccountKey QMailAccountKey::id(const QMailAccountId &id,
                                    QMailDataComparator::EqualityComparator cmp)
{
    return QMailAccountKey(Node(Id, equality(cmp), idValue(id)));
}

QMailAccountKey QMailAccountKey::id(const QMailAccountIdList &ids,
                                    QMailDataComparator::InclusionComparator cmp)
{
    return QMailAccountKey(Node(Id, inclusion(cmp), idListValue(ids)));
}

QMailAccountKey QMailAccountKey::name(const QString &value,
                                      QMailDataComparator::EqualityComparator cmp)
{
    return QMailAccountKey(Node(Name, equality(cmp), value));
}

QMailAccountKey QMailAccountKey::name(const QString &value,
                                      QMailDataComparator::InclusionComparator cmp)
{
    return QMailAccountKey(Node(Name, contains(cmp), value));
}

QMailAccountKey QMailAccountKey::fromAddress(const QString &address,
                                             QMailDataComparator::EqualityComparator cmp)
{
    return QMailAccountKey(Node(FromAddress, equality(cmp), address));
}

QMailAccountKey QMailAccountKey::status(quint64 value, QMailDataComparator::InclusionComparator cmp)
{
    return QMailAccountKey(Node(Status, mask(cmp), value));
}

QMailAccountKey QMailAccountKey::status(quint64 value, QMailDataComparator::EqualityComparator cmp)
{
    return QMailAccountKey(Node(Status, equality(cmp), value));
}

QMailAccountSortKey QMailAccountSortKey::operator&(const QMailAccountSortKey &other) const
{
    QMailAccountSortKey key(*this);
    key.m_list += other.m_list;
    return key;
}

POSTVANE_SORT_KEY(QMailAccountSortKey, id, Id)
POSTVANE_SORT_KEY(QMailAccountSortKey, name, Name)
POSTVANE_SORT_KEY(QMailAccountSortKey, status, Status)

// Folders

POSTVANE_KEY_OPERATORS(QMailFolderKey)

QMailFolderKey QMailFolderKey::id(const QMailFolderId &id,
                                  QMailDataComparator::EqualityComparator cmp)
{
    return QMailFolderKey(Node(Id, equality(cmp), idValue(id)));
}

QMailFolderKey QMailFolderKey::id(const QMailFolderIdList &ids,
                                  QMailDataComparator::InclusionComparator cmp)
{
    return QMailFolderKey(Node(Id, inclusion(cmp), idListValue(ids)));
}

QMailFolderKey QMailFolderKey::path(const QString &value,
                                    QMailDataComparator::EqualityComparator cmp)
{
    return QMailFolderKey(Node(Path, equality(cmp), value));
}

QMailFolderKey QMailFolderKey::path(const QString &value,
                                    QMailDataComparator::InclusionComparator cmp)
{
    return QMailFolderKey(Node(Path, contains(cmp), value));
}

QMailFolderKey QMailFolderKey::displayName(const QString &value,
                                           QMailDataComparator::EqualityComparator cmp)
{
    return QMailFolderKey(Node(DisplayName, equality(cmp), value));
}

QMailFolderKey QMailFolderKey::displayName(const QString &value,
                                           QMailDataComparator::InclusionComparator cmp)
{
    return QMailFolderKey(Node(DisplayName, contains(cmp), value));
}

QMailFolderKey QMailFolderKey::parentFolderId(const QMailFolderId &id,
                                              QMailDataComparator::EqualityComparator cmp)
{
    return QMailFolderKey(Node(ParentFolderId, equality(cmp), idValue(id)));
}

QMailFolderKey QMailFolderKey::parentFolderId(const QMailFolderIdList &ids,
                                              QMailDataComparator::InclusionComparator cmp)
{
    return QMailFolderKey(Node(ParentFolderId, inclusion(cmp), idListValue(ids)));
}

QMailFolderKey QMailFolderKey::parentAccountId(const QMailAccountId &id,
                                               QMailDataComparator::EqualityComparator cmp)
{
    return QMailFolderKey(Node(ParentAccountId, equality(cmp), idValue(id)));
}

QMailFolderKey QMailFolderKey::parentAccountId(const QMailAccountIdList &ids,
                                               QMailDataComparator::InclusionComparator cmp)
{
    return QMailFolderKey(Node(ParentAccountId, inclusion(cmp), idListValue(ids)));
}

QMailFolderKey QMailFolderKey::status(quint64 value, QMailDataComparator::InclusionComparator cmp)
{
    return QMailFolderKey(Node(Status, mask(cmp), value));
}

QMailFolderKey QMailFolderKey::status(quint64 value, QMailDataComparator::EqualityComparator cmp)
{
    return QMailFolderKey(Node(Status, equality(cmp), value));
}

QMailFolderSortKey QMailFolderSortKey::operator&(const QMailFolderSortKey &other) const
{
    QMailFolderSortKey key(*this);
    key.m_list += other.m_list;
    return key;
}

POSTVANE_SORT_KEY(QMailFolderSortKey, id, Id)
POSTVANE_SORT_KEY(QMailFolderSortKey, path, Path)
POSTVANE_SORT_KEY(QMailFolderSortKey, displayName, DisplayName)
POSTVANE_SORT_KEY(QMailFolderSortKey, parentFolderId, ParentFolderId)
POSTVANE_SORT_KEY(QMailFolderSortKey, parentAccountId, ParentAccountId)
POSTVANE_SORT_KEY(QMailFolderSortKey, status, Status)

// Messages

POSTVANE_KEY_OPERATORS(QMailMessageKey)

QMailMessageKey QMailMessageKey::id(const QMailMessageId &id,
                                    QMailDataComparator::EqualityComparator cmp)
{
    return QMailMessageKey(Node(Id, equality(cmp), idValue(id)));
}

QMailMessageKey QMailMessageKey::id(const QMailMessageIdList &ids,
                                    QMailDataComparator::InclusionComparator cmp)
{
    return QMailMessageKey(Node(Id, inclusion(cmp), idListValue(ids)));
}

QMailMessageKey QMailMessageKey::parentFolderId(const QMailFolderId &id,
                                                QMailDataComparator::EqualityComparator cmp)
{
    return QMailMessageKey(Node(ParentFolderId, equality(cmp), idValue(id)));
}

QMailMessageKey QMailMessageKey::parentFolderId(const QMailFolderIdList &ids,
                                                QMailDataComparator::InclusionComparator cmp)
{
    return QMailMessageKey(Node(ParentFolderId, inclusion(cmp), idListValue(ids)));
}

QMailMessageKey QMailMessageKey::parentAccountId(const QMailAccountId &id,
                                                 QMailDataComparator::EqualityComparator cmp)
{
    return QMailMessageKey(Node(ParentAccountId, equality(cmp), idValue(id)));
}

QMailMessageKey QMailMessageKey::parentAccountId(const QMailAccountIdList &ids,
                                                 QMailDataComparator::InclusionComparator cmp)
{
    return QMailMessageKey(Node(ParentAccountId, inclusion(cmp), idListValue(ids)));
}

QMailMessageKey QMailMessageKey::status(quint64 value, QMailDataComparator::InclusionComparator cmp)
{
    return QMailMessageKey(Node(Status, mask(cmp), value));
}

QMailMessageKey QMailMessageKey::status(quint64 value, QMailDataComparator::EqualityComparator cmp)
{
    return QMailMessageKey(Node(Status, equality(cmp), value));
}

QMailMessageKey QMailMessageKey::serverUid(const QString &uid,
                                           QMailDataComparator::EqualityComparator cmp)
{
    return QMailMessageKey(Node(ServerUid, equality(cmp), uid));
}

QMailMessageKey QMailMessageKey::serverUid(const QStringList &uids,
                                           QMailDataComparator::InclusionComparator cmp)
{
    return QMailMessageKey(Node(ServerUid, inclusion(cmp), stringListValue(uids)));
}

QMailMessageKey QMailMessageKey::subject(const QString &value,
                                         QMailDataComparator::EqualityComparator cmp)
{
    return QMailMessageKey(Node(Subject, equality(cmp), value));
}

QMailMessageKey QMailMessageKey::subject(const QString &value,
                                         QMailDataComparator::InclusionComparator cmp)
{
    return QMailMessageKey(Node(Subject, contains(cmp), value));
}

QMailMessageKey QMailMessageKey::sender(const QString &address,
                                        QMailDataComparator::EqualityComparator cmp)
{
    return QMailMessageKey(Node(Sender, equality(cmp), address));
}

QMailMessageKey QMailMessageKey::inResponseTo(const QMailMessageId &id,
                                              QMailDataComparator::EqualityComparator cmp)
{
    return QMailMessageKey(Node(InResponseTo, equality(cmp), idValue(id)));
}

QMailMessageKey QMailMessageKey::timeStamp(const QDateTime &value,
                                           QMailDataComparator::RelationComparator cmp)
{
    return QMailMessageKey(Node(TimeStamp, relation(cmp), value.toMSecsSinceEpoch()));
}

QMailMessageKey QMailMessageKey::receptionTimeStamp(const QDateTime &value,
                                                    QMailDataComparator::RelationComparator cmp)
{
    return QMailMessageKey(Node(ReceptionTimeStamp, relation(cmp), value.toMSecsSinceEpoch()));
}

QMailMessageKey QMailMessageKey::size(uint value, QMailDataComparator::RelationComparator cmp)
{
    return QMailMessageKey(Node(Size, relation(cmp), value));
}

QMailMessageSortKey QMailMessageSortKey::operator&(const QMailMessageSortKey &other) const
{
    QMailMessageSortKey key(*this);
    key.m_list += other.m_list;
    return key;
}

POSTVANE_SORT_KEY(QMailMessageSortKey, id, Id)
POSTVANE_SORT_KEY(QMailMessageSortKey, timeStamp, TimeStamp)
POSTVANE_SORT_KEY(QMailMessageSortKey, receptionTimeStamp, ReceptionTimeStamp)
POSTVANE_SORT_KEY(QMailMessageSortKey, subject, Subject)
POSTVANE_SORT_KEY(QMailMessageSortKey, size, Size)
POSTVANE_SORT_KEY(QMailMessageSortKey, serverUid, ServerUid)
POSTVANE_SORT_KEY(QMailMessageSortKey, status, Status)
POSTVANE_SORT_KEY(QMailMessageSortKey, parentFolderId, ParentFolderId)
