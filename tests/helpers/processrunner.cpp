#include "processrunner.h"

#include "waituntil.h"

#include <QDeadlineTimer>
#include <QtDebug>

ProcessRunner::ProcessRunner()
{
    m_process.setProcessChannelMode(QProcess::MergedChannels);
}

ProcessRunner::~ProcessRunner()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
}

bool ProcessRunner::start(const QString &program, const QStringList &arguments)
{
    m_process.start(program, arguments);
    if (!m_process.waitForStarted(10000)) {
        qWarning("Cannot start %s: %s", qPrintable(program), qPrintable(m_process.errorString()));
        return false;
    }
    return true;
}

void ProcessRunner::collect()
{
    m_pending += m_process.readAll();
    int end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        m_lines.append(QString::fromLocal8Bit(m_pending.left(end)));
        m_pending.remove(0, end + 1);
    }
}

bool ProcessRunner::waitForLine(const QString &text, int timeoutMs)
{
    return waitForLine(QRegularExpression(QRegularExpression::escape(text)), timeoutMs);
}

bool ProcessRunner::waitForLine(const QRegularExpression &pattern, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    int checked = 0;
    for (;;) {
        // Decided before reading, so that what an ended child wrote last is
        // still scanned once.
        const bool lastLook = m_process.state() == QProcess::NotRunning || deadline.hasExpired();
        collect();
        for (; checked < m_lines.size(); ++checked) {
            if (pattern.match(m_lines.at(checked)).hasMatch()) {
                return true;
            }
        }
        if (lastLook) {
            qWarning() << "No line matching" << pattern.pattern() << "; output so far:" << m_lines;
            return false;
        }
        m_process.waitForReadyRead(
            int(qMax<qint64>(1, qMin<qint64>(200, deadline.remainingTime()))));
    }
}

bool ProcessRunner::terminate(int timeoutMs)
{
    m_process.terminate();
    return waitForFinished(timeoutMs);
}

bool ProcessRunner::waitForFinished(int timeoutMs)
{
    const bool finished
        = m_process.state() == QProcess::NotRunning || m_process.waitForFinished(timeoutMs);
    collect();
    if (!m_pending.isEmpty()) {
        m_lines.append(QString::fromLocal8Bit(m_pending));
        m_pending.clear();
    }
    return finished;
}

QStringList ProcessRunner::lines()
{
    collect();
    return m_lines;
}

QStringList ProcessRunner::linesContaining(const QString &text)
{
    return lines().filter(text);
}

bool finishWhileServing(QProcess &process, int timeoutMs)
{
    return process.waitForStarted(10000)
        && waitUntil([&process] { return process.state() == QProcess::NotRunning; }, timeoutMs);
}
