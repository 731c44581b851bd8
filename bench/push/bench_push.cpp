// Push latency with the real programs on private buses: a Maildir account
// and an IMAP account on a private Dovecot, both always-on, the message
// server, the daemon and the notification stand-in.
//  - landing to Notify: a file renamed into new/ of the watched Maildir
//    folder, a message saved into the IMAP inbox (doveadm), until the
//    stand-in records the Notify call that names its sender;
//  - read elsewhere to withdrawal: \Seen set on the server (doveadm), a
//    Maildir file renamed into cur/ with ":2,S", until the stand-in records
//    CloseNotification or a Notify without the sender.
// Median and worst of ROUNDS (default 10) each.
// Usage: bench_push [ROUNDS]
#include "accountsfixture.h"
#include "dovecot.h"
#include "maildirfixture.h"
#include "processrunner.h"
#include "settingswriter.h"
#include "standins.h"
#include "testenvironment.h"
#include "waituntil.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>

namespace {

QByteArray mail(const QString &from, const QString &subject)
{
    return "From: " + from.toUtf8()
        + " <push@example.org>\nTo: me@example.org\nSubject: " + subject.toUtf8() + "\nDate: "
        + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toUtf8() + "\n\nPushed.\n";
}

QString summary(QVector<double> ms)
{
    if (ms.isEmpty()) {
        return QStringLiteral("no round ended");
    }
    std::sort(ms.begin(), ms.end());
    return QStringLiteral("median %1 ms, worst %2 ms (%3 rounds)")
        .arg(ms.at(ms.size() / 2), 0, 'f', 0)
        .arg(ms.last(), 0, 'f', 0)
        .arg(ms.size());
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = argc > 1 ? QByteArray(argv[1]).toInt() : 10;
    if (qgetenv("POSTVANE_BIN_DIR").isEmpty()) {
        qputenv("POSTVANE_BIN_DIR", POSTVANE_BIN_DIR);
    }
    if (qgetenv("POSTVANE_SOURCE_DIR").isEmpty()) {
        qputenv("POSTVANE_SOURCE_DIR", POSTVANE_SOURCE_DIR);
    }
    TestEnvironment env;
    Dovecot dovecot;
    NotificationServerStandin notifications;
    ProcessRunner server, daemon;
    const QString maildir = env.path(QStringLiteral("Maildir"));
    if (!env.isValid() || !AccountsFixture::setUpWithBuses(env, true)
        || !writeSettings(
            env.settingsFile(),
            { { "Syslog/Enabled", 0 }, { "FileLog/Enabled", 0 }, { "StdStreamLog/Enabled", 0 } })
        || !writeSettings(env.path(QStringLiteral("home/.config/Brenmor/MessageServer.conf")),
                          { { "StdStreamLog/Enabled", 1 }, { "Log categories/MessageServer", 1 } })
        || !MaildirFixture::make(maildir) || !dovecot.start(env.path(QStringLiteral("dovecot")))
        || !notifications.start() || !server.start(TestEnvironment::binary("messageserver"))
        || !server.waitForLine("serving com.brenmor.qmf.MessageServer", 60000)) {
        std::fprintf(stderr, "cannot set up the environment\n");
        return 1;
    }
    const quint32 local = AccountsFixture::createAccount(QStringLiteral("local-mail"));
    const quint32 imap = dovecot.addAccount({ "int:lastSynchronized=1" });
    QStringList steps = { "update-service %1 local-email string:maildir=" + maildir,
                          "update-service %1 local-email int:lastSynchronized=1",
                          "enable-service %1 local-email" };
    for (const quint32 account : { local, imap }) {
        for (const QString &step : steps
                 + QStringList { "update-account %1 int:scheduler/schedule_peak=0",
                                 "update-account %1 int:scheduler/schedule_off_peak=0" }) {
            AccountsFixture::agTool(step.arg(account).split(QLatin1Char(' ')));
        }
        steps.clear();
    }
    qputenv("MAIL_BOOT_NO_WAIT", "1");
    if (!local || !imap || !Dovecot::mirrored(imap)
        || !daemon.start(TestEnvironment::binary("postvane"))) {
        std::fprintf(stderr, "cannot start the daemon\n");
        return 1;
    }
    // Push is on once the server watches both accounts' inboxes.
    const bool watching = waitUntil(
        [&] {
            return !server.linesContaining(QStringLiteral("account %1 push folder").arg(local))
                        .isEmpty()
                && !server.linesContaining(QStringLiteral("account %1 IDLE on").arg(imap))
                        .isEmpty();
        },
        120000);
    if (!watching) {
        std::fprintf(stderr, "push did not start\n");
        return 1;
    }
    waitUntil([] { return false; }, 3000); // the first syncs settle

    QVector<double> landed[2], withdrawn[2];
    for (int round = 0; round < rounds; ++round) {
        for (int kind = 0; kind < 2; ++kind) {
            const QString from = QStringLiteral("Sender%1x%2").arg(kind).arg(round);
            const QString name
                = QStringLiteral("%1.push%2").arg(QDateTime::currentMSecsSinceEpoch()).arg(round);
            notifications.markSeen();
            QElapsedTimer timer;
            if (kind == 0) {
                // Written into tmp/ first, then renamed into new/: the landing.
                timer.start();
                MaildirFixture::deliver(maildir, name, mail(from, from));
            } else {
                dovecot.doveadm({ "save", "-u", "ann", "-m", "INBOX" }, mail(from, from));
                timer.start(); // on the server now
            }
            if (notifications.waitForNotify(QStringLiteral(".*summary=.*") + from) != 0) {
                landed[kind].append(timer.nsecsElapsed() / 1e6);
            }
            notifications.markSeen();
            if (kind == 0) {
                timer.start();
                QFile::rename(maildir + "/new/" + name, maildir + "/cur/" + name + ":2,S");
            } else {
                dovecot.doveadm({ "flags", "add", "-u", "ann", "\\Seen", "mailbox", "INBOX",
                                  "header", "Subject", from });
                timer.start(); // set on the server now
            }
            if (!notifications
                     .waitForNewLine(
                         QRegularExpression("^(CloseNotification|Notify (?!.*" + from + "))"),
                         30000)
                     .isEmpty()) {
                withdrawn[kind].append(timer.nsecsElapsed() / 1e6);
            }
        }
    }
    std::printf("Maildir, landing in new/ to Notify: %s\n", qPrintable(summary(landed[0])));
    std::printf("IMAP, saved on the server to Notify: %s\n", qPrintable(summary(landed[1])));
    std::printf("Maildir, renamed with :2,S to withdrawal: %s\n",
                qPrintable(summary(withdrawn[0])));
    std::printf("IMAP, \\Seen set on the server to withdrawal: %s\n",
                qPrintable(summary(withdrawn[1])));
    daemon.terminate();
    server.terminate();
    notifications.stop();
    return 0;
}
