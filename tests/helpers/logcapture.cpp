#include "logcapture.h"

#include <QMutex>
#include <QtDebug>

namespace {

QStringList gLines;
QMutex gMutex; // the SPARQL binding's worker thread may log too
QtMessageHandler gPrevious = nullptr;

void capture(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    QString label;
    switch (type) {
    case QtWarningMsg:
        label = QStringLiteral("Warning");
        break;
    case QtCriticalMsg:
        label = QStringLiteral("Critical");
        break;
    case QtFatalMsg:
        label = QStringLiteral("Fatal");
        break;
    default:
        label = QString::fromLatin1(context.category ? context.category : "default");
    }
    {
        QMutexLocker locker(&gMutex);
        gLines.append(QLatin1Char('[') + label + QStringLiteral("] ") + message);
    }
    if (gPrevious && type != QtDebugMsg && type != QtInfoMsg) {
        gPrevious(type, context, message);
    }
}

} // namespace

LogCapture::LogCapture()
{
    QMutexLocker locker(&gMutex);
    gLines.clear();
    gPrevious = qInstallMessageHandler(capture);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(gPrevious);
    QMutexLocker locker(&gMutex);
    gLines.clear();
}

QStringList LogCapture::lines() const
{
    QMutexLocker locker(&gMutex);
    return gLines;
}

bool LogCapture::contains(const QString &text) const
{
    return count(text) > 0;
}

int LogCapture::count(const QString &text) const
{
    int n = 0;
    for (const QString &line : lines()) {
        if (line.contains(text)) {
            ++n;
        }
    }
    return n;
}

void LogCapture::clear()
{
    QMutexLocker locker(&gMutex);
    gLines.clear();
}
