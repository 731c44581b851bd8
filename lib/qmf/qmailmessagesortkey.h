#ifndef QMAILMESSAGESORTKEY_H
#define QMAILMESSAGESORTKEY_H

#include "qmailkeynode.h"

// Orders message query results; the default (the "default sort key" of
// mail-service requests) orders by id, i.e. by arrival in the store.
class QMailMessageSortKey : public QMailSortKeyBase<QMailMessageSortKey>
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

    static QMailMessageSortKey id(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey timeStamp(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey receptionTimeStamp(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey subject(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey size(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey serverUid(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey status(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailMessageSortKey parentFolderId(Qt::SortOrder order = Qt::AscendingOrder);
};

Q_DECLARE_METATYPE(QMailMessageSortKey)

#endif // QMAILMESSAGESORTKEY_H
