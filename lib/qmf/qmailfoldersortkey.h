#ifndef QMAILFOLDERSORTKEY_H
#define QMAILFOLDERSORTKEY_H

#include "qmailkeynode.h"

// Orders folder query results; the default orders by id.
class QMailFolderSortKey : public QMailSortKeyBase<QMailFolderSortKey>
{
public:
    enum Property { Id, Path, DisplayName, ParentFolderId, ParentAccountId, Status };

    static QMailFolderSortKey id(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailFolderSortKey path(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailFolderSortKey displayName(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailFolderSortKey parentFolderId(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailFolderSortKey parentAccountId(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailFolderSortKey status(Qt::SortOrder order = Qt::AscendingOrder);
};

#endif // QMAILFOLDERSORTKEY_H
