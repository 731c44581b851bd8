#ifndef PROCESSRUNNER_H
#define PROCESSRUNNER_H

#include <QProcess>
#include <QRegularExpression>
#include <QStringList>

// A program of this project run as a child process, with its standard error
// collected line by line so that a test can wait for a log record and then
// assert on what came before it. The child inherits the test's environment.
class ProcessRunner
{
public:
    ProcessRunner();
    ~ProcessRunner(); // ends a child that is still running (SIGTERM, then SIGKILL)

    bool start(const QString &program, const QStringList &arguments = QStringList());
    // Waits until a line of standard error contains the text; false on timeout
    // or when the child ended without writing it.
    bool waitForLine(const QString &text, int timeoutMs = 15000);
    bool waitForLine(const QRegularExpression &pattern, int timeoutMs = 15000);
    // Sends SIGTERM and waits for the child to end; false when it does not.
    bool terminate(int timeoutMs = 15000);
    bool waitForFinished(int timeoutMs = 15000);

    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    qint64 pid() const { return m_process.processId(); }
    // Every line of standard error so far (standard output is merged into it).
    QStringList lines();
    QStringList linesContaining(const QString &text);
    QProcess &process() { return m_process; }

private:
    void collect();

    QProcess m_process;
    QByteArray m_pending;
    QStringList m_lines;
};

// Waits for a short-lived helper program (qmfctl, tracker3) to end while the
// event loop runs: a blocking wait would stop draining the pipes of the
// long-running children, and a daemon whose log pipe is full stops answering.
bool finishWhileServing(QProcess &process, int timeoutMs = 60000);

#endif // PROCESSRUNNER_H
