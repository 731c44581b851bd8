#ifndef MAILFIXTURE_H
#define MAILFIXTURE_H

#include <qmailaccount.h>
#include <qmailfolder.h>
#include <qmailid.h>
#include <qmailmessage.h>

#include <QDateTime>
#include <QString>

// Accounts, folders and messages written straight into the process's mail
// store; every change reaches every process that has the store open.
namespace MailFixture {

// A new account with an inbox that the account names as its inbox.
QMailAccountId addAccount(const QString &name, QMailFolderId *inbox);
QMailFolderId addFolder(const QMailAccountId &account, const QString &path, quint64 status = 0);
// A received message; an invalid date gives a message without one.
QMailMessageId addMessage(const QMailFolderId &folder, const QString &from, const QString &subject,
                          const QDateTime &date = QDateTime::currentDateTime(), quint64 status = 0);
bool setMessageStatus(const QMailMessageId &id, quint64 flags, bool set);
bool setFolderStatus(const QMailFolderId &id, quint64 flags, bool set);

} // namespace MailFixture

#endif // MAILFIXTURE_H
