#include "jobviewserverstandin.h"

#include "jobviewadaptor.h"
#include "jobviewserveradaptor.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QUuid>

#include <cstdio>

namespace {

QString viewPath(int number)
{
    return QStringLiteral("/JobViewServer/JobView_%1").arg(number);
}

} // namespace

JobViewServerStandIn::JobViewServerStandIn()
    : mConnectionName("jobviewserver-standin-" + QUuid::createUuid().toString(QUuid::Id128))
{
    new JobViewServerAdaptor(this);
}

JobViewServerStandIn::~JobViewServerStandIn()
{
    quit();
}

bool JobViewServerStandIn::start()
{
    QDBusConnection bus
        = QDBusConnection::connectToBus(QDBusConnection::SessionBus, mConnectionName);
    if (!bus.registerObject(QStringLiteral("/JobViewServer"), this)
        || !bus.registerService(QStringLiteral("org.kde.JobViewServer"))) {
        qWarning("Job-view server stand-in: %s", qPrintable(bus.lastError().message()));
        return false;
    }
    return true;
}

void JobViewServerStandIn::record(const QString &call)
{
    mCalls.append(call);
    if (mEcho) {
        std::fprintf(stderr, "%s\n", qPrintable(call));
    }
}

void JobViewServerStandIn::quit()
{
    QDBusConnection::disconnectFromBus(mConnectionName);
}

QDBusObjectPath JobViewServerStandIn::requestView(const QString &appName,
                                                  const QString &appIconName, int capabilities)
{
    auto *view = new JobViewStandIn(this, mViews.size() + 1, mConnectionName);
    mViews.append(view);
    record(QStringLiteral("requestView(%1, %2, %3) -> %4")
               .arg(appName, appIconName)
               .arg(capabilities)
               .arg(mViews.size()));
    return QDBusObjectPath(viewPath(mViews.size()));
}

bool JobViewServerStandIn::requestCancel(int view)
{
    if (view < 1 || view > mViews.size()) {
        return false;
    }
    Q_EMIT static_cast<JobViewStandIn *>(mViews.at(view - 1))->cancelRequested();
    return true;
}

JobViewStandIn::JobViewStandIn(JobViewServerStandIn *server, int number, const QString &connection)
    : QObject(server)
    , mServer(server)
    , mNumber(number)
    , mConnection(connection)
{
    new JobViewV2Adaptor(this);
    QDBusConnection(connection).registerObject(viewPath(number), this);
}

void JobViewStandIn::terminate(const QString &message)
{
    say("terminate(" + message + ')');
    // A terminated view is gone, as on the desktop.
    QDBusConnection(mConnection).unregisterObject(viewPath(mNumber));
}
