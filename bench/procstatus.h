#ifndef PROCSTATUS_H
#define PROCSTATUS_H

// What the benchmarks read of a process from /proc.

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <unistd.h>

// A field of /proc/PID/status in kB ("VmHWM", "RssAnon"), -1 when it cannot
// be read.
inline long statusKb(qint64 pid, const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':')) {
            return line.mid(field.size() + 1).trimmed().split(' ').value(0).toLong();
        }
    }
    return -1;
}

// User and system CPU time the process has used, in seconds; -1 when it
// cannot be read.
inline double cpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    // The fields after the command name, which may hold blanks.
    const QByteArray text = stat.readAll();
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toLongLong() + fields.value(12).toLongLong())
        / double(sysconf(_SC_CLK_TCK));
}

#endif // PROCSTATUS_H
