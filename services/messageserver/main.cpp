// messageserver: carries out the mail-service requests of the mail system
// (com.brenmor.qmf.MessageServer on the session bus) for the e-mail accounts
// of the accounts database. Stopped with SIGTERM or SIGINT.
#include "server/messageserver.h"

#include <qmaillog.h>
#include <qmailprivatefiles.h>
#include <qmailstore.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QSettings>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <malloc.h>
#include <sys/socket.h>
#include <unistd.h>

#ifdef POSTVANE_COVERAGE
extern "C" void __gcov_dump(void);
#endif

namespace {

int signalSockets[2] = { -1, -1 };

void onSignal(int number)
{
    const ssize_t written = ::write(signalSockets[0], &number, sizeof number);
    (void)written;
}

} // namespace

int main(int argc, char *argv[])
{
    // One malloc arena for every thread: the IMAP session's thread reads
    // the messages that the main thread stores and frees, and an arena of
    // its own would keep the pages it ever touched.
    mallopt(M_ARENA_MAX, 1);
    qMailKeepFilesPrivate();
    QCoreApplication app(argc, argv);
    // KDE jobs hold the event loop while they run; the loop must not end
    // with the last of them, only by a signal.
    QCoreApplication::setQuitLockEnabled(false);
    QCoreApplication::setOrganizationName(QStringLiteral("Brenmor"));
    QCoreApplication::setApplicationName(QStringLiteral("MessageServer"));
    qMailLoggersRecreate(QStringLiteral("Brenmor"), QStringLiteral("MessageServer"),
                         "messageserver");

    // A signal ends the event loop, so that a running import is rolled back
    // and the store closed as on any other exit.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalSockets) != 0) {
        qCritical("messageserver: cannot create a socket pair");
        return 1;
    }
    QSocketNotifier notifier(signalSockets[1], QSocketNotifier::Read);
    QObject::connect(&notifier, &QSocketNotifier::activated, &app, [] {
        int number = 0;
        const ssize_t got = ::read(signalSockets[1], &number, sizeof number);
        (void)got;
#ifdef POSTVANE_COVERAGE
        // What a test that goes on to kill the server with SIGKILL would
        // otherwise lose: the line counts an ordinary exit writes.
        if (number == SIGUSR2) {
            __gcov_dump();
            std::fprintf(stderr, "messageserver: coverage written\n");
            std::fflush(stderr);
            return;
        }
#endif
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
#ifdef POSTVANE_COVERAGE
    sigaction(SIGUSR2, &action, nullptr);
#endif
    // A write past the file-size limit fails with EFBIG, reported like a full
    // disk, instead of ending the server.
    ::signal(SIGXFSZ, SIG_IGN);

    // What earlier runs left readable by others, before the server takes its
    // bus name (the log is made private as it is opened).
    qMailTightenPrivate(QFileInfo(QSettings().fileName()).path());
    if (QMailStore::instance()) {
        qMailTightenPrivate(QMailStore::instance()->storagePath());
    }

    MessageServer server;
    if (!server.start()) {
        return 1;
    }
    return app.exec();
}
