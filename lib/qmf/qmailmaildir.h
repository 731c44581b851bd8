#ifndef QMAILMAILDIR_H
#define QMAILMAILDIR_H

#include <QString>

// Reading mail files as every program of the mail system reads them: the
// message server's Maildir accounts, `qmfctl import` and the import fuzzer.
// A Maildir message is one file in new/ or cur/ whose name is a unique part
// followed by ":2," and its flag letters in ASCII order.
namespace Maildir {

QString uidOf(const QString &fileName);
QString flagsOf(const QString &fileName);
QString fileName(const QString &uid, const QString &flags);

// Store status flags from Maildir flag letters, and the letters for a store
// status (letters this system does not map are kept from `current`).
quint64 statusFromFlags(const QString &flags);
QString flagsFromStatus(quint64 status, const QString &current);
quint64 mappedStatusMask();

} // namespace Maildir

namespace QMailMessageFile {

// Far beyond real mail: a larger file is refused while it is read, so that
// a file that grows (or never ends) cannot fill the store.
const qint64 MaximumSize = qint64(256) << 20;

// Why text that starts with `head` is not a mail message, or nothing when it
// is one: mail starts with a header field ("Name: value"), after an
// mbox-style "From " line at most. A binary file, an empty one or plain text
// does not.
QString notMail(const QByteArray &head);
// "<name>: larger than 256 MiB, ..."
QString tooLarge(const QString &name);

// Opens the file for reading when it is a regular file, and only then: a
// link is never followed (out of a Maildir, to /dev/zero) and a FIFO or
// device is never waited on. Otherwise the reason in *why, and -2 when the
// file is not a regular one (to be skipped), -1 when it cannot be read.
int openRegular(const QString &path, QString *why);

} // namespace QMailMessageFile

#endif // QMAILMAILDIR_H
