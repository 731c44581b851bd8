#ifndef MAILDIR_H
#define MAILDIR_H

#include <qmailmaildir.h>

#include <qmailid.h>

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>

// The Maildir conventions the local backend relies on (Maildir++ layout, as
// Dovecot and notmuch read it): the root folder is the inbox, every
// sub-folder is a dot-folder of the root (".Lists.Work" is "Work" below
// "Lists"). Names, flags and the reading of a message file are the mail
// library's (qmailmaildir.h), shared with qmfctl.
namespace Maildir {

struct Folder
{
    QString path; // the store's path: "INBOX", "Sent", "Lists.Work"
    QString parentPath; // empty for a top-level folder
    QString displayName; // "Inbox", "Sent", "Work"
    QString directory;
};

struct Entry
{
    QString uid; // the file name without its ":2,..." part
    QString fileName;
    bool inNew = false;
    qint64 modified = 0; // seconds since the epoch
};

// Where the entry's file is in the Maildir folder `directory`.
QString pathOf(const QString &directory, const Entry &entry);

QString inboxPath();

// Whether the folder has the Maildir sub-folders.
bool isMaildir(const QString &directory);
// The root and its dot-folders, parents before children.
QList<Folder> folders(const QString &root);
// The folder that holds the store path's messages.
QString directoryFor(const QString &root, const QString &path);

// The messages of a folder, newest first; false when new/ or cur/ cannot be read.
bool entries(const QString &directory, QList<Entry> *result);

// A unique part for a new file name, as Maildir writers make them.
QString newUid();
// Writes text into tmp/ and moves it to cur/ with the flags; the errno of a
// failure in *error (0 on success).
bool deliver(const QString &directory, const QByteArray &text, const QString &flags, QString *uid,
             int *error);
bool makeMaildir(const QString &directory);

// The flag letters each file and the store last agreed on, per folder of a
// Maildir account, kept beside the store. A Maildir records no history, so
// this tells who changed flags since: the file (another client read or
// flagged the message: the store follows) or the store (the user did here:
// the file follows, and wins when both changed). A file without a record is
// taken as the store has it.
class AgreedFlags
{
public:
    explicit AgreedFlags(const QMailAccountId &accountId);
    QHash<QString, QString> &folder(const QMailFolderId &id) { return mFolders[id.toULongLong()]; }
    bool save() const;
    // Whether the file's letters changed since they were agreed while the
    // store's status did not.
    static bool fileChanged(const QHash<QString, QString> &agreed, const QString &uid,
                            const QString &fileFlags, quint64 storeStatus);

private:
    QString mFile;
    QHash<quint64, QHash<QString, QString>> mFolders;
};

} // namespace Maildir

#endif // MAILDIR_H
