#include "postvane.h"
#include "qtn_mail.h"
#include "settings.h"

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

    const int result = application.exec();

    delete postvane;
    return result;
}
