#ifndef STOREFIXTURE_H
#define STOREFIXTURE_H

#include <qmailid.h>

#include <QDateTime>
#include <QString>
#include <QStringList>

// Accounts, folders and messages written straight into this process's mail
// store; every change reaches every process that has the store open. Each
// function warns with the store's error text and returns an invalid id (or
// false) when the store refuses.
namespace StoreFixture {

// An enabled account with an "INBOX" folder that the account names as its
// inbox, marked favourite when asked.
QMailAccountId addAccount(const QString &name, QMailFolderId *inbox = nullptr,
                          bool favouriteInbox = false);
QMailFolderId addFolder(const QMailAccountId &account, const QString &path, quint64 status = 0,
                        const QMailFolderId &parent = QMailFolderId());
// A received, new message; an invalid date gives a message without one.
QMailMessageId addMessage(const QMailFolderId &folder, const QString &from, const QString &subject,
                          const QDateTime &date = QDateTime::currentDateTime(), quint64 status = 0);
bool setMessageStatus(const QMailMessageId &id, quint64 flags, bool set);
bool setFolderStatus(const QMailFolderId &id, quint64 flags, bool set);
// The content files below a store's folder ("$QMF_DATA"), left by any process.
QStringList contentFiles(const QString &storePath);

} // namespace StoreFixture

#endif // STOREFIXTURE_H
