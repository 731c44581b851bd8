#include "mailsource.h"

#include <QDir>
#include <QFileInfo>

namespace {

bool isMboxStart(const QByteArray &line)
{
    return line.startsWith("From ");
}

// mboxrd quoting: ">From " lines (with any number of '>') lose one '>'.
void unquoteFromLine(QByteArray &line)
{
    int i = 0;
    while (i < line.size() && line.at(i) == '>')
        ++i;
    if (i > 0 && line.mid(i, 5) == "From ")
        line.remove(0, 1);
}

// The Maildir file name without its ":2,FLAGS" info part.
QString maildirUid(const QString &fileName, bool *seen)
{
    const int colon = fileName.indexOf(QLatin1Char(':'));
    *seen = false;
    if (colon < 0)
        return fileName;
    const QString info = fileName.mid(colon + 1);
    if (info.startsWith(QLatin1String("2,")))
        *seen = info.mid(2).contains(QLatin1Char('S'));
    return fileName.left(colon);
}

} // namespace

MailSource::MailSource(const QStringList &paths)
    : m_paths(paths)
{ }

MailSource::~MailSource() = default;

bool MailSource::prepare()
{
    for (const QString &path : qAsConst(m_paths)) {
        const QFileInfo info(path);
        if (!info.exists()) {
            m_error = QStringLiteral("%1: no such file or folder").arg(path);
            return false;
        }
        if (info.isDir()) {
            const QDir dir(path);
            const bool maildir
                = dir.exists(QStringLiteral("cur")) || dir.exists(QStringLiteral("new"));
            const QStringList subdirs = maildir
                ? QStringList { QStringLiteral("new"), QStringLiteral("cur") }
                : QStringList { QString() };
            for (const QString &sub : subdirs) {
                const QDir folder(sub.isEmpty() ? path : dir.filePath(sub));
                if (!folder.exists())
                    continue;
                if (!folder.isReadable()) {
                    m_error = QStringLiteral("%1: cannot read the folder").arg(folder.path());
                    return false;
                }
                const QFileInfoList files
                    = folder.entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
                for (const QFileInfo &file : files) {
                    if (!file.isReadable()) {
                        m_error = QStringLiteral("%1: cannot read the file").arg(file.filePath());
                        return false;
                    }
                    m_entries.append({ file.filePath(), false, maildir });
                }
            }
            continue;
        }
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            m_error = QStringLiteral("%1: %2").arg(path, file.errorString());
            return false;
        }
        const bool mbox = isMboxStart(file.peek(5));
        m_entries.append({ path, mbox, false });
    }
    return true;
}

bool MailSource::next(SourceMessage *message)
{
    *message = SourceMessage();
    while (true) {
        if (m_mbox) {
            if (readMboxMessage(message))
                return true;
            if (!m_error.isEmpty())
                return false;
            m_mbox.reset();
            continue;
        }
        if (m_index >= m_entries.size())
            return false;
        const Entry entry = m_entries.at(m_index++);
        if (entry.mbox) {
            if (!openMbox(entry.path))
                return false;
            continue;
        }
        return readFile(entry, message);
    }
}

bool MailSource::readFile(const Entry &entry, SourceMessage *message)
{
    QFile file(entry.path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("%1: %2").arg(entry.path, file.errorString());
        return false;
    }
    message->text = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        m_error = QStringLiteral("%1: %2").arg(entry.path, file.errorString());
        return false;
    }
    const QFileInfo info(entry.path);
    message->received = info.lastModified();
    if (entry.maildir) {
        bool seen = false;
        message->serverUid = maildirUid(info.fileName(), &seen);
        message->read = seen;
    } else {
        message->serverUid = info.fileName();
    }
    return true;
}

bool MailSource::openMbox(const QString &path)
{
    m_mbox = std::make_unique<QFile>(path);
    if (!m_mbox->open(QIODevice::ReadOnly)) {
        m_error = QStringLiteral("%1: %2").arg(path, m_mbox->errorString());
        m_mbox.reset();
        return false;
    }
    m_mboxPath = path;
    m_mboxCount = 0;
    m_pendingFromLine = m_mbox->readLine();
    return true;
}

bool MailSource::readMboxMessage(SourceMessage *message)
{
    if (m_pendingFromLine.isEmpty())
        return false;
    QByteArray text;
    bool previousBlank = true;
    while (true) {
        QByteArray line = m_mbox->readLine();
        if (line.isEmpty()) {
            if (m_mbox->error() != QFileDevice::NoError) {
                m_error = QStringLiteral("%1: %2").arg(m_mboxPath, m_mbox->errorString());
                return false;
            }
            m_pendingFromLine.clear();
            break;
        }
        // A "From " line after a blank line starts the next message.
        if (previousBlank && isMboxStart(line) && !text.isEmpty()) {
            m_pendingFromLine = line;
            break;
        }
        previousBlank = line == "\n" || line == "\r\n";
        unquoteFromLine(line);
        text.append(line);
    }
    // The blank line before the separator belongs to the mbox, not the message.
    if (text.endsWith("\n\n"))
        text.chop(1);
    else if (text.endsWith("\r\n\r\n"))
        text.chop(2);
    message->text = text;
    message->serverUid
        = QFileInfo(m_mboxPath).fileName() + QLatin1Char('#') + QString::number(++m_mboxCount);
    message->received = QDateTime::currentDateTime();
    return true;
}
