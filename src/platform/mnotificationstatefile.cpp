#include "mnotificationstatefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QSet>
#include <QtDebug>

namespace {

// 64-bit numbers are written as texts: JSON numbers are doubles.
quint64 number(const QJsonValue &value)
{
    return value.toVariant().toULongLong();
}

} // namespace

MNotificationStateFile::MNotificationStateFile(const QString &path)
    : m_path(path)
{ }

QString MNotificationStateFile::defaultPath()
{
    QString stateHome = QFile::decodeName(qgetenv("XDG_STATE_HOME"));
    if (stateHome.isEmpty() || !QDir::isAbsolutePath(stateHome)) {
        stateHome = QDir::homePath() + QStringLiteral("/.local/state");
    }
    QString application = QCoreApplication::applicationName();
    if (application.isEmpty()) {
        application = QStringLiteral("mnotification");
    }
    return stateHome + QLatin1Char('/') + application + QStringLiteral("/notifications.json");
}

MNotificationStateFile::State MNotificationStateFile::read() const
{
    State state;
    QFile file(m_path);
    if (!file.exists()) {
        return state;
    }
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("MNotification: cannot read %s: %s", qPrintable(m_path),
                 qPrintable(file.errorString()));
        return state;
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (!document.isObject()) {
        qWarning("MNotification: ignoring unreadable state file %s: %s", qPrintable(m_path),
                 qPrintable(error.errorString()));
        return state;
    }
    const QJsonObject root = document.object();
    state.server = root.value(QStringLiteral("server")).toString();
    state.nextKey = qMax<quint64>(1, number(root.value(QStringLiteral("nextKey"))));
    QSet<quint64> keys;
    for (const QJsonValue &value : root.value(QStringLiteral("notifications")).toArray()) {
        const QJsonObject object = value.toObject();
        Record record;
        record.key = number(object.value(QStringLiteral("key")));
        record.serverId = uint(number(object.value(QStringLiteral("serverId"))));
        if (record.key == 0 || record.serverId == 0 || keys.contains(record.key)) {
            continue;
        }
        keys.insert(record.key);
        MNotificationData &data = record.data;
        data.eventType = object.value(QStringLiteral("eventType")).toString();
        data.summary = object.value(QStringLiteral("summary")).toString();
        data.body = object.value(QStringLiteral("body")).toString();
        data.image = object.value(QStringLiteral("image")).toString();
        const QJsonValue timestamp = object.value(QStringLiteral("timestamp"));
        if (!timestamp.isNull() && !timestamp.isUndefined()) {
            data.timestamp = QDateTime::fromMSecsSinceEpoch(timestamp.toVariant().toLongLong());
        }
        data.count = uint(number(object.value(QStringLiteral("count"))));
        data.identifier = object.value(QStringLiteral("identifier")).toString();
        data.action = object.value(QStringLiteral("action")).toString();
        state.nextKey = qMax(state.nextKey, record.key + 1);
        state.records.append(record);
    }
    return state;
}

bool MNotificationStateFile::write(const State &state) const
{
    QJsonArray list;
    for (const Record &record : state.records) {
        const MNotificationData &data = record.data;
        QJsonObject object;
        object.insert(QStringLiteral("key"), QString::number(record.key));
        object.insert(QStringLiteral("serverId"), qint64(record.serverId));
        object.insert(QStringLiteral("eventType"), data.eventType);
        object.insert(QStringLiteral("summary"), data.summary);
        object.insert(QStringLiteral("body"), data.body);
        if (!data.image.isEmpty()) {
            object.insert(QStringLiteral("image"), data.image);
        }
        object.insert(QStringLiteral("timestamp"),
                      data.timestamp.isValid()
                          ? QJsonValue(QString::number(data.timestamp.toMSecsSinceEpoch()))
                          : QJsonValue());
        object.insert(QStringLiteral("count"), qint64(data.count));
        object.insert(QStringLiteral("identifier"), data.identifier);
        object.insert(QStringLiteral("action"), data.action);
        list.append(object);
    }
    QJsonObject root;
    root.insert(QStringLiteral("server"), state.server);
    root.insert(QStringLiteral("nextKey"), QString::number(state.nextKey));
    root.insert(QStringLiteral("notifications"), list);

    QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly)
        || file.write(QJsonDocument(root).toJson(QJsonDocument::Compact)) < 0 || !file.commit()) {
        qWarning("MNotification: cannot write %s: %s", qPrintable(m_path),
                 qPrintable(file.errorString()));
        return false;
    }
    return true;
}
