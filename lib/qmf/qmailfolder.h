#ifndef QMAILFOLDER_H
#define QMAILFOLDER_H

#include "qmailid.h"

#include <QMetaType>
#include <QString>

// A folder of the mail store. Constructing one from an id loads it; an id the
// store does not hold gives a folder whose own id() is invalid.
class QMailFolder
{
public:
    // The folders an account designates for a role (QMailAccount::standardFolder).
    enum StandardFolder {
        InboxFolder = 1,
        OutboxFolder,
        DraftsFolder,
        SentFolder,
        TrashFolder,
        JunkFolder
    };

    // Status flags.
    static const quint64 SynchronizationEnabled;
    static const quint64 Synchronized;
    static const quint64 PartialContent;
    static const quint64 Removed;
    static const quint64 Incoming;
    static const quint64 Outgoing;
    static const quint64 Sent;
    static const quint64 Trash;
    static const quint64 Drafts;
    static const quint64 Junk;
    static const quint64 ChildCreationPermitted;
    static const quint64 RenamePermitted;
    static const quint64 DeletionPermitted;
    static const quint64 NonMail;
    static const quint64 MessagesPermitted;
    static const quint64 ReadOnly;
    static const quint64 Favourite;
    static const quint64 Hidden;

    QMailFolder() = default;
    explicit QMailFolder(const QMailFolderId &id);
    explicit QMailFolder(const QString &path, const QMailFolderId &parentFolderId = QMailFolderId(),
                         const QMailAccountId &parentAccountId = QMailAccountId());

    QMailFolderId id() const { return m_id; }
    void setId(const QMailFolderId &id) { m_id = id; }

    // The folder's path on its server, e.g. "INBOX/Lists".
    QString path() const { return m_path; }
    void setPath(const QString &path) { m_path = path; }

    // The name shown to people; the path when none was set.
    QString displayName() const { return m_displayName.isEmpty() ? m_path : m_displayName; }
    void setDisplayName(const QString &name) { m_displayName = name; }

    QMailFolderId parentFolderId() const { return m_parentFolderId; }
    void setParentFolderId(const QMailFolderId &id) { m_parentFolderId = id; }

    QMailAccountId parentAccountId() const { return m_parentAccountId; }
    void setParentAccountId(const QMailAccountId &id) { m_parentAccountId = id; }

    quint64 status() const { return m_status; }
    void setStatus(quint64 status) { m_status = status; }
    void setStatus(quint64 mask, bool set);

    // Every standard role with its status flag (0 for the inbox, which has none).
    static quint64 statusForStandardFolder(StandardFolder kind);
    static QString standardFolderName(StandardFolder kind);

    bool operator==(const QMailFolder &other) const;
    bool operator!=(const QMailFolder &other) const { return !(*this == other); }

private:
    QMailFolderId m_id;
    QString m_path;
    QString m_displayName;
    QMailFolderId m_parentFolderId;
    QMailAccountId m_parentAccountId;
    quint64 m_status = 0;

    friend class QMailStore;
    friend class QMailStorePrivate;
};

Q_DECLARE_METATYPE(QMailFolder)

#endif // QMAILFOLDER_H
