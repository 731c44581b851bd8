#include "settings.h"

#include <QSettings>

void writeDefaultSettings(const QString &organisation, const QString &application)
{
    QSettings settings(organisation, application);
    if (settings.contains(QStringLiteral("Syslog/Enabled"))) {
        return;
    }

    settings.beginGroup(QStringLiteral("Syslog"));
    settings.setValue(QStringLiteral("Enabled"), 0);
    settings.endGroup();

    settings.beginGroup(QStringLiteral("FileLog"));
    settings.setValue(QStringLiteral("Path"), QStringLiteral("/home/user/.postvane.log"));
    settings.setValue(QStringLiteral("Enabled"), 0);
    settings.endGroup();

    settings.beginGroup(QStringLiteral("StdStreamLog"));
    settings.setValue(QStringLiteral("Enabled"), 0);
    settings.endGroup();

    settings.beginGroup(QStringLiteral("Log categories"));
    settings.setValue(QStringLiteral("Notifications"), 1);
    settings.setValue(QStringLiteral("Queries"), 0);
    settings.setValue(QStringLiteral("Indexer"), 0);
    settings.setValue(QStringLiteral("Heartbeat"), 0);
    settings.setValue(QStringLiteral("Scheduler"), 1);
    settings.setValue(QStringLiteral("Watcher"), 0);
    settings.setValue(QStringLiteral("Transfer"), 0);
    settings.endGroup();

    if (!settings.contains(QStringLiteral("Notification/Enabled"))) {
        settings.beginGroup(QStringLiteral("Notification"));
        settings.setValue(QStringLiteral("Enabled"), 1);
        settings.endGroup();
    }

    settings.sync();
}

bool readNotificationsEnabled(const QString &organisation, const QString &application)
{
    QSettings settings(organisation, application);
    return settings.value(QStringLiteral("Notification/Enabled"), true).toBool();
}
