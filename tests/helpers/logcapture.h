#ifndef LOGCAPTURE_H
#define LOGCAPTURE_H

#include <QStringList>

// Collects the messages of this process while it exists: category records as
// "[category] text", warnings, critical and fatal messages as "[Warning] text",
// "[Critical] text" and "[Fatal] text". Warnings still reach the previous
// handler, so a failing test shows them.
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    QStringList lines() const;
    bool contains(const QString &text) const;
    int count(const QString &text) const;
    void clear();
};

#endif // LOGCAPTURE_H
