#ifndef SETTINGSWRITER_H
#define SETTINGSWRITER_H

#include <QString>
#include <QVariantMap>

// Writes an INI settings file as the daemon reads it, replacing what the file
// held: keys are "group/key" ("Log categories/Scheduler", "Notification/Enabled").
// False when the file cannot be written.
bool writeSettings(const QString &file, const QVariantMap &values);

#endif // SETTINGSWRITER_H
