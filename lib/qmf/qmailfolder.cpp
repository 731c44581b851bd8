#include "qmailfolder.h"

#include "qmailstore.h"

// Flag values are part of the stored data: never renumber them.
const quint64 QMailFolder::SynchronizationEnabled = Q_UINT64_C(1) << 0;
const quint64 QMailFolder::Synchronized = Q_UINT64_C(1) << 1;
const quint64 QMailFolder::PartialContent = Q_UINT64_C(1) << 2;
const quint64 QMailFolder::Removed = Q_UINT64_C(1) << 3;
const quint64 QMailFolder::Incoming = Q_UINT64_C(1) << 4;
const quint64 QMailFolder::Outgoing = Q_UINT64_C(1) << 5;
const quint64 QMailFolder::Sent = Q_UINT64_C(1) << 6;
const quint64 QMailFolder::Trash = Q_UINT64_C(1) << 7;
const quint64 QMailFolder::Drafts = Q_UINT64_C(1) << 8;
const quint64 QMailFolder::Junk = Q_UINT64_C(1) << 9;
const quint64 QMailFolder::ChildCreationPermitted = Q_UINT64_C(1) << 10;
const quint64 QMailFolder::RenamePermitted = Q_UINT64_C(1) << 11;
const quint64 QMailFolder::DeletionPermitted = Q_UINT64_C(1) << 12;
const quint64 QMailFolder::NonMail = Q_UINT64_C(1) << 13;
const quint64 QMailFolder::MessagesPermitted = Q_UINT64_C(1) << 14;
const quint64 QMailFolder::ReadOnly = Q_UINT64_C(1) << 15;
const quint64 QMailFolder::Favourite = Q_UINT64_C(1) << 16;
const quint64 QMailFolder::Hidden = Q_UINT64_C(1) << 17;

QMailFolder::QMailFolder(const QMailFolderId &id)
{
    *this = QMailStore::instance()->folder(id);
}

QMailFolder::QMailFolder(const QString &path, const QMailFolderId &parentFolderId,
                         const QMailAccountId &parentAccountId)
    : m_path(path)
    , m_parentFolderId(parentFolderId)
    , m_parentAccountId(parentAccountId)
{ }

void QMailFolder::setStatus(quint64 mask, bool set)
{
    if (set)
        m_status |= mask;
    else
        m_status &= ~mask;
}

quint64 QMailFolder::statusForStandardFolder(StandardFolder kind)
{
    switch (kind) {
    case InboxFolder:
        return Incoming;
    case OutboxFolder:
        return Outgoing;
    case DraftsFolder:
        return Drafts;
    case SentFolder:
        return Sent;
    case TrashFolder:
        return Trash;
    case JunkFolder:
        return Junk;
    }
    return 0;
}

QString QMailFolder::standardFolderName(StandardFolder kind)
{
    switch (kind) {
    case InboxFolder:
        return QStringLiteral("inbox");
    case OutboxFolder:
        return QStringLiteral("outbox");
    case DraftsFolder:
        return QStringLiteral("drafts");
    case SentFolder:
        return QStringLiteral("sent");
    case TrashFolder:
        return QStringLiteral("trash");
    case JunkFolder:
        return QStringLiteral("junk");
    }
    return QString();
}

bool QMailFolder::operator==(const QMailFolder &other) const
{
    return m_id == other.m_id && m_path == other.m_path && m_displayName == other.m_displayName
        && m_parentFolderId == other.m_parentFolderId
        && m_parentAccountId == other.m_parentAccountId && m_status == other.m_status;
}
