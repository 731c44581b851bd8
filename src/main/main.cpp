#include "platform/qtn_mail.h"
#include "postvane/postvane.h"
#include "settings/settings.h"
#include "syncscheduler/syncscheduler.h"

#include <QCoreApplication>
#include <qmaillog.h>

namespace {

const QString organisationName = QStringLiteral("Brenmor");
const QString applicationName = QStringLiteral("Postvane");

} // namespace

int main(int argc, char *argv[])
{
    writeDefaultSettings(organisationName, applicationName);
    qMailLoggersRecreate(organisationName, applicationName,
                         applicationName.toLocal8Bit().constData());

    QCoreApplication application(argc, argv);
    qtn_mail::init_translation_package();

    Postvane *postvane = new Postvane(nullptr);
    postvane->enableNotifications(readNotificationsEnabled(organisationName, applicationName));

    SyncScheduler *syncScheduler = new SyncScheduler(nullptr);

    syncScheduler->startWhenReady();

    const int result = application.exec();

    delete syncScheduler;
    delete postvane;
    return result;
}
