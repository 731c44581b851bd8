#include "maildir/maildir.h"

#include <qmailmessage.h>
#include <qmailprivatefiles.h>
#include <qmailstore.h>

#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Maildir {

namespace {

bool listFolder(const QString &directory, bool inNew, QList<Entry> *result)
{
    // Plain system calls, one status call per file: a first sync lists
    // every message of the Maildir.
    DIR *dir = ::opendir(QFile::encodeName(directory).constData());
    if (!dir) {
        // A Maildir writer makes new/ or cur/ when it needs it.
        return errno == ENOENT || errno == ENOTDIR;
    }
    const int fd = ::dirfd(dir);
    while (const struct dirent *item = ::readdir(dir)) {
        if (item->d_name[0] == '.' || item->d_type == DT_DIR) {
            continue;
        }
        // Dangling links and unreadable files are listed too: the import
        // reports them. Links to folders are not messages.
        struct stat status;
        const bool known = ::fstatat(fd, item->d_name, &status, 0) == 0;
        if (known && S_ISDIR(status.st_mode)) {
            continue;
        }
        Entry entry;
        entry.fileName = QFile::decodeName(item->d_name);
        entry.uid = uidOf(entry.fileName);
        entry.inNew = inNew;
        entry.modified = known ? qint64(status.st_mtim.tv_sec) : 0;
        result->append(entry);
    }
    ::closedir(dir);
    return true;
}

} // namespace

QString inboxPath()
{
    return QStringLiteral("INBOX");
}

bool isMaildir(const QString &directory)
{
    return QFileInfo(directory + QLatin1String("/cur")).isDir()
        || QFileInfo(directory + QLatin1String("/new")).isDir();
}

QList<Folder> folders(const QString &root)
{
    QList<Folder> result;
    Folder inbox;
    inbox.path = inboxPath();
    inbox.displayName = QStringLiteral("Inbox");
    inbox.directory = root;
    result.append(inbox);

    QStringList names = QDir(root).entryList(QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot);
    // Sorted, a parent (".Lists") comes before its children (".Lists.Work").
    std::sort(names.begin(), names.end());
    for (const QString &name : qAsConst(names)) {
        if (!name.startsWith(QLatin1Char('.')) || name.size() < 2
            || !isMaildir(root + QLatin1Char('/') + name)) {
            continue;
        }
        Folder folder;
        folder.path = name.mid(1);
        folder.directory = root + QLatin1Char('/') + name;
        const int dot = folder.path.lastIndexOf(QLatin1Char('.'));
        folder.displayName = dot < 0 ? folder.path : folder.path.mid(dot + 1);
        folder.parentPath = dot < 0 ? QString() : folder.path.left(dot);
        result.append(folder);
    }
    return result;
}

QString directoryFor(const QString &root, const QString &path)
{
    if (path == inboxPath()) {
        return root;
    }
    if (path.isEmpty() || path.contains(QLatin1Char('/')) || path.startsWith(QLatin1Char('.'))) {
        return QString(); // never a folder outside the root
    }
    return root + QStringLiteral("/.") + path;
}

QString pathOf(const QString &directory, const Entry &entry)
{
    return directory + (entry.inNew ? QStringLiteral("/new/") : QStringLiteral("/cur/"))
        + entry.fileName;
}

bool entries(const QString &directory, QList<Entry> *result)
{
    result->clear();
    if (!listFolder(directory + QLatin1String("/new"), true, result)
        || !listFolder(directory + QLatin1String("/cur"), false, result)) {
        return false;
    }
    std::stable_sort(result->begin(), result->end(), [](const Entry &a, const Entry &b) {
        return a.modified != b.modified ? a.modified > b.modified : a.uid > b.uid;
    });
    return true;
}

QString newUid()
{
    static int counter = 0;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    char name[256] = {};
    ::gethostname(name, sizeof name - 1);
    QString host = QString::fromLocal8Bit(name);
    host.replace(QLatin1Char('/'), QStringLiteral("\\057"))
        .replace(QLatin1Char(':'), QStringLiteral("\\072"));
    return QStringLiteral("%1.M%2P%3Q%4.%5")
        .arg(now / 1000)
        .arg((now % 1000) * 1000)
        .arg(::getpid())
        .arg(++counter)
        .arg(host);
}

bool makeMaildir(const QString &directory)
{
    // A folder of the user's Maildir is made as the user's other files are,
    // not private like the server's own.
    for (const QString &path :
         { directory, directory + QLatin1String("/tmp"), directory + QLatin1String("/new"),
           directory + QLatin1String("/cur") }) {
        if (QFileInfo(path).isDir()) {
            continue;
        }
        if (!QDir().mkpath(path)) {
            return false;
        }
        ::chmod(QFile::encodeName(path).constData(), 0777 & ~qMailUserUmask());
    }
    return true;
}

bool deliver(const QString &directory, const QByteArray &text, const QString &flags, QString *uid,
             int *error)
{
    *error = 0;
    *uid = newUid();
    const QByteArray temporary = QFile::encodeName(directory + QLatin1String("/tmp/") + *uid);
    const QByteArray target
        = QFile::encodeName(directory + QLatin1String("/cur/") + fileName(*uid, flags));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    qint64 written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.constData() + written, size_t(text.size() - written));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            *error = n < 0 ? errno : ENOSPC;
            break;
        }
        written += n;
    }
    // A message that is not on the disk must not appear in cur/.
    if (*error == 0 && ::fsync(fd) != 0) {
        *error = errno;
    }
    if (::close(fd) != 0 && *error == 0) {
        *error = errno;
    }
    if (*error == 0 && ::rename(temporary.constData(), target.constData()) != 0) {
        *error = errno;
    }
    if (*error != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

AgreedFlags::AgreedFlags(const QMailAccountId &accountId)
    : mFile(QMailStore::instance()->storagePath()
            + QStringLiteral("/messageserver/maildir-%1").arg(accountId.toULongLong()))
{
    QFile file(mFile);
    if (!file.open(QIODevice::ReadOnly)) {
        return;
    }
    QDataStream in(&file);
    QString identity;
    in >> identity >> mFolders;
    // What was agreed with another store (made anew) says nothing of this one.
    if (in.status() != QDataStream::Ok || identity != QMailStore::instance()->identity()) {
        mFolders.clear();
    }
}

bool AgreedFlags::save() const
{
    const QString directory = QFileInfo(mFile).absolutePath();
    if (!QDir().mkpath(directory)
        || !QFile::setPermissions(directory,
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner)) {
        return false;
    }
    QSaveFile file(mFile);
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)) {
        return false;
    }
    QDataStream out(&file);
    out << QMailStore::instance()->identity() << mFolders;
    return file.commit();
}

bool AgreedFlags::fileChanged(const QHash<QString, QString> &agreed, const QString &uid,
                              const QString &fileFlags, quint64 storeStatus)
{
    const auto it = agreed.constFind(uid);
    if (it == agreed.cend()) {
        return false;
    }
    const quint64 mask = mappedStatusMask();
    const quint64 before = statusFromFlags(*it) & mask;
    return (statusFromFlags(fileFlags) & mask) != before && (storeStatus & mask) == before;
}

} // namespace Maildir
