#include "closurebase.h"
#include "messageserverstandin.h"
#include "tavikserviceactionmanager.h"
#include "testenvironment.h"

#include <qmailmessagesortkey.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

struct Outcome
{
    TavikServiceActionManager::Serial serial = 0;
    QMailServiceAction::Activity activity = QMailServiceAction::Pending;
    QMailServiceAction::Status status;
};

// Collects the manager's reports for one serial.
class Reports : public QObject
{
    Q_OBJECT
public:
    explicit Reports(TavikServiceActionManager::Serial serial)
        : mSerial(serial)
    {
        connect(TavikServiceActionManager::instance(), &TavikServiceActionManager::activityChanged,
                this, &Reports::onActivityChanged);
    }

    bool waitForEnd(int timeoutMs = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (!ended() && timer.elapsed() < timeoutMs) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        }
        return ended();
    }
    bool ended() const
    {
        return !list.isEmpty()
            && (list.last().activity == QMailServiceAction::Successful
                || list.last().activity == QMailServiceAction::Failed);
    }

    QList<Outcome> list;

private Q_SLOTS:
    void onActivityChanged(TavikServiceActionManager::Serial serial,
                           QMailServiceAction::Activity activity, QMailServiceAction::Status status)
    {
        if (serial == mSerial) {
            list.append({ serial, activity, status });
        }
    }

private:
    TavikServiceActionManager::Serial mSerial;
};

class RecordingClosure : public ClosureBase
{
public:
    explicit RecordingClosure(QList<QMailServiceAction::Status> *log)
        : mLog(log)
    {
        connect(TavikServiceActionManager::instance(),
                SIGNAL(activityChanged(TavikServiceActionManager::Serial,
                                       QMailServiceAction::Activity, QMailServiceAction::Status)),
                this,
                SLOT(onActivityChanged(TavikServiceActionManager::Serial,
                                       QMailServiceAction::Activity, QMailServiceAction::Status)),
                Qt::UniqueConnection);
    }

protected:
    void complete(const QMailServiceAction::Status &status) override { mLog->append(status); }

private:
    QList<QMailServiceAction::Status> *mLog;
};

void settle(int rounds = 20)
{
    for (int i = 0; i < rounds; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

} // namespace

class ServiceActionsTest : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void requestsCarryTheirArguments();
    void successEndsWithCodeZero();
    void failureCarriesTheServersCode();
    void failureWithoutCodeIsNeverASuccess();
    void signalsBeforeTheAnswerAreNotLost();
    void absentServerFailsTheRequest();
    void serverLeavingFailsRunningActions();
    void closureCompletesOnceAndDisposesOfItself();
    void closureWaitsForAllItsActions();
    void verboseModeLogsRequestsAndOutcomes();
    void standInSpeaksTheDocumentedInterface();

private:
    TestEnvironment mEnv;
    MessageServerStandIn *mServer = nullptr;
};

void ServiceActionsTest::initTestCase()
{
    QVERIFY(mEnv.isValid());
    QVERIFY(mEnv.startSessionBus());
}

void ServiceActionsTest::cleanup()
{
    delete mServer;
    mServer = nullptr;
    settle();
    QCOMPARE(TavikServiceActionManager::instance()->runningActions(), 0);
}

void ServiceActionsTest::requestsCarryTheirArguments()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
    auto *manager = TavikServiceActionManager::instance();
    const QMailAccountId account(7);

    const auto s1 = manager->exportUpdates(account);
    const auto s2 = manager->send(account);
    const auto s3 = manager->retrieveFolderList(account, QMailFolderId(), true);
    const auto s4 = manager->retrieveMessageLists(account, { QMailFolderId(3), QMailFolderId(9) },
                                                  20, QMailMessageSortKey());
    const auto s5 = manager->retrieveMessageLists(
        account, { QMailFolderId(3) }, 5,
        QMailMessageSortKey::timeStamp(Qt::DescendingOrder) & QMailMessageSortKey::id());
    QCOMPARE(QSet<quint32>({ s1, s2, s3, s4, s5 }).size(), 5);
    Reports last(s5);
    QVERIFY(last.waitForEnd());

    const auto requests = mServer->requests();
    QCOMPARE(mServer->methods(),
             QStringList({ "ExportUpdates", "TransmitMessages", "RetrieveFolderList",
                           "RetrieveMessageLists", "RetrieveMessageLists" }));
    for (const auto &request : requests) {
        QCOMPARE(request.accountId, quint64(7));
    }
    QCOMPARE(requests.at(2).folderId, quint64(0));
    QCOMPARE(requests.at(2).descending, true);
    QCOMPARE(requests.at(3).folderIds, QList<quint64>({ 3, 9 }));
    QCOMPARE(requests.at(3).minimum, 20u);
    QVERIFY(requests.at(3).sort.isEmpty());
    QCOMPARE(requests.at(4).minimum, 5u);
    const QList<QPair<int, bool>> sort = { qMakePair(int(QMailMessageSortKey::TimeStamp), false),
                                           qMakePair(int(QMailMessageSortKey::Id), true) };
    QCOMPARE(requests.at(4).sort, sort);
}

void ServiceActionsTest::successEndsWithCodeZero()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
    const auto serial = TavikServiceActionManager::instance()->send(QMailAccountId(4));
    Reports reports(serial);
    QVERIFY(reports.waitForEnd());
    QCOMPARE(reports.list.size(), 2);
    QCOMPARE(reports.list.at(0).activity, QMailServiceAction::InProgress);
    QCOMPARE(reports.list.at(1).activity, QMailServiceAction::Successful);
    QCOMPARE(reports.list.at(1).status.errorCode, QMailServiceAction::Status::ErrNoError);
    QCOMPARE(reports.list.at(1).status.accountId, QMailAccountId(4));
}

void ServiceActionsTest::failureCarriesTheServersCode()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
    mServer->setOutcome("RetrieveFolderList", MessageServerStandIn::Fail, 1034,
                        "Cannot connect to imap.example.org");
    const auto serial = TavikServiceActionManager::instance()->retrieveFolderList(
        QMailAccountId(4), QMailFolderId(), true);
    Reports reports(serial);
    QVERIFY(reports.waitForEnd());
    const Outcome last = reports.list.last();
    QCOMPARE(last.activity, QMailServiceAction::Failed);
    QCOMPARE(last.status.errorCode, QMailServiceAction::Status::ErrNoConnection);
    QCOMPARE(last.status.text, QString("Cannot connect to imap.example.org"));
    QCOMPARE(last.status.accountId, QMailAccountId(4));
}

void ServiceActionsTest::failureWithoutCodeIsNeverASuccess()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
    mServer->setOutcome("ExportUpdates", MessageServerStandIn::Fail, 0, "Broken");
    const auto serial = TavikServiceActionManager::instance()->exportUpdates(QMailAccountId(4));
    Reports reports(serial);
    QVERIFY(reports.waitForEnd());
    QCOMPARE(reports.list.last().activity, QMailServiceAction::Failed);
    QCOMPARE(reports.list.last().status.errorCode, QMailServiceAction::Status::ErrFrameworkFault);
    QCOMPARE(reports.list.last().status.text, QString("Broken"));
}

void ServiceActionsTest::signalsBeforeTheAnswerAreNotLost()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
    mServer->setSignalsBeforeReply(true);
    mServer->setOutcome("TransmitMessages", MessageServerStandIn::Fail, 1038, "Bad address");
    const auto serial = TavikServiceActionManager::instance()->send(QMailAccountId(2));
    Reports reports(serial);
    QVERIFY(reports.waitForEnd());
    QCOMPARE(reports.list.last().activity, QMailServiceAction::Failed);
    QCOMPARE(reports.list.last().status.errorCode, QMailServiceAction::Status::ErrInvalidAddress);
    QCOMPARE(reports.list.last().status.text, QString("Bad address"));
}

void ServiceActionsTest::absentServerFailsTheRequest()
{
    const auto serial = TavikServiceActionManager::instance()->exportUpdates(QMailAccountId(1));
    Reports reports(serial);
    QVERIFY(reports.waitForEnd());
    QCOMPARE(reports.list.size(), 1);
    QCOMPARE(reports.list.last().activity, QMailServiceAction::Failed);
    QCOMPARE(reports.list.last().status.errorCode, QMailServiceAction::Status::ErrFrameworkFault);
    QVERIFY2(reports.list.last().status.text.contains("did not take the request"),
             qPrintable(reports.list.last().status.text));
    QCOMPARE(reports.list.last().status.accountId, QMailAccountId(1));
}

void ServiceActionsTest::serverLeavingFailsRunningActions()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
    mServer->setOutcome("RetrieveMessageLists", MessageServerStandIn::Never);
    auto *manager = TavikServiceActionManager::instance();
    const auto serial = manager->retrieveMessageLists(QMailAccountId(3), { QMailFolderId(1) }, 20,
                                                      QMailMessageSortKey());
    Reports reports(serial);
    QTRY_COMPARE(reports.list.size(), 1); // in progress
    settle();
    QVERIFY(!reports.ended());
    QCOMPARE(manager->runningActions(), 1);

    mServer->quit();
    QVERIFY(reports.waitForEnd());
    QCOMPARE(reports.list.last().activity, QMailServiceAction::Failed);
    QCOMPARE(reports.list.last().status.errorCode, QMailServiceAction::Status::ErrFrameworkFault);
    QCOMPARE(reports.list.last().status.text,
             QString("The message server quit before the action ended"));

    // A server that comes back serves new requests.
    QVERIFY(mServer->start());
    mServer->setOutcome("RetrieveMessageLists", MessageServerStandIn::Succeed);
    Reports again(manager->retrieveMessageLists(QMailAccountId(3), { QMailFolderId(1) }, 20,
                                                QMailMessageSortKey()));
    QVERIFY(again.waitForEnd());
    QCOMPARE(again.list.last().activity, QMailServiceAction::Successful);
}

void ServiceActionsTest::closureCompletesOnceAndDisposesOfItself()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
    mServer->setOutcome("TransmitMessages", MessageServerStandIn::Never);
    auto *manager = TavikServiceActionManager::instance();
    QList<QMailServiceAction::Status> completed;
    QPointer<RecordingClosure> closure = new RecordingClosure(&completed);
    const auto other = manager->send(QMailAccountId(8));
    closure->mSerials.append(manager->send(QMailAccountId(8)));
    QTRY_COMPARE(mServer->actions().size(), 2);

    // The end of an action it does not track leaves it waiting.
    QVERIFY(mServer->finish(mServer->actions().at(0).id, 0));
    settle();
    QVERIFY(completed.isEmpty());
    QVERIFY(closure);
    Q_UNUSED(other)

    QVERIFY(mServer->finish(mServer->actions().at(0).id, 1029, "Login refused"));
    QTRY_COMPARE(completed.size(), 1);
    QCOMPARE(completed.first().errorCode, QMailServiceAction::Status::ErrLoginFailed);
    QCOMPARE(completed.first().text, QString("Login refused"));
    QTRY_VERIFY(closure.isNull());
    settle();
    QCOMPARE(completed.size(), 1);
}

void ServiceActionsTest::closureWaitsForAllItsActions()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
    mServer->setOutcome("ExportUpdates", MessageServerStandIn::Never);
    mServer->setOutcome("TransmitMessages", MessageServerStandIn::Never);
    auto *manager = TavikServiceActionManager::instance();
    QList<QMailServiceAction::Status> completed;
    QPointer<RecordingClosure> closure = new RecordingClosure(&completed);
    closure->mSerials.append(manager->exportUpdates(QMailAccountId(5)));
    closure->mSerials.append(manager->send(QMailAccountId(5)));
    QTRY_COMPARE(mServer->actions().size(), 2);

    // The first failure decides, but only once every action has ended.
    QVERIFY(mServer->finish(mServer->actions().at(0).id, 1031));
    settle();
    QVERIFY(completed.isEmpty());
    QVERIFY(mServer->finish(mServer->actions().at(0).id, 0));
    QTRY_COMPARE(completed.size(), 1);
    QCOMPARE(completed.first().errorCode, QMailServiceAction::Status::ErrFileSystemFull);
    QTRY_VERIFY(closure.isNull());
}

namespace {
QStringList gRecords;
void recordServiceActions(QtMsgType, const QMessageLogContext &context, const QString &message)
{
    if (context.category && QByteArray(context.category) == "ServiceActions") {
        gRecords.append(message);
    }
}
} // namespace

void ServiceActionsTest::verboseModeLogsRequestsAndOutcomes()
{
    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
    mServer->setOutcome("ExportUpdates", MessageServerStandIn::Fail, 1034, "No route");
    auto *manager = TavikServiceActionManager::instance();
    const QtMessageHandler previous = qInstallMessageHandler(recordServiceActions);
    gRecords.clear();

    Reports quiet(manager->exportUpdates(QMailAccountId(6)));
    QVERIFY(quiet.waitForEnd());
    QVERIFY(gRecords.isEmpty());

    manager->setVerbose(true);
    const auto serial = manager->exportUpdates(QMailAccountId(6));
    Reports reports(serial);
    QVERIFY(reports.waitForEnd());
    manager->setVerbose(false);
    qInstallMessageHandler(previous);

    QCOMPARE(gRecords.first(), QString("request %1 \"ExportUpdates\" for account 6").arg(serial));
    QCOMPARE(gRecords.last(),
             QString("action %1 is \"failed\" with code 1034 \"No route\"").arg(serial));
}

namespace {

// "Method(in t,t; out t)" for every method of the interface in an introspection text.
QStringList methodSignatures(const QString &xml, const QString &interface)
{
    QStringList methods;
    QXmlStreamReader reader(xml);
    bool inInterface = false;
    QString current;
    QStringList args;
    QStringList outs;
    while (!reader.atEnd()) {
        reader.readNext();
        const auto attributes = reader.attributes();
        if (reader.isStartElement() && reader.name() == QLatin1String("interface")) {
            inInterface = attributes.value("name") == interface;
        } else if (reader.isEndElement() && reader.name() == QLatin1String("interface")) {
            inInterface = false;
        } else if (inInterface && reader.isStartElement()
                   && reader.name() == QLatin1String("method")) {
            current = attributes.value("name").toString();
            args.clear();
            outs.clear();
        } else if (inInterface && !current.isEmpty() && reader.isStartElement()
                   && reader.name() == QLatin1String("arg")) {
            const QString direction = attributes.hasAttribute("direction")
                ? attributes.value("direction").toString()
                : QStringLiteral("in");
            (direction == QLatin1String("out") ? outs : args)
                .append(attributes.value("type").toString());
        } else if (inInterface && reader.isEndElement()
                   && reader.name() == QLatin1String("method")) {
            // In and out arguments are ordered among themselves only.
            methods.append(current + "(in " + args.join(',') + "; out " + outs.join(',') + ')');
            current.clear();
        }
    }
    methods.sort();
    return methods;
}

// The stand-in answers from this thread: wait for its reply with the event loop running.
QDBusMessage callInProcess(const QDBusMessage &call)
{
    QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(call);
    QElapsedTimer timer;
    timer.start();
    while (!pending.isFinished() && timer.elapsed() < 10000) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return pending.reply();
}

QString actionListType(const QString &xml)
{
    const int at = xml.indexOf("name=\"ListActions\"");
    const int type = xml.indexOf("type=\"", at) + 6;
    return xml.mid(type, xml.indexOf('"', type) - type);
}

} // namespace

void ServiceActionsTest::standInSpeaksTheDocumentedInterface()
{
    QFile file(TestEnvironment::sourcePath("lib/qmf/com.brenmor.qmf.MessageServer.xml"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QString documented = QString::fromUtf8(file.readAll());
    const QStringList expected = methodSignatures(documented, "com.brenmor.qmf.MessageServer");
    QCOMPARE(expected.size(), 6);

    mServer = new MessageServerStandIn;
    QVERIFY(mServer->start());
    QDBusMessage call = QDBusMessage::createMethodCall(
        "com.brenmor.qmf.MessageServer", "/com/brenmor/qmf/MessageServer",
        "org.freedesktop.DBus.Introspectable", "Introspect");
    const QDBusMessage introspection = callInProcess(call);
    QCOMPARE(introspection.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(methodSignatures(introspection.arguments().first().toString(),
                              "com.brenmor.qmf.MessageServer"),
             expected);

    // The action structure as it travels.
    mServer->setOutcome("TransmitMessages", MessageServerStandIn::Never);
    Reports reports(TavikServiceActionManager::instance()->send(QMailAccountId(2)));
    QTRY_COMPARE(reports.list.size(), 1);
    const QDBusMessage list = callInProcess(QDBusMessage::createMethodCall(
        "com.brenmor.qmf.MessageServer", "/com/brenmor/qmf/MessageServer",
        "com.brenmor.qmf.MessageServer", "ListActions"));
    QCOMPARE(list.type(), QDBusMessage::ReplyMessage);
    QCOMPARE(list.signature(), actionListType(documented));
    QCOMPARE(list.signature(), QString("a(titttsiiiuud)"));
    QVERIFY(mServer->finish(mServer->actions().first().id, 0));
    QVERIFY(reports.waitForEnd());
}

QTEST_GUILESS_MAIN(ServiceActionsTest)
#include "tst_serviceactions.moc"
