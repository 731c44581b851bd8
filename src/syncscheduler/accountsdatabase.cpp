#include "accountsdatabase.h"

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// SQLite's lock bytes: a reader holds a read lock on the shared range, which
// a writer that wants the whole file (to delete the log) cannot get.
const off_t SharedFirst = 0x40000000 + 2;
const off_t SharedSize = 510;

QString databasePath()
{
    // Where libaccounts-glib keeps it: $ACCOUNTS, else the user's config folder.
    const QByteArray folder = qgetenv("ACCOUNTS");
    const QString base = !folder.isEmpty()
        ? QFile::decodeName(folder)
        : QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/libaccounts-glib");
    return base + QStringLiteral("/accounts.db");
}

} // namespace

namespace AccountsDatabase {

void holdSharedLock()
{
    static int fd = -1;
    if (fd < 0) {
        fd = ::open(QFile::encodeName(databasePath()).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return; // no database yet: no connection can lose anything
        }
    }
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = SharedFirst;
    lock.l_len = SharedSize;
    if (::fcntl(fd, F_SETLK, &lock) != 0) {
        qWarning("Cannot lock the accounts database: %s", std::strerror(errno));
    }
}

} // namespace AccountsDatabase
