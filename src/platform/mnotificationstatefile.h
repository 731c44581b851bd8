#ifndef MNOTIFICATIONSTATEFILE_H
#define MNOTIFICATIONSTATEFILE_H

#include "mnotificationdata.h"

#include <QList>
#include <QString>

// The notifications a program has on display, kept in a small JSON file so
// that a later run of the program finds them:
// "$XDG_STATE_HOME/<application>/notifications.json". The file names the
// server instance that showed them, because the server's ids mean nothing to
// another instance. It is replaced as a whole, never left half written.
class MNotificationStateFile
{
public:
    struct Record
    {
        quint64 key = 0; // the program's number of the notification
        uint serverId = 0; // the server's id of it
        MNotificationData data;
    };
    struct State
    {
        QString server; // "<bus id>/<unique name of the server>"
        quint64 nextKey = 1;
        QList<Record> records; // in the order of first publishing
    };

    explicit MNotificationStateFile(const QString &path = defaultPath());

    static QString defaultPath();
    QString path() const { return m_path; }

    // The file's contents; an empty state when there is no file, and with a
    // warning when it cannot be read. Records without key or server id, and
    // repeated keys, are skipped.
    State read() const;
    // False, with a warning, when the file cannot be written.
    bool write(const State &state) const;

private:
    QString m_path;
};

#endif // MNOTIFICATIONSTATEFILE_H
