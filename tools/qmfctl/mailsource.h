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
    // files, an mbox file (first line "From ") or a single message file. A
    // pipe, FIFO or terminal (/dev/stdin, <(...)) is read once, as a stream,
    // and holds an mbox or one message.
    explicit MailSource(const QStringList &paths);
    ~MailSource();

    // Checks every path before anything is read; false with errorString() set
    // when one is missing or unreadable.
    bool prepare();
    // False at the end or on an error (errorString() is then not empty).
    bool next(SourceMessage *message);
    QString errorString() const { return m_error; }
    // What the import should tell besides its count: files of a folder that
    // were skipped, subfolders that were not read.
    QStringList notes() const;

private:
    struct Entry
    {
        QString path;
        bool mbox = false;
        bool maildir = false;
        bool stream = false;
        // The folder given on the command line that this file was found in.
        int folder = -1;
    };

    struct Folder
    {
        QString path;
        QStringList skipped;
        QStringList subfolders;
    };

    bool openMbox(const QString &path);
    bool readMboxMessage(SourceMessage *message);
    bool readFile(const Entry &entry, SourceMessage *message);
    bool readStream(const Entry &entry, SourceMessage *message);
    // Refuses text that is not mail: an error for a file named on the
    // command line, a skipped file for one found in a folder.
    bool judge(const Entry &entry, const QString &name, const QByteArray &text, bool *skip);

    QStringList m_paths;
    QList<Entry> m_entries;
    QList<Folder> m_folders;
    int m_index = 0;
    std::unique_ptr<QFile> m_mbox;
    QString m_mboxPath;
    QByteArray m_pendingFromLine;
    int m_mboxCount = 0;
    QString m_error;
};

#endif // MAILSOURCE_H
