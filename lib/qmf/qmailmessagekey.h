#ifndef QMAILMESSAGEKEY_H
#define QMAILMESSAGEKEY_H

#include "qmaildatacomparator.h"
#include "qmailid.h"
#include "qmailkeynode.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

// Selects messages in QMailStore queries. A default-constructed key matches
// every message; keys combine with &, | and ~.
class QMailMessageKey
{
public:
    enum Property {
        Id,
        ParentFolderId,
        ParentAccountId,
        Status,
        ServerUid,
        Subject,
        Sender,
        InResponseTo,
        TimeStamp,
        ReceptionTimeStamp,
        ContentIdentifier,
        Size
    };

    QMailMessageKey() = default;

    bool isEmpty() const { return m_node.kind() == QMailKeyNode::Empty; }

    QMailMessageKey operator&(const QMailMessageKey &other) const;
    QMailMessageKey operator|(const QMailMessageKey &other) const;
    QMailMessageKey operator~() const;
    QMailMessageKey &operator&=(const QMailMessageKey &other);
    QMailMessageKey &operator|=(const QMailMessageKey &other);
    bool operator==(const QMailMessageKey &other) const { return m_node == other.m_node; }
    bool operator!=(const QMailMessageKey &other) const { return m_node != other.m_node; }

    static QMailMessageKey id(const QMailMessageId &id,
                              QMailDataComparator::EqualityComparator cmp
                              = QMailDataComparator::Equal);
    static QMailMessageKey id(const QMailMessageIdList &ids,
                              QMailDataComparator::InclusionComparator cmp
                              = QMailDataComparator::Includes);
    static QMailMessageKey parentFolderId(const QMailFolderId &id,
                                          QMailDataComparator::EqualityComparator cmp
                                          = QMailDataComparator::Equal);
    static QMailMessageKey parentFolderId(const QMailFolderIdList &ids,
                                          QMailDataComparator::InclusionComparator cmp
                                          = QMailDataComparator::Includes);
    static QMailMessageKey parentAccountId(const QMailAccountId &id,
                                           QMailDataComparator::EqualityComparator cmp
                                           = QMailDataComparator::Equal);
    static QMailMessageKey parentAccountId(const QMailAccountIdList &ids,
                                           QMailDataComparator::InclusionComparator cmp
                                           = QMailDataComparator::Includes);
    static QMailMessageKey status(quint64 mask,
                                  QMailDataComparator::InclusionComparator cmp
                                  = QMailDataComparator::Includes);
    static QMailMessageKey status(quint64 value, QMailDataComparator::EqualityComparator cmp);
    static QMailMessageKey serverUid(const QString &uid,
                                     QMailDataComparator::EqualityComparator cmp
                                     = QMailDataComparator::Equal);
    static QMailMessageKey serverUid(const QStringList &uids,
                                     QMailDataComparator::InclusionComparator cmp
                                     = QMailDataComparator::Includes);
    static QMailMessageKey subject(const QString &value,
                                   QMailDataComparator::EqualityComparator cmp
                                   = QMailDataComparator::Equal);
    static QMailMessageKey subject(const QString &value,
                                   QMailDataComparator::InclusionComparator cmp);
    // Matches the sender's bare address.
    static QMailMessageKey sender(const QString &address,
                                  QMailDataComparator::EqualityComparator cmp
                                  = QMailDataComparator::Equal);
    static QMailMessageKey inResponseTo(const QMailMessageId &id,
                                        QMailDataComparator::EqualityComparator cmp
                                        = QMailDataComparator::Equal);
    static QMailMessageKey timeStamp(const QDateTime &value,
                                     QMailDataComparator::RelationComparator cmp);
    static QMailMessageKey receptionTimeStamp(const QDateTime &value,
                                              QMailDataComparator::RelationComparator cmp);
    static QMailMessageKey size(uint value, QMailDataComparator::RelationComparator cmp);

    const QMailKeyNode &node() const { return m_node; }

private:
    explicit QMailMessageKey(const QMailKeyNode &node)
        : m_node(node)
    { }
    QMailKeyNode m_node;
};

#endif // QMAILMESSAGEKEY_H
