#include "postvane.h"

#include "enforce.h"
#include "logcategories.h"
#include "trackerindexer.h"

#include <qmailstore.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QSocketNotifier>
#include <QTimer>
#include <QtDebug>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// One daemon per user: in a user session (XDG_RUNTIME_DIR, as systemd and
// pam_systemd provide it) the lock lives in the user's runtime folder, so two
// users' daemons never meet; without one, the machine-wide lock file.
QByteArray lockFilePath()
{
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    return runtime.isEmpty() ? QByteArray("/var/lock/postvane.lock") : runtime + "/postvane.lock";
}

// Element 0 is written by the signal handler, element 1 read by the event loop.
// Created once per process and never closed: the handler may run at any time.
int signalSockets[2] = { -1, -1 };

struct flock wholeFileLock(short type)
{
    struct flock lock;
    std::memset(&lock, 0, sizeof lock);
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 0;
    return lock;
}

} // namespace

int acquireLock()
{
    const int fd = ::open(lockFilePath().constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd == -1) {
        qWarning("Can not open lock file, %d ('%s')", errno, std::strerror(errno));
        return -1;
    }
    // One left by an earlier version may be readable by others.
    ::fchmod(fd, 0600);

    struct flock lock = wholeFileLock(F_WRLCK);
    if (::fcntl(fd, F_SETLK, &lock) == 0) {
        return fd;
    }

    qWarning("Can not lock file, %d ('%s')", errno, std::strerror(errno));
    if (::close(fd) != 0) {
        qWarning("Can not close file %d ('%s')", errno, std::strerror(errno));
    }
    return -1;
}

bool releaseLock(int fd)
{
    struct flock unlock = wholeFileLock(F_UNLCK);
    if (::fcntl(fd, F_SETLK, &unlock) != 0) {
        qWarning("Can not unlock file, %d ('%s')", errno, std::strerror(errno));
        return false;
    }
    if (::close(fd) != 0) {
        qWarning("Can not close unlocked file %d ('%s')", errno, std::strerror(errno));
        return false;
    }
    return true;
}

void unixSignalHandler(int signalNumber)
{
    // Only async-signal-safe work here; the event loop does the rest.
    const int saved = errno;
    [[maybe_unused]] const ssize_t written
        = ::write(signalSockets[0], &signalNumber, sizeof signalNumber);
    errno = saved;
}

Postvane::Postvane(QObject *parent)
    : QObject(parent)
    , storage(nullptr)
    , indexer(nullptr)
    , lockFd(-1)
    , publishedChanged(false)
    , emailMode(false)
    , notificationsEnabled(true)
    , signalNotifier(nullptr)
{
    qMailLog(Notifications) << "Postvane has been started.";

    lockFd = acquireLock();
    if (lockFd == -1) {
        qWarning("Pidfile already exists, terminating");
        ::exit(-1);
    }

    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0) {
        qCritical("Cannot create socket pair");
        ::exit(-2);
    }
    signalNotifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(signalNotifier, SIGNAL(activated(int)), this, SLOT(handleUnixSignal()));

    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = unixSignalHandler;
    ::sigaction(SIGTERM, &action, nullptr);

    storage = QMailStore::instance();

    // The Tracker mirror. Without a SPARQL connection the daemon runs on
    // without it.
    indexer = new TrackerIndexer(this);
    if (indexer->isReady()) {
        ENFORCE(connect(storage, SIGNAL(accountsAdded(QMailAccountIdList)), indexer,
                        SLOT(addAccounts(QMailAccountIdList))));
        ENFORCE(connect(storage, SIGNAL(accountsUpdated(QMailAccountIdList)), indexer,
                        SLOT(updateAccounts(QMailAccountIdList))));
        ENFORCE(connect(storage, SIGNAL(accountsRemoved(QMailAccountIdList)), indexer,
                        SLOT(removeAccounts(QMailAccountIdList))));
        ENFORCE(connect(storage, SIGNAL(foldersAdded(QMailFolderIdList)), indexer,
                        SLOT(addFolders(QMailFolderIdList))));
        ENFORCE(connect(storage, SIGNAL(foldersUpdated(QMailFolderIdList)), indexer,
                        SLOT(updateFolders(QMailFolderIdList))));
        ENFORCE(connect(storage, SIGNAL(foldersRemoved(QMailFolderIdList)), indexer,
                        SLOT(removeFolders(QMailFolderIdList))));
        ENFORCE(connect(storage, SIGNAL(messagesAdded(QMailMessageIdList)), indexer,
                        SLOT(addMessages(QMailMessageIdList))));
        ENFORCE(connect(storage, SIGNAL(messagesUpdated(QMailMessageIdList)), indexer,
                        SLOT(updateMessages(QMailMessageIdList))));
        ENFORCE(connect(storage, SIGNAL(messagesRemoved(QMailMessageIdList)), indexer,
                        SLOT(removeMessages(QMailMessageIdList))));
        // What changed while the daemon was not running, or was not yet
        // mirrored when it stopped.
        indexer->catchUp();
    }

    // New-mail notifications follow the store; the mirror, connected above,
    // sees each change first. The signatures keep their reference form as
    // written here: a failed connection quotes the statement verbatim.
    // clang-format off
    ENFORCE(connect(storage, SIGNAL(messagesAdded(const QMailMessageIdList&)), this,
                    SLOT(addMessages(const QMailMessageIdList&))));
    ENFORCE(connect(storage, SIGNAL(accountsRemoved(const QMailAccountIdList&)), this,
                    SLOT(removeAccounts(const QMailAccountIdList&))));
    ENFORCE(connect(storage, SIGNAL(messagesUpdated(const QMailMessageIdList&)), this,
                    SLOT(updateMessages(const QMailMessageIdList&))));
    ENFORCE(connect(storage, SIGNAL(messagesRemoved(const QMailMessageIdList&)), this,
                    SLOT(removeMessages(const QMailMessageIdList&))));
    // A changed folder is judged again at its next new mail, like a new one.
    ENFORCE(connect(storage, SIGNAL(foldersRemoved(const QMailFolderIdList&)), this,
                    SLOT(removeFolders(const QMailFolderIdList&))));
    ENFORCE(connect(storage, SIGNAL(foldersUpdated(const QMailFolderIdList&)), this,
                    SLOT(removeFolders(const QMailFolderIdList&))));
    // clang-format on

    // The e-mail application's signals, from any sender.
    ENFORCE(QDBusConnection::sessionBus().connect(QString(), "/com/brenmor/tavik",
                                                  "com.brenmor.tavik", "displayEntered", this,
                                                  SLOT(handleDisplayEntered())));
    ENFORCE(QDBusConnection::sessionBus().connect(QString(), "/com/brenmor/tavik",
                                                  "com.brenmor.tavik", "displayFinished", this,
                                                  SLOT(handleDisplayFinished())));
    ENFORCE(QDBusConnection::sessionBus().connect(QString(), "/com/brenmor/tavik",
                                                  "com.brenmor.tavik", "notificationsEnabled", this,
                                                  SLOT(handleNotificationsEnabled())));
    ENFORCE(QDBusConnection::sessionBus().connect(QString(), "/com/brenmor/tavik",
                                                  "com.brenmor.tavik", "notificationsDisabled",
                                                  this, SLOT(handleNotificationsDisabled())));
}

Postvane::~Postvane()
{
    qMailLog(Notifications) << "Postvane dtor";
    if (!releaseLock(lockFd)) {
        qCritical("Can not unlock file");
    }
}

void Postvane::enableNotifications(bool enable)
{
    qMailLog(Notifications) << "Postvane::enableNotifications(" << enable << ")";
    if (!notificationsEnabled && enable) {
        qMailLog(Notifications) << "Notifications are enabled";
    } else if (notificationsEnabled && !enable) {
        clearNotifications();
        qMailLog(Notifications) << "Notifications are disabled";
    }
    notificationsEnabled = enable;
}

void Postvane::switchEmailMode(bool on)
{
    qMailLog(Notifications) << "Postvane::switchEmailMode(" << on << ")";
    if (!emailMode && on) {
        clearNotifications();
        qMailLog(Notifications) << "Notifications are disabled";
    } else if (emailMode && !on) {
        // Mail that came while the application was on display stays unnotified.
        qMailLog(Notifications) << "Notifications are enabled";
    }
    emailMode = on;
}

void Postvane::handleDisplayEntered()
{
    switchEmailMode(true);
}

void Postvane::handleDisplayFinished()
{
    switchEmailMode(false);
}

void Postvane::handleNotificationsEnabled()
{
    enableNotifications(true);
}

void Postvane::handleNotificationsDisabled()
{
    enableNotifications(false);
}

void Postvane::addMessages(QMailMessageIdList newItems)
{
    if (emailMode || !notificationsEnabled) {
        return;
    }
    notifyNewItems(newItems);
}

void Postvane::removeMessages(QMailMessageIdList oldItems)
{
    if (emailMode || !notificationsEnabled) {
        return;
    }
    for (const QMailMessageId &id : qAsConst(oldItems)) {
        removePublished(id);
    }
    notifyNewItems(QMailMessageIdList());
}

void Postvane::updateMessages(QMailMessageIdList oldItems)
{
    if (emailMode || !notificationsEnabled) {
        return;
    }
    checkReadItems(oldItems);
    notifyNewItems(QMailMessageIdList());
}

void Postvane::removeAccounts(QMailAccountIdList ids)
{
    for (const QMailAccountId &id : qAsConst(ids)) {
        removePublishedAccount(id);
    }
    notifyNewItems(QMailMessageIdList());
}

void Postvane::removeFolders(QMailFolderIdList ids)
{
    for (const QMailFolderId &id : qAsConst(ids)) {
        folderCache.remove(id);
    }
}

void Postvane::handleUnixSignal()
{
    int signalNumber = 0;
    [[maybe_unused]] const ssize_t received
        = ::read(signalSockets[1], &signalNumber, sizeof signalNumber);
    qMailLog(Notifications) << "Unix signal" << signalNumber << "is received";
    if (signalNumber == SIGTERM) {
        QTimer::singleShot(0, QCoreApplication::instance(), SLOT(quit()));
    }
}
