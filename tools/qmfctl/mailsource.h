#ifndef MAILSOURCE_H
#define MAILSOURCE_H

#include <qmailfolder.h>
#include <qmailid.h>

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>

#include <memory>

class QMailStore;

// One message of a mail source, with what the source knows about it.
struct SourceMessage
{
    QByteArray text; // empty for a file, which the store reads itself
    QString file;
    QString serverUid;
    QDateTime received; // invalid for a file: the store takes its time
    bool read = false;
    int folder = -1; // the folder given on the command line it was found in
};

// Reads messages one at a time from RFC 822 files, mbox files and Maildir
// folders, so that an import never holds more than one message in memory (a
// file none at all: the store copies it as it reads it).
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
    // Adds every message to the folder (as read when `read`, or when its
    // Maildir name says so); false at the first failure, with errorString().
    // The ids of the messages added go to *added.
    bool importInto(QMailStore *store, const QMailFolder &folder, bool read,
                    QMailMessageIdList *added);
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
    void readFile(const Entry &entry, SourceMessage *message);
    bool readStream(const Entry &entry, SourceMessage *message);
    // Refuses what is not mail (`why` not empty): an error for a file named
    // on the command line, a skipped file for one found in a folder.
    bool judge(int folder, const QString &path, const QString &why, bool *skip);

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
