#include "postvane.h"

#include "settings/logcategories.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <QtDebug>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const char lockFilePath[] = "/var/lock/postvane.lock";

// Element 0 is written by the signal handler, element 1 read by the event loop.
// Created once per process and never closed: the handler may run at any time.
int signalSockets[2] = {-1, -1};

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
    const int fd = ::open(lockFilePath, O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd == -1) {
        qWarning("Can not open lock file, %d ('%s')", errno, std::strerror(errno));
        return -1;
    }

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
    [[maybe_unused]] const ssize_t written =
        ::write(signalSockets[0], &signalNumber, sizeof signalNumber);
    errno = saved;
}

Postvane::Postvane(QObject *parent)
    : QObject(parent)
    , lockFd(-1)
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
        qMailLog(Notifications) << "Notifications are disabled";
    }
    notificationsEnabled = enable;
}

void Postvane::handleUnixSignal()
{
    int signalNumber = 0;
    [[maybe_unused]] const ssize_t received =
        ::read(signalSockets[1], &signalNumber, sizeof signalNumber);
    qMailLog(Notifications) << "Unix signal" << signalNumber << "is received";
    if (signalNumber == SIGTERM) {
        QTimer::singleShot(0, QCoreApplication::instance(), SLOT(quit()));
    }
}
