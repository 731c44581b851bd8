#ifndef QMAILACCOUNTKEY_H
#define QMAILACCOUNTKEY_H

#include "qmaildatacomparator.h"
#include "qmailid.h"
#include "qmailkeynode.h"

#include <QString>

// Selects accounts in QMailStore queries. A default-constructed key matches
// every account; keys combine with &, | and ~.
class QMailAccountKey
{
public:
    enum Property { Id, Name, Status, FromAddress };

    QMailAccountKey() = default;

    bool isEmpty() const { return m_node.kind() == QMailKeyNode::Empty; }

    QMailAccountKey operator&(const QMailAccountKey &other) const;
    QMailAccountKey operator|(const QMailAccountKey &other) const;
    QMailAccountKey operator~() const;
    QMailAccountKey &operator&=(const QMailAccountKey &other);
    QMailAccountKey &operator|=(const QMailAccountKey &other);
    bool operator==(const QMailAccountKey &other) const { return m_node == other.m_node; }
    bool operator!=(const QMailAccountKey &other) const { return m_node != other.m_node; }

    static QMailAccountKey id(const QMailAccountId &id,
                              QMailDataComparator::EqualityComparator cmp
                              = QMailDataComparator::Equal);
    static QMailAccountKey id(const QMailAccountIdList &ids,
                              QMailDataComparator::InclusionComparator cmp
                              = QMailDataComparator::Includes);
    static QMailAccountKey name(const QString &value,
                                QMailDataComparator::EqualityComparator cmp
                                = QMailDataComparator::Equal);
    static QMailAccountKey name(const QString &value, QMailDataComparator::InclusionComparator cmp);
    static QMailAccountKey fromAddress(const QString &address,
                                       QMailDataComparator::EqualityComparator cmp
                                       = QMailDataComparator::Equal);
    static QMailAccountKey status(quint64 mask,
                                  QMailDataComparator::InclusionComparator cmp
                                  = QMailDataComparator::Includes);
    static QMailAccountKey status(quint64 value, QMailDataComparator::EqualityComparator cmp);

    const QMailKeyNode &node() const { return m_node; }

private:
    explicit QMailAccountKey(const QMailKeyNode &node)
        : m_node(node)
    { }
    QMailKeyNode m_node;
};

// Orders query results; the default orders by id.
class QMailAccountSortKey : public QMailSortKeyBase<QMailAccountSortKey>
{
public:
    enum Property { Id, Name, Status };

    static QMailAccountSortKey id(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailAccountSortKey name(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailAccountSortKey status(Qt::SortOrder order = Qt::AscendingOrder);
};

#endif // QMAILACCOUNTKEY_H
