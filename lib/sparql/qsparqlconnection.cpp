// GLib headers use "signals" as a name: they come before any Qt header.
#include <gio/gio.h>
#include <libtracker-sparql/tracker-sparql.h>

#include "qsparqlconnection.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <QtDebug>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const QString trackerDirectDriver = QStringLiteral("QTRACKER_DIRECT");

QString takeMessage(GError *error)
{
    const QString message = QString::fromUtf8(error ? error->message : "unknown error");
    if (error) {
        g_error_free(error);
    }
    return message;
}

QSparqlError storeError(GError *error)
{
    QSparqlError::ErrorType type = QSparqlError::BackendError;
    if (error && error->domain == TRACKER_SPARQL_ERROR) {
        switch (error->code) {
        case TRACKER_SPARQL_ERROR_PARSE:
        case TRACKER_SPARQL_ERROR_UNKNOWN_CLASS:
        case TRACKER_SPARQL_ERROR_UNKNOWN_PROPERTY:
        case TRACKER_SPARQL_ERROR_TYPE:
        case TRACKER_SPARQL_ERROR_CONSTRAINT:
        case TRACKER_SPARQL_ERROR_QUERY_FAILED:
            type = QSparqlError::StatementError;
            break;
        default:
            break;
        }
    }
    const int code = error ? error->code : -1;
    return QSparqlError(takeMessage(error), type, code);
}

QVariant cursorValue(TrackerSparqlCursor *cursor, int column)
{
    glong length = 0;
    const gchar *text = tracker_sparql_cursor_get_string(cursor, column, &length);
    const QString string = QString::fromUtf8(text, int(length));
    switch (tracker_sparql_cursor_get_value_type(cursor, column)) {
    case TRACKER_SPARQL_VALUE_TYPE_UNBOUND:
        return QVariant();
    case TRACKER_SPARQL_VALUE_TYPE_URI:
        return QUrl(string);
    case TRACKER_SPARQL_VALUE_TYPE_INTEGER:
        return qlonglong(tracker_sparql_cursor_get_integer(cursor, column));
    case TRACKER_SPARQL_VALUE_TYPE_DOUBLE:
        return tracker_sparql_cursor_get_double(cursor, column);
    case TRACKER_SPARQL_VALUE_TYPE_BOOLEAN:
        return bool(tracker_sparql_cursor_get_boolean(cursor, column));
    case TRACKER_SPARQL_VALUE_TYPE_DATETIME: {
        const QDateTime dateTime = QDateTime::fromString(string, Qt::ISODateWithMs);
        return dateTime.isValid() ? QVariant(dateTime) : QVariant(string);
    }
    default:
        return string;
    }
}

// Tracker's direct connection gives its caches back once it has been idle for
// a while, from a timeout on the process's default main context that it arms
// every 30 seconds for the life of the connection: an idle program would wake
// twice a minute for nothing. The timeout is held off, and let run once 30
// seconds after the last statement (IdleRelease). It re-arms itself when it
// has run; a callback of lower priority, dispatched only after it, holds it
// off again.
gboolean holdOff(gpointer data)
{
    GSource *source = static_cast<GSource *>(data);
    if (!g_source_is_destroyed(source)) {
        g_source_set_ready_time(source, -1);
    }
    return G_SOURCE_REMOVE;
}

class IdleRelease
{
public:
    explicit IdleRelease(TrackerSparqlConnection *store)
    {
        // Tracker's timeout carries the connection as its data; a Tracker
        // without it leaves nothing to do here.
        m_source = g_main_context_find_source_by_funcs_user_data(nullptr, &g_timeout_funcs, store);
        if (!m_source) {
            return;
        }
        g_source_ref(m_source);
        holdOff(m_source);
        m_timer.setSingleShot(true);
        m_timer.setInterval(std::chrono::seconds(30));
        QObject::connect(&m_timer, &QTimer::timeout, [this] { release(); });
    }

    ~IdleRelease()
    {
        if (m_source) {
            g_source_unref(m_source);
        }
    }

    // A statement has been answered.
    void used()
    {
        if (m_source) {
            m_timer.start();
        }
    }

private:
    void release()
    {
        if (g_source_is_destroyed(m_source)) {
            return;
        }
        g_source_set_ready_time(m_source, 0);
        g_idle_add_full(G_PRIORITY_LOW, holdOff, g_source_ref(m_source),
                        GDestroyNotify(g_source_unref));
    }

    GSource *m_source = nullptr;
    QTimer m_timer;
};

} // namespace

// What the store answered to one statement, carried from the worker thread
// to the thread of the connection.
struct StatementOutcome
{
    QSparqlError error;
    QStringList columns;
    QVector<QVariantList> rows;
};

// Runs the statements of one connection one after another on a thread of its
// own, so that the event loop never waits for the store, and so that a
// connection going away can still finish what it was given: Tracker's own
// asynchronous calls drop queued updates when the connection is closed, and
// waiting for their callbacks would mean running the event loop inside a
// destructor.
class StatementWorker
{
public:
    using Deliver = std::function<void(quint64, const StatementOutcome &)>;

    StatementWorker(TrackerSparqlConnection *store, QObject *receiver, Deliver deliver)
        : m_store(store)
        , m_receiver(receiver)
        , m_deliver(std::move(deliver))
        , m_thread([this] { run(); })
    { }

    // Stops soon: what is queued is dropped and the result of the statement
    // in progress goes nowhere. That statement is given a moment to end: a
    // process that exits while the thread is inside Tracker aborts when the
    // library's teardown meets a mutex the thread holds. One that takes
    // longer runs on in a thread nobody waits for; the worker then stays
    // reachable (and so does the store it uses) for the rest of the process.
    static void abandon(std::unique_ptr<StatementWorker> worker)
    {
        static auto *abandoned = new std::vector<std::unique_ptr<StatementWorker>>;
        bool ended = false;
        {
            std::unique_lock<std::mutex> lock(worker->m_mutex);
            worker->m_queue.clear();
            worker->m_stopping = true;
            worker->m_abandoned = true;
            worker->m_wake.notify_one();
            ended = worker->m_ended.wait_for(lock, std::chrono::seconds(2),
                                             [&] { return worker->m_finished; });
        }
        if (ended) {
            worker->m_thread.join();
            return;
        }
        worker->m_thread.detach();
        abandoned->push_back(std::move(worker));
    }

    // Runs every statement already handed over, then ends the thread.
    ~StatementWorker()
    {
        if (m_abandoned) {
            return; // joined or detached already
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_one();
        m_thread.join();
    }

    void post(quint64 serial, const QByteArray &text, bool update)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back({ serial, text, update });
        }
        m_wake.notify_one();
    }

private:
    struct Job
    {
        quint64 serial;
        QByteArray text;
        bool update;
    };

    void run()
    {
        struct Finished
        {
            StatementWorker *worker;
            ~Finished()
            {
                std::lock_guard<std::mutex> lock(worker->m_mutex);
                worker->m_finished = true;
                worker->m_ended.notify_all();
            }
        } finished { this };
        for (;;) {
            Job job;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
                if (m_queue.empty()) {
                    return;
                }
                job = std::move(m_queue.front());
                m_queue.pop_front();
            }
            const StatementOutcome outcome = job.update ? update(job.text) : query(job.text);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_abandoned) {
                    return;
                }
            }
            // Queued to the receiver's thread; dropped if the receiver is gone.
            const quint64 serial = job.serial;
            Deliver deliver = m_deliver;
            QMetaObject::invokeMethod(
                m_receiver, [deliver, serial, outcome] { deliver(serial, outcome); },
                Qt::QueuedConnection);
        }
    }

    StatementOutcome update(const QByteArray &text)
    {
        StatementOutcome outcome;
        GError *error = nullptr;
        tracker_sparql_connection_update(m_store, text.constData(), nullptr, &error);
        if (error) {
            outcome.error = storeError(error);
        }
        return outcome;
    }

    StatementOutcome query(const QByteArray &text)
    {
        StatementOutcome outcome;
        GError *error = nullptr;
        TrackerSparqlCursor *cursor
            = tracker_sparql_connection_query(m_store, text.constData(), nullptr, &error);
        if (!cursor) {
            outcome.error = storeError(error);
            return outcome;
        }
        const int columnCount = tracker_sparql_cursor_get_n_columns(cursor);
        for (int column = 0; column < columnCount; ++column) {
            outcome.columns.append(
                QString::fromUtf8(tracker_sparql_cursor_get_variable_name(cursor, column)));
        }
        while (tracker_sparql_cursor_next(cursor, nullptr, &error)) {
            QVariantList row;
            row.reserve(columnCount);
            for (int column = 0; column < columnCount; ++column) {
                row.append(cursorValue(cursor, column));
            }
            outcome.rows.append(row);
        }
        if (error) {
            outcome.error = storeError(error);
        }
        g_object_unref(cursor);
        return outcome;
    }

    TrackerSparqlConnection *m_store;
    QObject *m_receiver;
    Deliver m_deliver;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<Job> m_queue;
    bool m_stopping = false;
    bool m_abandoned = false;
    bool m_finished = false; // the thread has left run()
    std::condition_variable m_ended;
    std::thread m_thread; // last: started once everything above exists
};

class QSparqlConnectionPrivate
{
public:
    QString driver;
    QString errorString;
    QString busName;
    TrackerSparqlConnection *store = nullptr;
    GDBusConnection *bus = nullptr;
    TrackerEndpointDBus *endpoint = nullptr;
    std::unique_ptr<StatementWorker> worker;
    std::unique_ptr<IdleRelease> idleRelease;
    bool finishOnClose = true;
    QHash<quint64, QPointer<QSparqlResult>> pending;
    quint64 nextSerial = 1;

    bool open(const QSparqlConnectionOptions &options);
    void publish(const QString &name);
    void unpublish();
    void deliver(quint64 serial, const StatementOutcome &outcome);
};

void QSparqlConnectionPrivate::deliver(quint64 serial, const StatementOutcome &outcome)
{
    idleRelease->used();
    const QPointer<QSparqlResult> result = pending.take(serial);
    if (!result) {
        return;
    }
    result->setColumns(outcome.columns);
    for (const QVariantList &row : outcome.rows) {
        result->addRow(row);
    }
    result->finish(outcome.error);
}

bool QSparqlConnectionPrivate::open(const QSparqlConnectionOptions &options)
{
    // Without a folder the database lives in memory, as long as the connection.
    const bool inMemory = !options.hasOption(QStringLiteral("dataPath"));
    const QString dataPath = options.dataPath();
    const QString ontologyPath = options.hasOption(QStringLiteral("ontologyPath"))
        ? options.ontologyPath()
        : QStringLiteral(SPARQL_STOCK_ONTOLOGY_DIR);

    if (!inMemory && (dataPath.isEmpty() || !QDir().mkpath(dataPath))) {
        errorString = QStringLiteral("cannot create the database folder \"%1\"").arg(dataPath);
        return false;
    }
    if (!QFileInfo(ontologyPath).isDir()) {
        errorString = QStringLiteral("no ontology folder \"%1\"").arg(ontologyPath);
        return false;
    }

    GFile *storeDir
        = inMemory ? nullptr : g_file_new_for_path(QFile::encodeName(dataPath).constData());
    GFile *ontologyDir = g_file_new_for_path(QFile::encodeName(ontologyPath).constData());
    GError *error = nullptr;
    store = tracker_sparql_connection_new(TRACKER_SPARQL_CONNECTION_FLAGS_FTS_ENABLE_UNACCENT,
                                          storeDir, ontologyDir, nullptr, &error);
    if (storeDir) {
        g_object_unref(storeDir);
    }
    g_object_unref(ontologyDir);
    if (!store) {
        errorString = QStringLiteral("cannot open the Tracker database in \"%1\" with the ontology "
                                     "of \"%2\": %3")
                          .arg(dataPath, ontologyPath, takeMessage(error));
        return false;
    }

    if (!options.busName().isEmpty()) {
        publish(options.busName());
    }
    return true;
}

// The database stays usable without the bus; only other clients lose sight
// of it, so failures here are warnings.
void QSparqlConnectionPrivate::publish(const QString &name)
{
    GError *error = nullptr;
    gchar *address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    if (address) {
        // A connection of our own: the shared one would end the process when
        // the bus goes away.
        bus = g_dbus_connection_new_for_address_sync(
            address,
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT
                                 | G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_free(address);
    }
    if (!bus) {
        qWarning("QSparqlConnection: cannot publish the Tracker database: no session bus: %s",
                 qPrintable(takeMessage(error)));
        return;
    }
    endpoint = tracker_endpoint_dbus_new(store, bus, nullptr, nullptr, &error);
    if (!endpoint) {
        qWarning("QSparqlConnection: cannot publish the Tracker database: %s",
                 qPrintable(takeMessage(error)));
        return;
    }
    const QByteArray utf8Name = name.toUtf8();
    GVariant *reply = g_dbus_connection_call_sync(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
        g_variant_new("(su)", utf8Name.constData(), 4u /* do not queue */), G_VARIANT_TYPE("(u)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    if (!reply) {
        qWarning("QSparqlConnection: cannot own the bus name \"%s\": %s", utf8Name.constData(),
                 qPrintable(takeMessage(error)));
        return;
    }
    guint32 answer = 0;
    g_variant_get(reply, "(u)", &answer);
    g_variant_unref(reply);
    if (answer != 1 && answer != 4) {
        qWarning("QSparqlConnection: cannot own the bus name \"%s\": another process owns it",
                 utf8Name.constData());
        return;
    }
    busName = name;
}

void QSparqlConnectionPrivate::unpublish()
{
    if (bus && !busName.isEmpty()) {
        const QByteArray utf8Name = busName.toUtf8();
        GVariant *reply = g_dbus_connection_call_sync(
            bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "ReleaseName", g_variant_new("(s)", utf8Name.constData()), G_VARIANT_TYPE("(u)"),
            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        if (reply) {
            g_variant_unref(reply);
        }
        busName.clear();
    }
    if (endpoint) {
        g_object_unref(endpoint);
        endpoint = nullptr;
    }
    if (bus) {
        g_dbus_connection_close_sync(bus, nullptr, nullptr);
        g_object_unref(bus);
        bus = nullptr;
    }
}

QSparqlConnection::QSparqlConnection(QObject *parent)
    : QObject(parent)
    , d(new QSparqlConnectionPrivate)
{
    d->errorString = QStringLiteral("no driver");
}

QSparqlConnection::QSparqlConnection(const QString &type, const QSparqlConnectionOptions &options,
                                     QObject *parent)
    : QObject(parent)
    , d(new QSparqlConnectionPrivate)
{
    d->driver = type;
    if (type != trackerDirectDriver) {
        d->errorString = QStringLiteral("driver \"%1\" is not available").arg(type);
    } else if (d->open(options)) {
        d->finishOnClose = options.option(QStringLiteral("finishOnClose")).toBool()
            || !options.hasOption(QStringLiteral("finishOnClose"));
        d->idleRelease.reset(new IdleRelease(d->store));
        QSparqlConnectionPrivate *priv = d;
        d->worker.reset(new StatementWorker(
            d->store, this, [priv](quint64 serial, const StatementOutcome &outcome) {
                priv->deliver(serial, outcome);
            }));
    } else {
        d->store = nullptr;
    }
    if (!d->errorString.isEmpty()) {
        qWarning("QSparqlConnection: %s", qPrintable(d->errorString));
    }
}

QSparqlConnection::~QSparqlConnection()
{
    // Everything handed over is carried out before the database closes; the
    // results are not told any more, their owners may be going away with us.
    if (!d->finishOnClose && d->worker) {
        StatementWorker::abandon(std::move(d->worker));
        d->unpublish();
        delete d;
        return;
    }
    d->worker.reset();
    d->unpublish();
    if (d->store) {
        tracker_sparql_connection_close(d->store);
        g_object_unref(d->store);
    }
    delete d;
}

bool QSparqlConnection::isValid() const
{
    return d->store != nullptr;
}

QString QSparqlConnection::driverName() const
{
    return d->driver;
}

QString QSparqlConnection::errorString() const
{
    return d->errorString;
}

QString QSparqlConnection::publishedBusName() const
{
    return d->busName;
}

QSparqlResult *QSparqlConnection::exec(const QSparqlQuery &query)
{
    QSparqlResult *result = new QSparqlResult(this);
    if (!d->store) {
        const QSparqlError error(
            QStringLiteral("the connection is not valid: %1").arg(d->errorString),
            QSparqlError::ConnectionError);
        QTimer::singleShot(0, result, [result, error] { result->finish(error); });
        return result;
    }
    QByteArray text = query.preparedQueryText().toUtf8();
    if (query.isUpdate() && text.trimmed().isEmpty()) {
        // SPARQL allows an update without operations, Tracker does not.
        text = "INSERT DATA { }";
    }
    const quint64 serial = d->nextSerial++;
    d->pending.insert(serial, result);
    d->worker->post(serial, text, query.isUpdate());
    return result;
}

QStringList QSparqlConnection::drivers()
{
    return { trackerDirectDriver };
}
