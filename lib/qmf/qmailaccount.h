#ifndef QMAILACCOUNT_H
#define QMAILACCOUNT_H

#include "qmailaddress.h"
#include "qmailfolder.h"
#include "qmailid.h"

#include <QMap>
#include <QMetaType>
#include <QString>

// An e-mail account of the mail store. Constructing one from an id loads it;
// an id the store does not hold gives an account whose own id() is invalid.
class QMailAccount
{
public:
    // Status flags.
    static const quint64 SynchronizationEnabled;
    static const quint64 Synchronized;
    static const quint64 AppendSignature;
    static const quint64 UserEditable;
    static const quint64 UserRemovable;
    static const quint64 PreferredSender;
    static const quint64 MessageSource;
    static const quint64 CanRetrieve;
    static const quint64 MessageSink;
    static const quint64 CanTransmit;
    static const quint64 Enabled;
    static const quint64 CanCreateFolders;
    static const quint64 HasPersistentConnection;
    // Made by the message server as the mirror of the accounts database's
    // account of the same number; nothing else sets it.
    static const quint64 MirroredAccount;

    QMailAccount() = default;
    explicit QMailAccount(const QMailAccountId &id);

    QMailAccountId id() const { return m_id; }
    // Before QMailStore::addAccount: the number the account is to have, so
    // that it matches the accounts database's account of the same number.
    void setId(const QMailAccountId &id) { m_id = id; }

    QString name() const { return m_name; }
    void setName(const QString &name) { m_name = name; }

    QString signature() const { return m_signature; }
    void setSignature(const QString &signature) { m_signature = signature; }

    QMailAddress fromAddress() const { return m_fromAddress; }
    void setFromAddress(const QMailAddress &address) { m_fromAddress = address; }

    quint64 status() const { return m_status; }
    void setStatus(quint64 status) { m_status = status; }
    void setStatus(quint64 mask, bool set);

    // The folder that plays the role; an invalid id when none is set.
    QMailFolderId standardFolder(QMailFolder::StandardFolder kind) const;
    // An invalid id clears the role.
    void setStandardFolder(QMailFolder::StandardFolder kind, const QMailFolderId &folderId);
    QMap<QMailFolder::StandardFolder, QMailFolderId> standardFolders() const
    {
        return m_standardFolders;
    }

    bool operator==(const QMailAccount &other) const;
    bool operator!=(const QMailAccount &other) const { return !(*this == other); }

private:
    QMailAccountId m_id;
    QString m_name;
    QString m_signature;
    QMailAddress m_fromAddress;
    quint64 m_status = 0;
    QMap<QMailFolder::StandardFolder, QMailFolderId> m_standardFolders;

    friend class QMailStorePrivate;
};

Q_DECLARE_METATYPE(QMailAccount)

#endif // QMAILACCOUNT_H
