#ifndef QMAILFOLDERSORTKEY_H
#define QMAILFOLDERSORTKEY_H

#include "qmailkeynode.h"

// Orders folder query results; the default orders by id.
class QMailFolderSortKey
{
public:
    enum Property { Id, Path, DisplayName, ParentFolderId, ParentAccountId, Status };

    QMailFolderSortKey() = default;
    bool isEmpty() const { return m_list.isEmpty(); }
    // The left key decides first, the right one breaks ties.
    QMailFolderSortKey operator&(const QMailFolderSortKey &other) const;

    static QMailFolderSortKey id(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailFolderSortKey path(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailFolderSortKey displayName(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailFolderSortKey parentFolderId(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailFolderSortKey parentAccountId(Qt::SortOrder order = Qt::AscendingOrder);
    static QMailFolderSortKey status(Qt::SortOrder order = Qt::AscendingOrder);

    const QMailSortList &list() const { return m_list; }

private:
    QMailSortList m_list;
};

#endif // QMAILFOLDERSORTKEY_H
