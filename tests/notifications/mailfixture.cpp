#include "mailfixture.h"

#include <qmailstore.h>

#include <QtDebug>

namespace MailFixture {

QMailAccountId addAccount(const QString &name, QMailFolderId *inbox)
{
    QMailStore *store = QMailStore::instance();
    QMailAccount account;
    account.setName(name);
    account.setStatus(QMailAccount::Enabled);
    if (!store->addAccount(&account)) {
        qWarning() << "addAccount failed:" << store->lastErrorText();
        return QMailAccountId();
    }
    QMailFolder folder(QStringLiteral("INBOX"), QMailFolderId(), account.id());
    if (!store->addFolder(&folder)) {
        qWarning() << "addFolder failed:" << store->lastErrorText();
        return QMailAccountId();
    }
    account.setStandardFolder(QMailFolder::InboxFolder, folder.id());
    if (!store->updateAccount(&account)) {
        qWarning() << "updateAccount failed:" << store->lastErrorText();
        return QMailAccountId();
    }
    if (inbox) {
        *inbox = folder.id();
    }
    return account.id();
}

QMailFolderId addFolder(const QMailAccountId &account, const QString &path, quint64 status)
{
    QMailFolder folder(path, QMailFolderId(), account);
    folder.setStatus(status);
    if (!QMailStore::instance()->addFolder(&folder)) {
        qWarning() << "addFolder failed:" << QMailStore::instance()->lastErrorText();
    }
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
    if (!QMailStore::instance()->addMessage(&message)) {
        qWarning() << "addMessage failed:" << QMailStore::instance()->lastErrorText();
    }
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

} // namespace MailFixture
