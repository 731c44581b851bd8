#include "qmailmaildir.h"

#include "qmailmessage.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Maildir {

namespace {

// Maildir flag letters and the store status each stands for.
const struct
{
    QChar letter;
    quint64 status;
} FlagMap[] = {
    { QLatin1Char('D'), QMailMessageMetaData::Draft },
    { QLatin1Char('F'), QMailMessageMetaData::Important },
    { QLatin1Char('P'), QMailMessageMetaData::Forwarded },
    { QLatin1Char('R'), QMailMessageMetaData::Replied },
    { QLatin1Char('S'), QMailMessageMetaData::Read },
    { QLatin1Char('T'), QMailMessageMetaData::Trash },
};

const QLatin1String InfoSeparator(":2,");

} // namespace

QString uidOf(const QString &fileName)
{
    const int colon = fileName.indexOf(QLatin1Char(':'));
    return colon < 0 ? fileName : fileName.left(colon);
}

QString flagsOf(const QString &fileName)
{
    const int info = fileName.indexOf(InfoSeparator);
    return info < 0 ? QString() : fileName.mid(info + InfoSeparator.size());
}

QString fileName(const QString &uid, const QString &flags)
{
    return uid + InfoSeparator + flags;
}

quint64 statusFromFlags(const QString &flags)
{
    quint64 status = 0;
    for (const auto &flag : FlagMap) {
        if (flags.contains(flag.letter))
            status |= flag.status;
    }
    return status;
}

quint64 mappedStatusMask()
{
    quint64 mask = 0;
    for (const auto &flag : FlagMap)
        mask |= flag.status;
    return mask;
}

QString flagsFromStatus(quint64 status, const QString &current)
{
    QString letters;
    for (const QChar c : current) {
        bool mapped = false;
        for (const auto &flag : FlagMap)
            mapped = mapped || flag.letter == c;
        if (!mapped && c.isLetter() && !letters.contains(c))
            letters.append(c);
    }
    for (const auto &flag : FlagMap) {
        if (status & flag.status)
            letters.append(flag.letter);
    }
    std::sort(letters.begin(), letters.end());
    return letters;
}

} // namespace Maildir

namespace QMailMessageFile {

QString notMail(const QByteArray &text)
{
    if (text.isEmpty())
        return QStringLiteral("the file is empty");
    int start = 0;
    if (text.startsWith("From ")) {
        start = text.indexOf('\n') + 1;
        if (start <= 0)
            start = text.size();
    }
    int i = start;
    while (i < text.size()) {
        const uchar c = uchar(text.at(i));
        if (c == ':')
            break;
        if (c <= 32 || c >= 127)
            return QStringLiteral("it does not start with a header field");
        ++i;
    }
    if (i == start || i >= text.size())
        return QStringLiteral("it does not start with a header field");
    return QString();
}

QString tooLarge(const QString &name)
{
    return QStringLiteral("%1: larger than %2 MiB, the largest message the store takes")
        .arg(name)
        .arg(MaximumSize >> 20);
}

int openRegular(const QString &path, QString *why)
{
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (fd < 0 && errno == ELOOP) {
        *why = QStringLiteral("a symbolic link, not a regular file");
        return -2;
    }
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        *why = QString::fromLocal8Bit(strerror(errno));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    if (!S_ISREG(status.st_mode)) {
        *why = S_ISFIFO(status.st_mode) ? QStringLiteral("a FIFO, not a regular file")
            : S_ISSOCK(status.st_mode)  ? QStringLiteral("a socket, not a regular file")
            : S_ISDIR(status.st_mode)   ? QStringLiteral("a folder, not a regular file")
                                        : QStringLiteral("a device, not a regular file");
        ::close(fd);
        return -2;
    }
    // Reads of a regular file wait for the disk, as they should.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

} // namespace QMailMessageFile
