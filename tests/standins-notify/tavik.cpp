// A stand-in for the e-mail application on the session bus: owns
// "com.brenmor.tavik" and writes every call of its "launch" method
// ("com.brenmor.MApplicationIf" at "/org/velmar/m") to standard error as one
// line: "launch()" without argument, "launch([\"qmf://...\"])" with a list of
// texts. Any other argument is refused as the application would refuse it.
// The application's own signals need no stand-in: anyone may send them.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QStringList>

#include <cstdio>

static void report(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

class Application : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.brenmor.MApplicationIf")
public Q_SLOTS:
    void launch() { report(QStringLiteral("launch()")); }
    void launch(const QStringList &iris)
    {
        report(QStringLiteral("launch([\"%1\"])").arg(iris.join(QStringLiteral("\",\""))));
    }
};

int main(int argc, char *argv[])
{
    QCoreApplication coreApplication(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    Application application;
    if (!bus.registerObject(QStringLiteral("/org/velmar/m"), &application,
                            QDBusConnection::ExportAllSlots)
        || !bus.registerService(QStringLiteral("com.brenmor.tavik"))) {
        report(QStringLiteral("standin-tavik: cannot register on the session bus: ")
               + bus.lastError().message());
        return 1;
    }
    report(QStringLiteral("standin-tavik ready"));
    return coreApplication.exec();
}

#include "tavik.moc"
