#ifndef MAILDIRFIXTURE_H
#define MAILDIRFIXTURE_H

#include <QByteArray>
#include <QString>
#include <QStringList>

// Maildir folders and mail files as a mail delivery agent would leave them.
namespace MaildirFixture {

// A plain text message from ann@example.org with the subject and body lines.
QByteArray mail(const QString &subject, int bodyLines = 1);
// The root's cur/new/tmp, and those of each folder (".Lists.Work" for "Lists.Work").
bool make(const QString &root, const QStringList &folders = QStringList());
// Writes the file, making its folder first.
bool writeFile(const QString &path, const QByteArray &content);
// Delivers as an agent does: written into tmp/, then renamed into new/.
bool deliver(const QString &folderRoot, const QString &name, const QByteArray &content);
// The name of the file in dir whose unique part is uid (flags may follow).
QString fileName(const QString &dir, const QString &uid);

} // namespace MaildirFixture

#endif // MAILDIRFIXTURE_H
