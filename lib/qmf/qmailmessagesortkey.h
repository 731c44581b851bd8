#ifndef QMAILMESSAGESORTKEY_H
#define QMAILMESSAGESORTKEY_H

#include "qmailkeynode.h"

// Orders message query results; the default (the "default sort key" of
// mail-service requests) orders by id, i.e. by arrival in the store.
class QMailMessageSortKey
{
public:
    enum Property {
        Id,
        TimeStamp,
        ReceptionTimeStamp,
        Subject,
        Size,
        ServerUid,
        Status,
        ParentFolderId
    };

    QMailMessageSortKey() = default;
    bool isEmpty() const { return m_list.isEmpty(); }
    // The left key decides first, the right one breaks ties.
    QMailMessageSortKey operator&(const QMailMessageSortKey &other) const;
    bool operator==(const QMailMessageSortKey &other) const { return m_list == other.m_list; }

    static QMailMessageSortKey id(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey timeStamp(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey receptionTimeStamp(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey subject(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey size(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey serverUid(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey status(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey parentFolderId(Qt::SortOrder order = Qt::AscendingOrder);

    const QMailSortList &list() const { return m_list; }

private:
    QMailSortList m_list;
};

Q_DECLARE_METATYPE(QMailMessageSortKey)

#endif // QMAILMESSAGESORTKEY_H
