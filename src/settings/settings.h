#ifndef SETTINGS_H
#define SETTINGS_H

#include <QString>

// Fills in the logging defaults on first start (when "Syslog/Enabled" is
// absent) and the notifications switch when it is absent.
void writeDefaultSettings(const QString &organisation, const QString &application);

// The stored "Notification/Enabled" switch; true when absent or unreadable.
bool readNotificationsEnabled(const QString &organisation, const QString &application);

#endif // SETTINGS_H
