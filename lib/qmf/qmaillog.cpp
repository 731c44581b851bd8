#include "qmaillog.h"

#include "qmailprivatefiles.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QMutex>
#include <QMutexLocker>
#include <QSettings>
#include <QVector>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace {

struct LogState
{
    QMutex mutex;
    QString organization;
    QString application;
    QByteArray ident; // syslog keeps a pointer to it
    bool toSyslog = false;
    bool toStdStream = false;
    bool stdErrIsJournal = false;
    FILE *file = nullptr;
    QVector<char *> flags;
};

// Under systemd the journal stamps every line itself. JOURNAL_STREAM names
// the stream it gave the process ("device:inode"); a standard error that
// was redirected since (a child's, a test's) is not that stream.
bool stdErrIsJournal()
{
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    struct stat info = {};
    return !stream.isEmpty() && ::fstat(STDERR_FILENO, &info) == 0
        && stream
        == QByteArray::number(quint64(info.st_dev)) + ':'
            + QByteArray::number(quint64(info.st_ino));
}

// Allocated once and never freed: messages can be written while static
// objects are being destroyed at exit.
LogState &state()
{
    static LogState *s = [] {
        auto *created = new LogState;
        created->stdErrIsJournal = stdErrIsJournal();
        return created;
    }();
    return *s;
}

QByteArray timeStamp()
{
    return QDateTime::currentDateTime().toString(Qt::ISODateWithMs).toLatin1();
}

bool isCategoryRecord(QtMsgType type)
{
    return type == QtDebugMsg || type == QtInfoMsg;
}

const char *levelName(QtMsgType type)
{
    switch (type) {
    case QtWarningMsg:
        return "Warning";
    case QtCriticalMsg:
        return "Critical";
    case QtFatalMsg:
        return "Fatal";
    default:
        return "Info";
    }
}

int syslogPriority(QtMsgType type)
{
    switch (type) {
    case QtWarningMsg:
        return LOG_WARNING;
    case QtCriticalMsg:
        return LOG_ERR;
    case QtFatalMsg:
        return LOG_CRIT;
    default:
        return LOG_DEBUG;
    }
}

void writeStdErr(const LogState &s, const QByteArray &line)
{
    const QByteArray stamp = s.stdErrIsJournal ? QByteArray() : timeStamp() + ' ';
    std::fprintf(stderr, "%s%s[%d]: %s\n", stamp.constData(), s.ident.constData(), int(::getpid()),
                 line.constData());
    std::fflush(stderr);
}

void messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    LogState &s = state();
    QMutexLocker locker(&s.mutex);

    const bool record = isCategoryRecord(type);
    const QByteArray label = record ? QByteArray(context.category ? context.category : "default")
                                    : QByteArray(levelName(type));
    const QByteArray line = '[' + label + "] " + message.toLocal8Bit();

    bool written = false;
    if (s.toSyslog) {
        ::syslog(syslogPriority(type), "%s", line.constData());
        written = true;
    }
    if (s.file) {
        std::fprintf(s.file, "%s %s[%d]: %s\n", timeStamp().constData(), s.ident.constData(),
                     int(::getpid()), line.constData());
        std::fflush(s.file);
        written = true;
    }
    if (s.toStdStream || (!written && !record)) {
        writeStdErr(s, line);
    }
    // Qt aborts the process itself after a fatal message has been handled.
}

bool settingEnabled(QSettings &settings, const QString &key)
{
    return settings.value(key, 0).toBool();
}

} // namespace

void qMailLoggersRecreate(const QString &organization, const QString &application,
                          const char *ident)
{
    LogState &s = state();
    {
        QMutexLocker locker(&s.mutex);
        s.organization = organization;
        s.application = application;
        s.ident = QByteArray(ident ? ident : "");

        QSettings settings(organization, application);
        s.toSyslog = settingEnabled(settings, QStringLiteral("Syslog/Enabled"));
        s.toStdStream = settingEnabled(settings, QStringLiteral("StdStreamLog/Enabled"));
        s.stdErrIsJournal = stdErrIsJournal();

        if (s.file) {
            std::fclose(s.file);
            s.file = nullptr;
        }
        QString fileProblem;
        if (settingEnabled(settings, QStringLiteral("FileLog/Enabled"))) {
            const QString path = settings.value(QStringLiteral("FileLog/Path")).toString();
            s.file = path.isEmpty() ? nullptr : std::fopen(path.toLocal8Bit().constData(), "a");
            if (s.file) {
                qMailTightenPrivate(path);
            } else {
                fileProblem = QStringLiteral("Cannot open log file \"%1\": %2")
                                  .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            }
        }

        ::closelog();
        if (s.toSyslog) {
            ::openlog(s.ident.constData(), LOG_PID, LOG_USER);
        }
        for (char *flag : qAsConst(s.flags)) {
            *flag = 0;
        }
        qInstallMessageHandler(messageHandler);
        if (fileProblem.isEmpty()) {
            return;
        }
        locker.unlock();
        qWarning("%s", qPrintable(fileProblem));
    }
}

void qmf_registerLoggingFlag(char *flag)
{
    LogState &s = state();
    QMutexLocker locker(&s.mutex);
    if (!s.flags.contains(flag)) {
        s.flags.append(flag);
    }
}

bool qmf_checkLoggingEnabled(const char *category, bool defaultValue)
{
    LogState &s = state();
    QString organization;
    QString application;
    {
        QMutexLocker locker(&s.mutex);
        organization = s.organization;
        application = s.application;
    }
    if (organization.isEmpty() && application.isEmpty()) {
        organization = QCoreApplication::organizationName();
        application = QCoreApplication::applicationName();
    }
    QSettings settings(organization, application);
    settings.beginGroup(QStringLiteral("Log categories"));
    const QString key = QString::fromLatin1(category);
    if (!settings.contains(key)) {
        return defaultValue;
    }
    return settings.value(key).toBool();
}

QDebug QLogBase::log(const char *category)
{
    return QMessageLogger(nullptr, 0, nullptr, category).debug();
}

bool qmf_isCategoryEnabled(char &flag, const char *category)
{
    if (flag == 0) {
        qmf_registerLoggingFlag(&flag);
        flag = qmf_checkLoggingEnabled(category, true) ? 3 : 2;
    }
    return flag & 1;
}
