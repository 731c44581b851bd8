#include "settingswriter.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

bool writeSettings(const QString &file, const QVariantMap &values)
{
    QDir().mkpath(QFileInfo(file).absolutePath());
    QSettings settings(file, QSettings::IniFormat);
    settings.clear();
    for (auto it = values.cbegin(); it != values.cend(); ++it) {
        settings.setValue(it.key(), it.value());
    }
    settings.sync();
    return settings.status() == QSettings::NoError;
}
