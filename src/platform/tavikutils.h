#ifndef TAVIKUTILS_H
#define TAVIKUTILS_H

#include <qmailid.h>

#include <QList>

// Folder look-ups of the e-mail application over the mail store.
class TavikUtils
{
public:
    // The account's folders that carry the favourite status flag, in the
    // store's default order; empty when there is none (or no such account).
    static QList<QMailFolderId> getFavouriteFolders(const QMailAccountId &accountId);

    // The folder the account designates as its inbox. The id may name no
    // folder the store can load (none designated, or the folder is gone):
    // callers check by loading it.
    static QMailFolderId getInboxFolder(const QMailAccountId &accountId);
};

#endif // TAVIKUTILS_H
