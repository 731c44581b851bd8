#include "tavikutils.h"

#include <qmailaccount.h>
#include <qmailfolder.h>
#include <qmailfolderkey.h>
#include <qmailstore.h>

QList<QMailFolderId> TavikUtils::getFavouriteFolders(const QMailAccountId &accountId)
{
    const QMailFolderKey key = QMailFolderKey::parentAccountId(accountId)
        & QMailFolderKey::status(QMailFolder::Favourite, QMailDataComparator::Includes);
    return QMailStore::instance()->queryFolders(key);
}

QMailFolderId TavikUtils::getInboxFolder(const QMailAccountId &accountId)
{
    return QMailAccount(accountId).standardFolder(QMailFolder::InboxFolder);
}
