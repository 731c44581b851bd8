#include "qmailprivatefiles.h"

#include <QDir>
#include <QFile>

#include <sys/stat.h>

namespace {

mode_t startUmask = 022;

} // namespace

void qMailKeepFilesPrivate()
{
    startUmask = ::umask(077);
}

mode_t qMailUserUmask()
{
    return startUmask;
}

void qMailTightenPrivate(const QString &path)
{
    struct stat info = {};
    if (::lstat(QFile::encodeName(path).constData(), &info) != 0
        || !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode))) {
        return;
    }
    if (S_ISDIR(info.st_mode)) {
        const QDir folder(path);
        if (folder.exists(QStringLiteral("cur")) && folder.exists(QStringLiteral("new"))) {
            return;
        }
        const QStringList names = folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::System
                                                   | QDir::NoDotAndDotDot);
        for (const QString &name : names) {
            qMailTightenPrivate(path + QLatin1Char('/') + name);
        }
    }
    // A file of several names may be a message shared with a Maildir: its
    // mode is the user's; the private folder around it already hides it.
    if ((info.st_mode & 077) != 0 && (S_ISDIR(info.st_mode) || info.st_nlink == 1)) {
        ::chmod(QFile::encodeName(path).constData(), info.st_mode & 07700);
    }
}
