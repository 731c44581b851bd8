#include "maildirfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace MaildirFixture {

QByteArray mail(const QString &subject, int bodyLines)
{
    QByteArray text = "From: Ann <ann@example.org>\nTo: me@example.org\nSubject: "
        + subject.toUtf8() + "\nDate: Mon, 1 Dec 2025 10:00:00 +0000\n\n";
    for (int i = 0; i < bodyLines; ++i) {
        text += "line of the body\n";
    }
    return text;
}

bool make(const QString &root, const QStringList &folders)
{
    QStringList all = folders;
    all.append(QString());
    for (const QString &folder : qAsConst(all)) {
        for (const char *sub : { "/cur", "/new", "/tmp" }) {
            const QString path = root
                + (folder.isEmpty() ? QString() : QStringLiteral("/.") + folder)
                + QLatin1String(sub);
            if (!QDir().mkpath(path)) {
                return false;
            }
        }
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool deliver(const QString &folderRoot, const QString &name, const QByteArray &content)
{
    const QString temporary = folderRoot + QStringLiteral("/tmp/") + name;
    return writeFile(temporary, content)
        && QFile::rename(temporary, folderRoot + QStringLiteral("/new/") + name);
}

QString fileName(const QString &dir, const QString &uid)
{
    return QDir(dir).entryList({ uid + QLatin1Char('*') }, QDir::Files).value(0);
}

} // namespace MaildirFixture
