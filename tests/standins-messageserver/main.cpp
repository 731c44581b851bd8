// The message-server stand-in as a program of its own, for tests that run the
// real daemon: it serves the interface on the session bus, writes one line per
// request to standard error and ends each action as its options say.
//
//   standin-messageserver [--fail METHOD=CODE]... [--never METHOD]...
//                         [--signals-before-reply]
//
// METHOD is a method of com.brenmor.qmf.MessageServer ("RetrieveFolderList").
#include "messageserverstandin.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

void say(const QString &line)
{
    std::fprintf(stderr, "standin-messageserver: %s\n", qPrintable(line));
    std::fflush(stderr);
}

QString describe(const MessageServerStandIn::Request &request)
{
    QString line = QStringLiteral("request %1 account %2 action %3")
                       .arg(request.method)
                       .arg(request.accountId)
                       .arg(request.actionId);
    if (request.method == QLatin1String("RetrieveFolderList")) {
        line += QStringLiteral(" folder %1 descending %2")
                    .arg(request.folderId)
                    .arg(request.descending ? QStringLiteral("true") : QStringLiteral("false"));
    } else if (request.method == QLatin1String("RetrieveMessageLists")) {
        QStringList folders;
        for (quint64 id : request.folderIds) {
            folders.append(QString::number(id));
        }
        line += QStringLiteral(" folders %1 minimum %2")
                    .arg(folders.join(QLatin1Char(',')))
                    .arg(request.minimum);
    }
    return line;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    MessageServerStandIn server;
    const QStringList arguments = app.arguments().mid(1);
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &option = arguments.at(i);
        if (option == QLatin1String("--signals-before-reply")) {
            server.setSignalsBeforeReply(true);
        } else if (option == QLatin1String("--never") && i + 1 < arguments.size()) {
            server.setOutcome(arguments.at(++i), MessageServerStandIn::Never);
        } else if (option == QLatin1String("--fail") && i + 1 < arguments.size()) {
            const QStringList parts = arguments.at(++i).split(QLatin1Char('='));
            bool ok = false;
            const int code = parts.value(1).toInt(&ok);
            if (parts.size() != 2 || !ok) {
                say(QStringLiteral("bad --fail value \"%1\", expected METHOD=CODE")
                        .arg(arguments.at(i)));
                return 2;
            }
            server.setOutcome(parts.at(0), MessageServerStandIn::Fail, code,
                              QStringLiteral("Failed by the stand-in"));
        } else {
            say(QStringLiteral("unknown option \"%1\"").arg(option));
            return 2;
        }
    }
    QObject::connect(&server, &MessageServerStandIn::requestReceived,
                     [&server] { say(describe(server.requests().constLast())); });
    if (!server.start()) {
        say(QStringLiteral("cannot serve the session bus"));
        return 1;
    }
    say(QStringLiteral("ready"));
    return app.exec();
}
