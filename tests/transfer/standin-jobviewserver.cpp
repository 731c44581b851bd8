// The job-progress stand-in as a program, for trying the daemon where no
// desktop serves org.kde.JobViewServer: prints every call it receives on
// standard error. SIGTERM ends it.
#include "jobviewserverstandin.h"

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    JobViewServerStandIn server;
    server.setEcho(true);
    if (!server.start()) {
        return 1;
    }
    std::fprintf(stderr, "ready\n");
    return app.exec();
}
