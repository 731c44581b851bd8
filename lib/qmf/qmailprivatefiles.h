#ifndef QMAILPRIVATEFILES_H
#define QMAILPRIVATEFILES_H

#include <QString>

#include <sys/types.h>

// The mail programs' own files (store, records, databases, settings, lock,
// logs) are the user's alone: 0600 files, 0700 folders.

// From now on every file and folder this process creates is private,
// whatever umask it was started with. Call first thing in main().
void qMailKeepFilesPrivate();

// The umask the process was started with: what the user wants for files of
// their own, such as new folders of their Maildir.
mode_t qMailUserUmask();

// Takes the group's and others' permissions from a file, or from a folder
// and everything below it, as left by an earlier version or a looser umask.
// Links are not followed, and a Maildir met on the way (a folder with cur
// and new) is left as it is, with all it holds.
void qMailTightenPrivate(const QString &path);

#endif // QMAILPRIVATEFILES_H
