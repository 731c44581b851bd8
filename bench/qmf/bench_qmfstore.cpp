// Measures the mail store with a realistic mail folder:
//  - importing N messages (default 10000) from a Maildir with qmfctl: rate
//    and the importer's peak resident memory;
//  - QMailStore::messageMetaData per id: median and 95th percentile;
//  - QMailMessage(id) of multipart messages with their parts: median.
// Usage: bench_qmfstore [COUNT] [QMFCTL]
// Everything happens in a temporary folder that is removed afterwards.

#include <qmailstore.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <random>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const char *const FirstNames[] = { "Anna", "Jörg", "Åsa", "Chloé", "Олег", "Kenji", "Bob", "Zoë" };
const char *const Words[]
    = { "meeting", "report", "lunch",  "budget", "release", "holiday", "invoice",
        "review",  "plan",   "update", "draft",  "photos",  "notes",   "schedule" };

QByteArray encodedWord(const QString &text)
{
    return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?=";
}

QByteArray words(QRandomGenerator &random, int count)
{
    QByteArray text;
    for (int i = 0; i < count; ++i) {
        if (i)
            text += ' ';
        text += Words[random.bounded(int(sizeof(Words) / sizeof(Words[0])))];
    }
    return text;
}

QByteArray paragraph(QRandomGenerator &random, int bytes)
{
    QByteArray text;
    while (text.size() < bytes) {
        text += words(random, 12);
        text += ".\n";
    }
    return text;
}

QByteArray makeMessage(QRandomGenerator &random, int index)
{
    const int kind = random.bounded(100);
    const QString name = QString::fromUtf8(FirstNames[random.bounded(8)]);
    QByteArray from = name.toUtf8().toLower() + "@example.org";
    QByteArray head;
    const QByteArray date
        = QDateTime::currentDateTimeUtc().addSecs(-60 * index).toString(Qt::RFC2822Date).toLatin1();
    if (kind < 60) {
        // Plain text, ASCII headers.
        head = "From: " + name.toLatin1() + " <" + from + ">\nTo: me@example.org\nSubject: "
            + words(random, 4) + "\nDate: " + date + "\nMessage-ID: <" + QByteArray::number(index)
            + "@bench>\n" + "Content-Type: text/plain; charset=us-ascii\n\n";
        return head + paragraph(random, 500 + random.bounded(3500));
    }
    if (kind < 85) {
        // Multipart with one or two attachments.
        const QByteArray boundary = "=_b" + QByteArray::number(index);
        QByteArray text = "From: " + encodedWord(name) + " <" + from
            + ">\nTo: me@example.org, team@example.org\n" + "Subject: " + words(random, 3)
            + " attached\nDate: " + date + "\nMIME-Version: 1.0\n"
            + "Content-Type: multipart/mixed; boundary=\"" + boundary + "\"\n\n" + "--" + boundary
            + "\nContent-Type: text/plain; charset=utf-8\n\n" + paragraph(random, 800) + "\n";
        const int attachments = 1 + random.bounded(2);
        for (int a = 0; a < attachments; ++a) {
            QByteArray data(5000 + random.bounded(30000), Qt::Uninitialized);
            for (char &c : data)
                c = char(random.bounded(256));
            const QByteArray file = words(random, 1) + QByteArray::number(a) + ".pdf";
            text += "--" + boundary + "\nContent-Type: application/pdf; name=\"" + file + "\"\n"
                + "Content-Disposition: attachment; filename=\"" + file + "\"; size="
                + QByteArray::number(data.size()) + "\nContent-Transfer-Encoding: base64\n\n";
            const QByteArray encoded = data.toBase64();
            for (int i = 0; i < encoded.size(); i += 76)
                text += encoded.mid(i, 76) + '\n';
        }
        return text + "--" + boundary + "--\n";
    }
    // Non-ASCII headers and a quoted-printable UTF-8 body.
    const QString subject
        = QString::fromUtf8("Grüße, Привет, 你好: ") + QString::fromLatin1(words(random, 3));
    head = "From: " + encodedWord(name + QStringLiteral(" Müller")) + " <" + from
        + ">\nTo: " + encodedWord(QStringLiteral("Zoë")) + " <zoe@example.org>\nSubject: "
        + encodedWord(subject) + "\nDate: " + date + "\nContent-Type: text/plain; charset=utf-8\n"
        + "Content-Transfer-Encoding: quoted-printable\n\n";
    return head + "Sch=C3=B6ne Gr=C3=BC=C3=9Fe\n" + paragraph(random, 600 + random.bounded(2000));
}

struct ChildResult
{
    int status = -1;
    double seconds = 0;
    double cpuSeconds = 0;
    long maxRssKb = 0;
};

ChildResult runChild(const QStringList &args)
{
    ChildResult result;
    std::vector<QByteArray> storage;
    for (const QString &arg : args)
        storage.push_back(QFile::encodeName(arg));
    std::vector<char *> argv;
    for (QByteArray &arg : storage)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    QElapsedTimer timer;
    std::fflush(stdout);
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        // Keep the importer's standard output (the count) out of the report.
        if (!freopen("/dev/null", "w", stdout))
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    if (pid < 0)
        return result;
    int status = 0;
    struct rusage usage = {};
    if (wait4(pid, &status, 0, &usage) < 0)
        return result;
    result.seconds = timer.nsecsElapsed() / 1e9;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.maxRssKb = usage.ru_maxrss;
    result.cpuSeconds = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec
        + usage.ru_stime.tv_usec / 1e6;
    return result;
}

double percentile(std::vector<qint64> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[size_t(p * double(values.size() - 1))];
}

} // namespace

int main(int argc, char *argv[])
{
    QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/bench-qmfstore-XXXXXX"));
    if (!dir.isValid()) {
        std::fprintf(stderr, "cannot create a temporary folder\n");
        return 1;
    }
    // Before anything opens a store.
    qputenv("QMF_DATA", QFile::encodeName(dir.filePath(QStringLiteral("store"))));
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = args.size() > 1 ? args.at(1).toInt() : 10000;
    const QString qmfctl
        = args.size() > 2 ? args.at(2) : app.applicationDirPath() + QStringLiteral("/qmfctl");
    if (count <= 0 || !QFile::exists(qmfctl)) {
        std::fprintf(stderr, "usage: bench_qmfstore [COUNT] [QMFCTL]\n");
        return 1;
    }

    // The mail folder to import.
    const QString maildir = dir.filePath(QStringLiteral("Maildir"));
    QDir().mkpath(maildir + QStringLiteral("/cur"));
    QDir().mkpath(maildir + QStringLiteral("/new"));
    QRandomGenerator random(20240101);
    qint64 totalBytes = 0;
    for (int i = 0; i < count; ++i) {
        const QByteArray text = makeMessage(random, i);
        totalBytes += text.size();
        QFile file(maildir
                   + QStringLiteral("/cur/%1.%2.bench:2,%3")
                         .arg(1700000000 + i)
                         .arg(i)
                         .arg(i % 3 ? "" : "S"));
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size()) {
            std::fprintf(stderr, "cannot write the mail folder\n");
            return 1;
        }
    }
    std::printf("mail folder: %d messages, %.1f MB\n", count, totalBytes / 1048576.0);

    ChildResult setup = runChild(
        { qmfctl, "account", "add", "--id", "1", "--name", "Bench", "--standard-folders" });
    if (setup.status != 0) {
        std::fprintf(stderr, "qmfctl account add failed\n");
        return 1;
    }
    // The files were just written, so they are read from the page cache: the
    // figures are those of an import right after a mail download.
    const ChildResult import = runChild({ qmfctl, "import", "--folder", "1", maildir });
    if (import.status != 0) {
        std::fprintf(stderr, "qmfctl import failed\n");
        return 1;
    }
    const double rate = count / import.seconds;
    std::printf(
        "import: %.2f s, %.0f messages/s (goal >= 2000), peak memory %.1f MB (goal < 150)\n",
        import.seconds, rate, import.maxRssKb / 1024.0);
    // On a shared machine the wall clock includes waiting for the CPU; the
    // importer's own CPU time shows what it costs.
    std::printf("import CPU time: %.2f s (user + system), %.0f messages per CPU second\n",
                import.cpuSeconds, count / import.cpuSeconds);

    QMailStore *store = QMailStore::instance();
    const QMailMessageIdList ids = store->queryMessages();
    if (ids.size() != count) {
        std::fprintf(stderr, "the store holds %d messages, expected %d\n", int(ids.size()), count);
        return 1;
    }
    QMailMessageIdList order = ids;
    std::shuffle(order.begin(), order.end(), std::mt19937(7));
    std::vector<qint64> metaTimes;
    metaTimes.reserve(order.size());
    quint64 checksum = 0;
    QElapsedTimer timer;
    for (const QMailMessageId &id : qAsConst(order)) {
        timer.start();
        const QMailMessageMetaData metaData = store->messageMetaData(id);
        metaTimes.push_back(timer.nsecsElapsed());
        checksum += metaData.size();
    }
    std::printf("messageMetaData: median %.1f us, p95 %.1f us (goal median < 50 us)\n",
                percentile(metaTimes, 0.5) / 1000.0, percentile(metaTimes, 0.95) / 1000.0);

    const QMailMessageIdList multipart = store->queryMessages(
        QMailMessageKey::status(QMailMessageMetaData::HasAttachments), QMailMessageSortKey(), 500);
    std::vector<qint64> loadTimes;
    int parts = 0;
    for (const QMailMessageId &id : multipart) {
        timer.start();
        const QMailMessage message(id);
        parts += message.partCount();
        loadTimes.push_back(timer.nsecsElapsed());
    }
    std::printf("QMailMessage with parts (%d messages, %d parts): median %.1f us, p95 %.1f us\n",
                int(multipart.size()), parts, percentile(loadTimes, 0.5) / 1000.0,
                percentile(loadTimes, 0.95) / 1000.0);
    if (checksum == 0)
        std::printf("(no sizes read)\n");
    const bool ok
        = rate >= 2000 && import.maxRssKb < 150 * 1024 && percentile(metaTimes, 0.5) < 50000;
    std::printf("%s\n", ok ? "all goals met" : "GOALS MISSED");
    return ok ? 0 : 2;
}
