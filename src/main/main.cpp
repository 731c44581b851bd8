#include "accountstatus.h"
#include "actionswatcher.h"
#include "mnotificationstatefile.h"
#include "postvane.h"
#include "qtn_mail.h"
#include "settings.h"
#include "syncscheduler.h"
#include "transfermanager.h"

#include <QCoreApplication>

#include <qmaillog.h>
#include <qmailprivatefiles.h>
#include <qmailstore.h>

#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

namespace {

const QString organisationName = QStringLiteral("Brenmor");
const QString applicationName = QStringLiteral("Postvane");

} // namespace

int main(int argc, char *argv[])
{
    // No limit on malloc arenas (unlike the message server): with one arena
    // the mirror's batch building and Tracker's writer thread wait on each
    // other's allocations, and mirroring a burst took a third longer. The
    // mirror trims every arena when a burst ends.
    //
    // While TZ is unset GLib reads the zone file again for every date Tracker
    // parses, a twelfth of its writer thread's time in a burst; named, the
    // zone is read once. The statements carry their offsets, so what Tracker
    // stores never depends on it, and the C library reads the same file
    // either way, again at every tzset() after a change of zone.
    if (!qEnvironmentVariableIsSet("TZ")) {
        qputenv("TZ", ":/etc/localtime");
    }
    qMailKeepFilesPrivate();
    writeDefaultSettings(organisationName, applicationName);
    qMailLoggersRecreate(organisationName, applicationName,
                         applicationName.toLocal8Bit().constData());

    QCoreApplication application(argc, argv);
    qtn_mail::init_translation_package();

    // Takes the single-instance lock: a second instance ends here.
    Postvane *postvane = new Postvane(nullptr);
    // What earlier runs left readable by others (the lock is made private as
    // it is taken, the log as it is opened).
    for (const QString &own :
         { QFileInfo(QSettings(organisationName, applicationName).fileName()).path(),
           QMailStore::instance() ? QMailStore::instance()->storagePath() : QString(),
           QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
               + QStringLiteral("/postvane"),
           QFileInfo(MNotificationStateFile::defaultPath()).path() }) {
        qMailTightenPrivate(own);
    }
    postvane->enableNotifications(readNotificationsEnabled(organisationName, applicationName));

    ActionsWatcher *actionsWatcher = new ActionsWatcher(nullptr);
    SyncScheduler *syncScheduler = new SyncScheduler(nullptr);
    // Never deleted: its entries stay in the transfer UI when the daemon exits.
    // A static pointer keeps it reachable for the rest of the process, so the
    // leak checker sees an object that lives on, not a leak.
    static TransferManager *transferManager = nullptr;
    transferManager = new TransferManager(nullptr);

    QObject::connect(syncScheduler, SIGNAL(accountAdded(QMailAccountId)), transferManager,
                     SLOT(onAccountAdded(QMailAccountId)));
    QObject::connect(syncScheduler, SIGNAL(accountDeleted(QMailAccountId)), transferManager,
                     SLOT(onAccountDeleted(QMailAccountId)));
    QObject::connect(actionsWatcher, SIGNAL(transferStarted(QMailAccountId, bool)), transferManager,
                     SLOT(onTransferStarted(QMailAccountId, bool)));
    QObject::connect(actionsWatcher, SIGNAL(transferProgress(QMailAccountId, uint, uint)),
                     transferManager, SLOT(onTransferProgress(QMailAccountId, uint, uint)));
    QObject::connect(
        actionsWatcher,
        SIGNAL(transferFinished(QMailAccountId, QMailServiceAction::Status::ErrorCode)),
        transferManager,
        SLOT(onTransferFinished(QMailAccountId, QMailServiceAction::Status::ErrorCode)));
    QObject::connect(transferManager, SIGNAL(accountCancelRequest(QMailAccountId)), actionsWatcher,
                     SLOT(onAccountCancelRequest(QMailAccountId)));

    // The accounts' state and the sync on request, for the command line.
    AccountStatus *accountStatus = new AccountStatus(syncScheduler, nullptr);
    accountStatus->publish();

    syncScheduler->startWhenReady();

    const int result = application.exec();

    delete accountStatus;
    delete syncScheduler;
    delete postvane;
    delete actionsWatcher;
    return result;
}
