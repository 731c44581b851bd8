#ifndef QMAILFOLDERKEY_H
#define QMAILFOLDERKEY_H

#include "qmaildatacomparator.h"
#include "qmailid.h"
#include "qmailkeynode.h"

#include <QString>

// Selects folders in QMailStore queries. A default-constructed key matches
// every folder; keys combine with &, | and ~.
class QMailFolderKey
{
public:
    enum Property { Id, Path, ParentFolderId, ParentAccountId, DisplayName, Status };

    QMailFolderKey() = default;

    bool isEmpty() const { return m_node.kind() == QMailKeyNode::Empty; }

    QMailFolderKey operator&(const QMailFolderKey &other) const;
    QMailFolderKey operator|(const QMailFolderKey &other) const;
    QMailFolderKey operator~() const;
    QMailFolderKey &operator&=(const QMailFolderKey &other);
    QMailFolderKey &operator|=(const QMailFolderKey &other);
    bool operator==(const QMailFolderKey &other) const { return m_node == other.m_node; }
    bool operator!=(const QMailFolderKey &other) const { return m_node != other.m_node; }

    static QMailFolderKey id(const QMailFolderId &id,
                             QMailDataComparator::EqualityComparator cmp
                             = QMailDataComparator::Equal);
    static QMailFolderKey id(const QMailFolderIdList &ids,
                             QMailDataComparator::InclusionComparator cmp
                             = QMailDataComparator::Includes);
    static QMailFolderKey path(const QString &value,
                               QMailDataComparator::EqualityComparator cmp
                               = QMailDataComparator::Equal);
    static QMailFolderKey path(const QString &value, QMailDataComparator::InclusionComparator cmp);
    static QMailFolderKey displayName(const QString &value,
                                      QMailDataComparator::EqualityComparator cmp
                                      = QMailDataComparator::Equal);
    static QMailFolderKey displayName(const QString &value,
                                      QMailDataComparator::InclusionComparator cmp);
    static QMailFolderKey parentFolderId(const QMailFolderId &id,
                                         QMailDataComparator::EqualityComparator cmp
                                         = QMailDataComparator::Equal);
    static QMailFolderKey parentFolderId(const QMailFolderIdList &ids,
                                         QMailDataComparator::InclusionComparator cmp
                                         = QMailDataComparator::Includes);
    static QMailFolderKey parentAccountId(const QMailAccountId &id,
                                          QMailDataComparator::EqualityComparator cmp
                                          = QMailDataComparator::Equal);
    static QMailFolderKey parentAccountId(const QMailAccountIdList &ids,
                                          QMailDataComparator::InclusionComparator cmp
                                          = QMailDataComparator::Includes);
    static QMailFolderKey status(quint64 mask,
                                 QMailDataComparator::InclusionComparator cmp
                                 = QMailDataComparator::Includes);
    static QMailFolderKey status(quint64 value, QMailDataComparator::EqualityComparator cmp);

    const QMailKeyNode &node() const { return m_node; }

private:
    explicit QMailFolderKey(const QMailKeyNode &node)
        : m_node(node)
    { }
    QMailKeyNode m_node;
};

#endif // QMAILFOLDERKEY_H
