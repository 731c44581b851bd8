#ifndef MAILSOURCE_H
#define MAILSOURCE_H

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <memory>

// One message read from a mail source, with what the source knows about it.
struct SourceMessage
{
    QByteArray text;
    QString serverUid;
    QDateTime received;
    bool read = false;
};

// Reads messages one at a time from RFC 822 files, mbox files and Maildir
// folders, so that an import never holds more than one message in memory.
class MailSource
{
public:
    // Each path is a Maildir (a folder with cur/ or new/), a folder of message
    // files, an mbox file (first line "From ") or a single message file.
    explicit MailSource(const QStringList &paths);
    ~MailSource();

    // Checks every path before anything is read; false with errorString() set
    // when one is missing or unreadable.
    bool prepare();
    // False at the end or on an error (errorString() is then not empty).
    bool next(SourceMessage *message);
    QString errorString() const { return m_error; }

private:
    struct Entry
    {
        QString path;
        bool mbox = false;
        bool maildir = false;
    };

    bool openMbox(const QString &path);
    bool readMboxMessage(SourceMessage *message);
    bool readFile(const Entry &entry, SourceMessage *message);

    QStringList m_paths;
    QList<Entry> m_entries;
    int m_index = 0;
    std::unique_ptr<QFile> m_mbox;
    QString m_mboxPath;
    QByteArray m_pendingFromLine;
    int m_mboxCount = 0;
    QString m_error;
};

#endif // MAILSOURCE_H
