// A stand-in for the e-mail application on the session bus: owns
// "com.brenmor.tavik", records every "launch" call of
// "com.brenmor.MApplicationIf" at "/org/velmar/m" (with no argument or with a
// list of texts), and emits the application's four signals on
// "/com/brenmor/tavik", interface "com.brenmor.tavik", when a test asks.
// Each launch is written to standard error as one line:
//   launch()                      no argument
//   launch(["qmf://...", ...])    one list of texts
//
// Control interface "com.brenmor.test.Tavik" at "/control".

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QStringList>

#include <cstdio>

namespace {

void report(const QString &line)
{
    std::fprintf(stderr, "%s\n", line.toUtf8().constData());
    std::fflush(stderr);
}

const QString applicationInterface = QStringLiteral("com.brenmor.MApplicationIf");

} // namespace

class Application : public QDBusVirtualObject
{
    Q_OBJECT
public:
    QStringList launches;

    QString introspect(const QString &) const override
    {
        return QStringLiteral("<interface name=\"com.brenmor.MApplicationIf\">"
                              "<method name=\"launch\"/>"
                              "<method name=\"launch\"><arg type=\"as\" direction=\"in\"/></method>"
                              "</interface>");
    }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.type() != QDBusMessage::MethodCallMessage) {
            return false;
        }
        if (message.interface() != applicationInterface
            || message.member() != QLatin1String("launch")) {
            connection.send(message.createErrorReply(QDBusError::UnknownMethod,
                                                     QStringLiteral("No such method")));
            return true;
        }
        QString line;
        if (message.signature().isEmpty()) {
            line = QStringLiteral("launch()");
        } else if (message.signature() == QLatin1String("as")) {
            QStringList quotedItems;
            for (const QString &item : message.arguments().constFirst().toStringList()) {
                quotedItems << QLatin1Char('"') + item + QLatin1Char('"');
            }
            line = QStringLiteral("launch([") + quotedItems.join(QLatin1Char(','))
                + QStringLiteral("])");
        } else {
            connection.send(message.createErrorReply(
                QDBusError::InvalidArgs,
                QStringLiteral("launch takes nothing or a list of texts, not ")
                    + message.signature()));
            report(QStringLiteral("launch refused: signature ") + message.signature());
            return true;
        }
        launches << line;
        report(line);
        connection.send(message.createReply());
        return true;
    }
};

class Control : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.brenmor.test.Tavik")
public:
    explicit Control(Application *application)
        : m_application(application)
    { }

public Q_SLOTS:
    QStringList Launches() { return m_application->launches; }

    // Emits one of "displayEntered", "displayFinished", "notificationsEnabled"
    // and "notificationsDisabled"; false for any other name.
    bool Emit(const QString &name)
    {
        static const QStringList names
            = { QStringLiteral("displayEntered"), QStringLiteral("displayFinished"),
                QStringLiteral("notificationsEnabled"), QStringLiteral("notificationsDisabled") };
        if (!names.contains(name)) {
            return false;
        }
        const QDBusMessage signal = QDBusMessage::createSignal(
            QStringLiteral("/com/brenmor/tavik"), QStringLiteral("com.brenmor.tavik"), name);
        const bool sent = QDBusConnection::sessionBus().send(signal);
        report(QStringLiteral("emitted ") + name);
        return sent;
    }

private:
    Application *m_application;
};

int main(int argc, char *argv[])
{
    QCoreApplication coreApplication(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        report(QStringLiteral("standin-tavik: no session bus"));
        return 1;
    }
    Application application;
    Control control(&application);
    if (!bus.registerVirtualObject(QStringLiteral("/org/velmar/m"), &application)
        || !bus.registerObject(QStringLiteral("/control"), &control,
                               QDBusConnection::ExportAllSlots)
        || !bus.registerService(QStringLiteral("com.brenmor.tavik"))) {
        report(QStringLiteral("standin-tavik: cannot register on the bus: ")
               + bus.lastError().message());
        return 1;
    }
    report(QStringLiteral("standin-tavik ready"));
    return coreApplication.exec();
}

#include "tavik.moc"
