#include "storefixture.h"

#include <qmailaccount.h>
#include <qmailfolder.h>
#include <qmailmessage.h>
#include <qmailstore.h>

#include <QDirIterator>
#include <QtDebug>

namespace StoreFixture {

namespace {

bool refused(bool ok, const char *operation)
{
    if (!ok) {
        qWarning() << operation << "failed:" << QMailStore::instance()->lastErrorText();
    }
    return !ok;
}

} // namespace

QMailAccountId addAccount(const QString &name, QMailFolderId *inbox, bool favouriteInbox)
{
    QMailStore *store = QMailStore::instance();
    QMailAccount account;
    account.setName(name);
    account.setStatus(QMailAccount::Enabled);
    if (refused(store->addAccount(&account), "addAccount")) {
        return QMailAccountId();
    }
    QMailFolder folder(QStringLiteral("INBOX"), QMailFolderId(), account.id());
    folder.setStatus(QMailFolder::Favourite, favouriteInbox);
    if (refused(store->addFolder(&folder), "addFolder")) {
        return QMailAccountId();
    }
    account.setStandardFolder(QMailFolder::InboxFolder, folder.id());
    if (refused(store->updateAccount(&account), "updateAccount")) {
        return QMailAccountId();
    }
    if (inbox) {
        *inbox = folder.id();
    }
    return account.id();
}

QMailFolderId addFolder(const QMailAccountId &account, const QString &path, quint64 status,
                        const QMailFolderId &parent)
{
    QMailFolder folder(path, parent, account);
    folder.setStatus(status);
    refused(QMailStore::instance()->addFolder(&folder), "addFolder");
    return folder.id();
}

QMailMessageId addMessage(const QMailFolderId &folder, const QString &from, const QString &subject,
                          const QDateTime &date, quint64 status)
{
    const QMailFolder parent(folder);
    QMailMessageMetaData message;
    message.setParentFolderId(folder);
    message.setParentAccountId(parent.parentAccountId());
    message.setFrom(QMailAddress(from));
    message.setSubject(subject);
    if (date.isValid()) {
        message.setDate(QMailTimeStamp(date));
    }
    message.setReceivedDate(QMailTimeStamp::currentDateTime());
    message.setStatus(status | QMailMessageMetaData::Incoming | QMailMessageMetaData::New);
    refused(QMailStore::instance()->addMessage(&message), "addMessage");
    return message.id();
}

bool setMessageStatus(const QMailMessageId &id, quint64 flags, bool set)
{
    return QMailStore::instance()->updateMessagesMetaData(QMailMessageKey::id(id), flags, set);
}

bool setFolderStatus(const QMailFolderId &id, quint64 flags, bool set)
{
    QMailFolder folder(id);
    folder.setStatus(flags, set);
    return QMailStore::instance()->updateFolder(&folder);
}

QStringList contentFiles(const QString &storePath)
{
    QStringList files;
    QDirIterator it(storePath + QLatin1String("/mail"), QDir::Files | QDir::Hidden,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    return files;
}

} // namespace StoreFixture
