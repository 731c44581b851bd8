#ifndef MAILDIR_H
#define MAILDIR_H

#include <qmailmaildir.h>

#include <QByteArray>
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

} // namespace Maildir

#endif // MAILDIR_H
