#ifndef QMAILKEYNODE_H
#define QMAILKEYNODE_H

#include <QList>
#include <QPair>
#include <QVariant>

// The expression tree behind the store's query keys. Keys of every kind share
// it; only the meaning of `property` differs. Not meant to be built by hand:
// use the static constructors of QMailAccountKey, QMailFolderKey and
// QMailMessageKey.
class QMailKeyNode
{
public:
    enum Kind { Empty, Leaf, And, Or };
    enum Operator {
        Equal,
        NotEqual,
        LessThan,
        LessThanEqual,
        GreaterThan,
        GreaterThanEqual,
        In,
        NotIn,
        MaskAll,
        MaskNone,
        Contains,
        NotContains
    };

    QMailKeyNode() = default;
    QMailKeyNode(int property, Operator op, const QVariant &value);

    Kind kind() const { return m_kind; }
    bool isNegated() const { return m_negated; }
    int property() const { return m_property; }
    Operator op() const { return m_op; }
    const QVariant &value() const { return m_value; }
    const QList<QMailKeyNode> &children() const { return m_children; }

    // An empty operand leaves the other one unchanged.
    static QMailKeyNode combine(Kind kind, const QMailKeyNode &a, const QMailKeyNode &b);
    QMailKeyNode negated() const;

    bool operator==(const QMailKeyNode &other) const;
    bool operator!=(const QMailKeyNode &other) const { return !(*this == other); }

private:
    Kind m_kind = Empty;
    bool m_negated = false;
    int m_property = 0;
    Operator m_op = Equal;
    QVariant m_value;
    QList<QMailKeyNode> m_children;
};

// Sort order shared by the sort keys: (property, order) pairs, most
// significant first.
typedef QList<QPair<int, Qt::SortOrder>> QMailSortList;

// What the sort keys of every kind share. Key is the sort key class itself,
// whose static constructors make keys of one property each.
template<typename Key> class QMailSortKeyBase
{
public:
    bool isEmpty() const { return m_list.isEmpty(); }
    // The left key decides first, the right one breaks ties.
    Key operator&(const Key &other) const
    {
        Key key(static_cast<const Key &>(*this));
        static_cast<QMailSortKeyBase &>(key).m_list += other.list();
        return key;
    }
    bool operator==(const Key &other) const { return m_list == other.list(); }
    const QMailSortList &list() const { return m_list; }

protected:
    static Key make(int property, Qt::SortOrder order)
    {
        Key key;
        static_cast<QMailSortKeyBase &>(key).m_list.append(qMakePair(property, order));
        return key;
    }

private:
    QMailSortList m_list;
};

#endif // QMAILKEYNODE_H
