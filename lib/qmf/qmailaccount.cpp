#include "qmailaccount.h"

#include "qmailstore.h"

// Flag values are part of the stored data: never renumber them.
const quint64 QMailAccount::SynchronizationEnabled = Q_UINT64_C(1) << 0;
const quint64 QMailAccount::Synchronized = Q_UINT64_C(1) << 1;
const quint64 QMailAccount::AppendSignature = Q_UINT64_C(1) << 2;
const quint64 QMailAccount::UserEditable = Q_UINT64_C(1) << 3;
const quint64 QMailAccount::UserRemovable = Q_UINT64_C(1) << 4;
const quint64 QMailAccount::PreferredSender = Q_UINT64_C(1) << 5;
const quint64 QMailAccount::MessageSource = Q_UINT64_C(1) << 6;
const quint64 QMailAccount::CanRetrieve = Q_UINT64_C(1) << 7;
const quint64 QMailAccount::MessageSink = Q_UINT64_C(1) << 8;
const quint64 QMailAccount::CanTransmit = Q_UINT64_C(1) << 9;
const quint64 QMailAccount::Enabled = Q_UINT64_C(1) << 10;
const quint64 QMailAccount::CanCreateFolders = Q_UINT64_C(1) << 11;
const quint64 QMailAccount::HasPersistentConnection = Q_UINT64_C(1) << 12;
const quint64 QMailAccount::MirroredAccount = Q_UINT64_C(1) << 13;

QMailAccount::QMailAccount(const QMailAccountId &id)
{
    *this = QMailStore::instance()->account(id);
}

void QMailAccount::setStatus(quint64 mask, bool set)
{
    if (set)
        m_status |= mask;
    else
        m_status &= ~mask;
}

QMailFolderId QMailAccount::standardFolder(QMailFolder::StandardFolder kind) const
{
    return m_standardFolders.value(kind);
}

void QMailAccount::setStandardFolder(QMailFolder::StandardFolder kind,
                                     const QMailFolderId &folderId)
{
    if (folderId.isValid())
        m_standardFolders.insert(kind, folderId);
    else
        m_standardFolders.remove(kind);
}

bool QMailAccount::operator==(const QMailAccount &other) const
{
    return m_id == other.m_id && m_name == other.m_name && m_signature == other.m_signature
        && m_fromAddress == other.m_fromAddress && m_status == other.m_status
        && m_standardFolders == other.m_standardFolders;
}
