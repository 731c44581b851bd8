// Mirror rate against raw Tracker rate.
//
// A mail store in a temporary home is filled with N messages (default 10,000,
// one in five with an attachment). Then:
//   mirror add     the store's notifications of 100 ids each reach a
//                  TrackerIndexer, one per turn of the event loop, as the store
//                  would deliver them; timed from the first notification to the
//                  result of the last batch
//   mirror remove  the same for removal notifications
//   raw add/remove the very same batch texts sent straight to a fresh Tracker
//                  database, the next batch when the previous result arrives
// and it prints the rates, their ratios, the CPU time of the thread that
// builds the mirror's batches, per-batch removal times early and
// late, and the peak memory of the mirror phases.
//
// Usage: bench_indexer [MESSAGES] [--rounds=N] [--unindexed] [--no-bus]
//   --unindexed also runs the raw removal against an ontology without the
//               index on nfo:belongsToContainer, to show what it is for.
//   --no-bus    (last) runs without a session bus: the mirror's database is
//               then not published, which shows what publishing costs.

#include "../procstatus.h"

#include <testenvironment.h>

#include "settings.h"
#include "trackerindexer.h"

#include <qmaillog.h>
#include <qmailstore.h>
#include <qsparqlconnection.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QSettings>
#include <QTimer>
#include <QVector>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <functional>

namespace {

const int batchSize = 100;

QByteArray messageText(int i)
{
    QByteArray text = "From: Sender " + QByteArray::number(i % 97) + " <sender"
        + QByteArray::number(i % 97) + "@example.org>\r\nTo: Me <me@example.org>, other"
        + QByteArray::number(i % 13) + "@example.org\r\nSubject: Message number "
        + QByteArray::number(i)
        + " about the quarterly plan\r\nDate: Tue, 02 Jan 2024 10:00:00 +0000\r\nMessage-ID: <m"
        + QByteArray::number(i) + "@example.org>\r\nMIME-Version: 1.0\r\n";
    if (i % 5 == 0) {
        text += "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n--b\r\nContent-Type: "
                "text/plain\r\n\r\n"
                "Please find the file attached.\r\n--b\r\nContent-Type: application/pdf; "
                "name=\"plan-"
            + QByteArray::number(i) + ".pdf\"\r\nContent-Disposition: attachment; filename=\"plan-"
            + QByteArray::number(i)
            + ".pdf\"; size=1024\r\nContent-Transfer-Encoding: base64\r\n\r\n"
              "JVBERi0xLjQK\r\n--b--\r\n";
    } else {
        text += "Content-Type: text/plain; charset=utf-8\r\n\r\nJust a short note.\r\n";
    }
    return text;
}

long peakRssKiB()
{
    return statusKb(QCoreApplication::applicationPid(), "VmHWM");
}

void resetPeakRss()
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    if (clear.open(QIODevice::WriteOnly)) {
        clear.write("5");
    }
}

// Counts the indexer's batch results from its "Indexer" log records (a few
// records per batch, no cost worth measuring).
struct ResultCounter
{
    int finished = 0;
    int failures = 0;
    int expected = 0;
    qint64 doneAt = -1;
    QElapsedTimer *clock = nullptr;
    QEventLoop *loop = nullptr;
};
ResultCounter *counter = nullptr;
QtMessageHandler previousHandler = nullptr;

void countResults(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    const bool success = type == QtDebugMsg
        && text == QLatin1String("TrackerIndexer: query executed successfully");
    const bool failure = type == QtWarningMsg
        && text.startsWith(QLatin1String("TrackerIndexer: Unable to execute query"));
    if (counter && (success || failure)) {
        counter->failures += failure ? 1 : 0;
        if (++counter->finished == counter->expected) {
            counter->doneAt = counter->clock->nsecsElapsed();
            counter->loop->quit();
        }
    }
    if (type != QtDebugMsg) {
        previousHandler(type, context, text);
    }
}

// CPU time of the calling thread: the mirror builds its batches on it.
double threadCpuSeconds()
{
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

// Feeds one notification per turn of the event loop and returns the seconds
// from the first to the last batch's result; mainCpu gets the CPU time the
// calling thread spent meanwhile.
template<typename Feed>
double runMirror(TrackerIndexer &indexer, int notifications, Feed feed, int *failures,
                 double *mainCpu = nullptr)
{
    const double cpuBefore = threadCpuSeconds();
    ResultCounter results;
    QElapsedTimer clock;
    QEventLoop loop;
    results.expected = notifications;
    results.clock = &clock;
    results.loop = &loop;
    counter = &results;
    int next = 0;
    QTimer feeder;
    feeder.setInterval(0);
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        feed(indexer, next++);
        if (next == notifications) {
            feeder.stop();
        }
    });
    clock.start();
    feed(indexer, next++);
    if (next < notifications) {
        feeder.start();
    }
    loop.exec();
    if (mainCpu) {
        *mainCpu = threadCpuSeconds() - cpuBefore;
    }
    counter = nullptr;
    *failures = results.failures;
    return results.doneAt / 1e9;
}

// Sends the batches one at a time, each when the previous result is in.
// Returns the seconds taken and fills the time of each batch.
double runRaw(QSparqlConnection &connection, const QStringList &batches, QVector<double> *perBatch,
              int *failures)
{
    QElapsedTimer clock;
    QEventLoop loop;
    int next = 0;
    qint64 batchStart = 0;
    *failures = 0;
    std::function<void()> sendNext = [&] {
        QSparqlResult *result
            = connection.exec(QSparqlQuery(batches.at(next), QSparqlQuery::InsertStatement));
        batchStart = clock.nsecsElapsed();
        QObject::connect(result, &QSparqlResult::finished, [&, result] {
            *failures += result->hasError() ? 1 : 0;
            if (perBatch) {
                perBatch->append((clock.nsecsElapsed() - batchStart) / 1e6);
            }
            result->deleteLater();
            if (++next == batches.size()) {
                loop.quit();
            } else {
                sendNext();
            }
        });
    };
    clock.start();
    sendNext();
    loop.exec();
    return clock.nsecsElapsed() / 1e9;
}

double median(QVector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

double average(const QVector<double> &values, int from, int count)
{
    double sum = 0;
    for (int i = from; i < from + count; ++i) {
        sum += values.at(i);
    }
    return sum / count;
}

QString unindexedOntology(const TestEnvironment &env)
{
    const QString folder = env.path(QStringLiteral("ontology-unindexed"));
    QDir().mkpath(folder);
    const QDir stock(QStringLiteral("/usr/share/tracker3/ontologies/nepomuk"));
    for (const QString &name : stock.entryList({ QStringLiteral("*.ontology") })) {
        QFile::link(stock.filePath(name), folder + QLatin1Char('/') + name);
    }
    QFile own(QStringLiteral(POSTVANE_ONTOLOGY_SOURCE));
    own.open(QIODevice::ReadOnly);
    QByteArray text = own.readAll();
    text.replace("nfo:belongsToContainer nrl:indexed true .", "");
    QFile copy(folder + QStringLiteral("/34-nmo.ontology"));
    copy.open(QIODevice::WriteOnly);
    copy.write(text);
    return folder;
}

} // namespace

int main(int argc, char *argv[])
{
    TestEnvironment env;
    const bool noBus = argc > 1 && qstrcmp(argv[argc - 1], "--no-bus") == 0;
    if (noBus) {
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
        --argc;
    }
    if (!env.isValid() || (!noBus && !env.startSessionBus())) {
        std::fprintf(stderr, "cannot set up a private home and session bus\n");
        return 1;
    }
    QCoreApplication app(argc, argv);
    int total = 10000;
    bool unindexed = false;
    int rounds = 3;
    for (const QString &argument : app.arguments().mid(1)) {
        if (argument == QLatin1String("--unindexed")) {
            unindexed = true;
        } else if (argument.startsWith(QLatin1String("--rounds="))) {
            rounds = qMax(1, argument.mid(9).toInt());
        } else {
            total = qMax(batchSize, argument.toInt() / batchSize * batchSize);
        }
    }
    // The daemon's own settings, with the "Indexer" records on so that the
    // bench sees each batch's result ("Queries" stays off).
    writeDefaultSettings(QStringLiteral("Brenmor"), QStringLiteral("Postvane"));
    {
        QSettings settings(QStringLiteral("Brenmor"), QStringLiteral("Postvane"));
        settings.setValue(QStringLiteral("Log categories/Indexer"), 1);
    }
    qMailLoggersRecreate(QStringLiteral("Brenmor"), QStringLiteral("Postvane"), "bench_indexer");
    previousHandler = qInstallMessageHandler(countResults);

    QMailStore *store = QMailStore::instance();
    QMailAccount account;
    account.setName(QStringLiteral("Bench"));
    account.setFromAddress(QMailAddress(QStringLiteral("me@example.org")));
    store->addAccount(&account);
    QMailFolder inbox(QStringLiteral("INBOX"), QMailFolderId(), account.id());
    store->addFolder(&inbox);

    std::printf("filling the mail store with %d messages...\n", total);
    std::fflush(stdout);
    QVector<QMailMessageIdList> notifications;
    for (int first = 0; first < total; first += batchSize) {
        QList<QMailMessage> messages;
        for (int i = first; i < first + batchSize; ++i) {
            QMailMessage message = QMailMessage::fromRfc2822(messageText(i));
            message.setParentFolderId(inbox.id());
            message.setParentAccountId(account.id());
            message.setServerUid(QStringLiteral("uid-%1").arg(i));
            messages.append(message);
        }
        QList<QMailMessage *> pointers;
        for (QMailMessage &message : messages) {
            pointers.append(&message);
        }
        if (!store->addMessages(pointers)) {
            std::fprintf(stderr, "cannot fill the store: %s\n", qPrintable(store->lastErrorText()));
            return 1;
        }
        QMailMessageIdList ids;
        for (const QMailMessage &message : messages) {
            ids.append(message.id());
        }
        notifications.append(ids);
    }
    app.processEvents();

    // The mirror, as the daemon runs it.
    // Round 1 measures the mirror first, so that its peak memory is the
    // daemon's alone; later rounds repeat everything on fresh databases,
    // because the machine's load moves both rates from run to run.
    resetPeakRss();
    const long baseline = peakRssKiB();
    long peak = 0;
    QStringList addBatches;
    QStringList removeBatches;
    double buildAdd = 0;
    qint64 loading = 0;
    QVector<double> mirrorAdds, mirrorRemoves, rawAdds, rawRemoves, removalTimes;
    QVector<double> mainCpus;
    double mainCpu = 0;
    int failures = 0;
    for (int round = 1; round <= rounds; ++round) {
        const QString roundDir = env.path(QStringLiteral("round%1").arg(round));
        QDir().mkpath(roundDir + QStringLiteral("/mirror"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(roundDir + QStringLiteral("/mirror")));
        {
            TrackerIndexer indexer;
            if (!indexer.isReady()) {
                return 1;
            }
            int failed = 0;
            mirrorAdds.append(runMirror(
                indexer, notifications.size(),
                [&](TrackerIndexer &i, int k) { i.addMessages(notifications.at(k)); }, &failed,
                &mainCpu));
            mainCpus.append(mainCpu);
            failures += failed;
            mirrorRemoves.append(runMirror(
                indexer, notifications.size(),
                [&](TrackerIndexer &i, int k) { i.removeMessages(notifications.at(k)); }, &failed));
            failures += failed;
            if (round == 1) {
                peak = peakRssKiB();
            }
        }

        if (addBatches.isEmpty()) {
            // The very texts the mirror sends, built the way it builds them.
            QElapsedTimer building;
            building.start();
            for (const QMailMessageIdList &ids : qAsConst(notifications)) {
                QString add;
                for (const QMailMessageId &id : ids) {
                    QElapsedTimer load;
                    load.start();
                    const QMailMessage message(id);
                    loading += load.nsecsElapsed();
                    add += TrackerIndexer::messageInsertStatement(message) + QLatin1Char('\n');
                }
                addBatches.append(add);
            }
            buildAdd = building.nsecsElapsed() / 1e9;
            for (const QMailMessageIdList &ids : qAsConst(notifications)) {
                QString remove;
                for (const QMailMessageId &id : ids) {
                    remove += TrackerIndexer::messageDeleteStatement(id) + QLatin1Char('\n');
                }
                removeBatches.append(remove);
            }
        }
        QSparqlConnectionOptions options;
        options.setDataPath(roundDir + QStringLiteral("/raw"));
        options.setOntologyPath(TrackerIndexer::ontologyPath());
        options.setBusName(QString());
        QSparqlConnection raw(QStringLiteral("QTRACKER_DIRECT"), options);
        int failed = 0;
        rawAdds.append(runRaw(raw, addBatches, nullptr, &failed));
        failures += failed;
        QVector<double> times;
        rawRemoves.append(runRaw(raw, removeBatches, &times, &failed));
        failures += failed;
        if (round == 1) {
            removalTimes = times;
        }
        std::printf("round %d: add mirror %6.0f raw %6.0f msg/s (%5.1f%%), remove mirror %6.0f raw "
                    "%6.0f msg/s (%5.1f%%)\n",
                    round, total / mirrorAdds.last(), total / rawAdds.last(),
                    100.0 * rawAdds.last() / mirrorAdds.last(), total / mirrorRemoves.last(),
                    total / rawRemoves.last(), 100.0 * rawRemoves.last() / mirrorRemoves.last());
        std::fflush(stdout);
    }

    const int n = removalTimes.size();
    const int window = qMin(10, n / 2);
    // Both rates of a round share the machine's load of that moment, so the
    // ratio is taken per round, then the median.
    QVector<double> addRatios;
    QVector<double> removeRatios;
    for (int round = 0; round < rounds; ++round) {
        addRatios.append(rawAdds.at(round) / mirrorAdds.at(round));
        removeRatios.append(rawRemoves.at(round) / mirrorRemoves.at(round));
    }
    std::printf(
        "\n%d messages, %d with an attachment, notifications of %d ids, median of %d rounds\n",
        total, (total + 4) / 5, batchSize, rounds);
    std::printf("add:    mirror %8.0f msg/s   raw %8.0f msg/s   mirror/raw %5.1f%%\n",
                total / median(mirrorAdds), total / median(rawAdds), 100.0 * median(addRatios));
    std::printf("main thread CPU while mirroring the adds: %.0f us per message\n",
                1e6 * median(mainCpus) / total);
    std::printf("remove: mirror %8.0f msg/s   raw %8.0f msg/s   mirror/raw %5.1f%%\n",
                total / median(mirrorRemoves), total / median(rawRemoves),
                100.0 * median(removeRatios));
    std::printf("building the add batches alone: %8.0f msg/s (%.0f%% of it loading messages from "
                "the mail store)\n",
                total / buildAdd, 100.0 * loading / 1e9 / buildAdd);
    std::printf("raw removal batch (round 1): first %d %.1f ms, last %d %.1f ms\n", window,
                average(removalTimes, 0, window), window,
                average(removalTimes, n - window, window));
    std::printf("peak memory of the mirror phases: %.1f MB (%.1f MB before the indexer)\n",
                peak / 1024.0, baseline / 1024.0);
    std::printf("failed batches: %d\n", failures);

    if (unindexed) {
        QSparqlConnectionOptions plain;
        plain.setDataPath(env.path(QStringLiteral("raw-unindexed")));
        plain.setOntologyPath(unindexedOntology(env));
        plain.setBusName(QString());
        QSparqlConnection slow(QStringLiteral("QTRACKER_DIRECT"), plain);
        int slowFailures = 0;
        runRaw(slow, addBatches, nullptr, &slowFailures);
        QVector<double> slowTimes;
        const double slowRemove = runRaw(slow, removeBatches, &slowTimes, &slowFailures);
        std::printf(
            "without the container index: raw remove %8.0f msg/s, first %d batches %.1f ms, "
            "last %d %.1f ms\n",
            total / slowRemove, window, average(slowTimes, 0, window), window,
            average(slowTimes, n - window, window));
    }
    return 0;
}
