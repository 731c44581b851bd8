#include "accountsfixture.h"

#include "testenvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QtDebug>

namespace {

bool copyFolder(const QString &from, const QString &to)
{
    QDir().mkpath(to);
    const QStringList names = QDir(from).entryList(QDir::Files);
    if (names.isEmpty()) {
        return false; // the project's data files are missing
    }
    for (const QString &name : names) {
        if (!QFile::copy(from + QLatin1Char('/') + name, to + QLatin1Char('/') + name)) {
            return false;
        }
    }
    return true;
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

} // namespace

namespace AccountsFixture {

bool setUp(const TestEnvironment &env)
{
    const QString source = TestEnvironment::sourcePath(QStringLiteral("data/accounts"));
    const QString target = env.path(QStringLiteral("accounts-data"));
    const QStringList kinds = { QStringLiteral("providers"), QStringLiteral("services"),
                                QStringLiteral("service-types") };
    for (const QString &kind : kinds) {
        if (!copyFolder(source + QLatin1Char('/') + kind, target + QLatin1Char('/') + kind)) {
            qWarning("Cannot copy %s", qPrintable(source + QLatin1Char('/') + kind));
            return false;
        }
    }
    // Accounts of this provider are synchronised by someone else.
    if (!writeFile(target + QStringLiteral("/providers/xorle.provider"),
                   "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                   "<provider id=\"xorle\"><name>Xorle</name></provider>\n")
        || !writeFile(target + QStringLiteral("/services/xorle-email.service"),
                      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<service id=\"xorle-email\"><type>e-mail</type><name>Xorle mail</name>"
                      "<provider>xorle</provider></service>\n")) {
        return false;
    }
    qputenv("AG_PROVIDERS", QFile::encodeName(target + QStringLiteral("/providers")));
    qputenv("AG_SERVICES", QFile::encodeName(target + QStringLiteral("/services")));
    qputenv("AG_SERVICE_TYPES", QFile::encodeName(target + QStringLiteral("/service-types")));
    return true;
}

bool setUpWithBuses(TestEnvironment &env, bool forDovecot)
{
    const QFile::Permissions search = QFile::ExeGroup | QFile::ExeOther;
    return env.isValid()
        && (!forDovecot
            || QFile::setPermissions(
                env.root(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | search))
        && env.startSessionBus() && env.startSystemBus() && setUp(env);
}

QString agTool(const QStringList &arguments)
{
    // ag-tool exits with 0 when the database was locked and nothing was
    // written; it says so only in its output. Another try then succeeds.
    for (int attempt = 1;; ++attempt) {
        QProcess process;
        process.start(QStringLiteral("ag-tool"), arguments);
        const bool ran = process.waitForFinished(90000)
            && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
        QString output = QString::fromLocal8Bit(process.readAllStandardOutput());
        const QByteArray errors = process.readAllStandardError();
        if (ran && !output.contains(QLatin1String("Unable to process the request"))) {
            return output.isNull() ? QStringLiteral("") : output; // null only for a failure
        }
        if (!ran || attempt == 3) {
            qWarning() << "ag-tool" << arguments << "failed:" << output << errors;
            return QString();
        }
    }
}

quint32 createAccount(const QString &provider, bool enabled)
{
    if (agTool({ QStringLiteral("create-account"), provider, QStringLiteral("Test account"),
                 enabled ? QStringLiteral("enable") : QStringLiteral("disable") })
            .isNull()) {
        return 0;
    }
    // The newest account has the highest id.
    quint32 highest = 0;
    const QRegularExpression row(QStringLiteral("^(\\d+)\\s+(\\S+)"),
                                 QRegularExpression::MultilineOption);
    auto it = row.globalMatch(agTool({ QStringLiteral("list-accounts") }));
    while (it.hasNext()) {
        const auto match = it.next();
        if (match.captured(2) == provider) {
            highest = qMax(highest, match.captured(1).toUInt());
        }
    }
    return highest;
}

} // namespace AccountsFixture
