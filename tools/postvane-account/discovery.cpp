#include "discovery.h"

#include <QDnsLookup>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>
#include <QUrlQuery>
#include <QXmlStreamReader>

namespace {

const int LookupTimeoutMs = 15000;

struct SrvRecord
{
    QString target;
    int port = 0;
    int priority = 0;
    int weight = 0;
};

QString withoutDot(const QString &name)
{
    return name.endsWith(QLatin1Char('.')) ? name.chopped(1) : name;
}

// The SRV records of a name from the test's answer file.
QList<SrvRecord> answersFromFile(const QString &file, const QString &name, QString *error)
{
    QFile answers(file);
    if (!answers.open(QIODevice::ReadOnly | QIODevice::Text)) {
        *error
            = QStringLiteral("cannot read the SRV answers %1: %2").arg(file, answers.errorString());
        return {};
    }
    QList<SrvRecord> records;
    while (!answers.atEnd()) {
        const QStringList fields
            = QString::fromUtf8(answers.readLine()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() == 5
            && withoutDot(fields.at(0)).compare(name, Qt::CaseInsensitive) == 0) {
            records.append({ withoutDot(fields.at(4).trimmed()), fields.at(3).toInt(),
                             fields.at(1).toInt(), fields.at(2).toInt() });
        }
    }
    return records;
}

// The SRV records of a name; a name without records is no error.
QList<SrvRecord> lookupSrv(const QString &name, QString *error)
{
    const QByteArray file = qgetenv("POSTVANE_SRV_ANSWERS");
    if (!file.isEmpty()) {
        return answersFromFile(QFile::decodeName(file), name, error);
    }
    QDnsLookup lookup(QDnsLookup::SRV, name);
    QEventLoop loop;
    QObject::connect(&lookup, &QDnsLookup::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(LookupTimeoutMs, &lookup, &QDnsLookup::abort);
    lookup.lookup();
    if (!lookup.isFinished()) {
        loop.exec();
    }
    if (lookup.error() != QDnsLookup::NoError && lookup.error() != QDnsLookup::NotFoundError) {
        *error = QStringLiteral("the SRV lookup of %1 failed: %2").arg(name, lookup.errorString());
        return {};
    }
    QList<SrvRecord> records;
    const QList<QDnsServiceRecord> answers = lookup.serviceRecords();
    for (const QDnsServiceRecord &answer : answers) {
        records.append(
            { withoutDot(answer.target()), answer.port(), answer.priority(), answer.weight() });
    }
    return records;
}

// The preferred server among the services' records: the lowest priority,
// then the highest weight, then the service named first. A target of "."
// says that the service is not offered.
bool bestSrv(const QList<QPair<QString, QString>> &services, const QString &domain,
             MailServer *server, QString *error)
{
    bool found = false;
    SrvRecord best;
    for (const auto &service : services) {
        const QList<SrvRecord> records = lookupSrv(service.first + domain, error);
        for (const SrvRecord &record : records) {
            if (record.target.isEmpty() || record.port <= 0 || record.port > 65535) {
                continue;
            }
            if (!found || record.priority < best.priority
                || (record.priority == best.priority && record.weight > best.weight)) {
                found = true;
                best = record;
                server->encryption = service.second;
            }
        }
    }
    server->host = best.target;
    server->port = best.port;
    return found;
}

QString substituted(QString text, const QString &address)
{
    return text.replace(QLatin1String("%EMAILADDRESS%"), address)
        .replace(QLatin1String("%EMAILLOCALPART%"), address.section(QLatin1Char('@'), 0, 0))
        .replace(QLatin1String("%EMAILDOMAIN%"), address.section(QLatin1Char('@'), 1));
}

// One server element of a configuration file; false when it cannot be used.
bool readServer(QXmlStreamReader &xml, const QString &address, MailServer *server)
{
    const QString element = xml.name().toString();
    while (xml.readNextStartElement()) {
        const QString value = substituted(xml.readElementText().trimmed(), address);
        if (xml.name() == QLatin1String("hostname")) {
            server->host = value;
        } else if (xml.name() == QLatin1String("port")) {
            server->port = value.toInt();
        } else if (xml.name() == QLatin1String("username")) {
            server->userName = value;
        } else if (xml.name() == QLatin1String("socketType")) {
            server->encryption = value == QLatin1String("SSL") ? QStringLiteral("tls")
                : value == QLatin1String("STARTTLS")           ? QStringLiteral("starttls")
                : value == QLatin1String("plain")              ? QStringLiteral("none")
                                                               : QString();
        }
    }
    return !server->host.isEmpty() && server->port > 0 && server->port <= 65535
        && !server->encryption.isEmpty();
}

// The first usable IMAP and SMTP servers of a clientConfig file.
QString parseConfig(const QByteArray &data, const QString &address, MailServers *found)
{
    QXmlStreamReader xml(data);
    MailServers servers;
    if (!xml.readNextStartElement() || xml.name() != QLatin1String("clientConfig")) {
        return QStringLiteral("not a mail client configuration file");
    }
    while (!xml.atEnd() && !xml.hasError()) {
        xml.readNext();
        if (!xml.isStartElement()) {
            continue;
        }
        const QString type = xml.attributes().value(QLatin1String("type")).toString();
        MailServer server;
        if (xml.name() == QLatin1String("incomingServer") && type == QLatin1String("imap")
            && servers.imap.host.isEmpty() && readServer(xml, address, &server)) {
            servers.imap = server;
        } else if (xml.name() == QLatin1String("outgoingServer") && type == QLatin1String("smtp")
                   && servers.smtp.host.isEmpty() && readServer(xml, address, &server)) {
            servers.smtp = server;
        }
    }
    if (xml.hasError()) {
        return QStringLiteral("not a mail client configuration file (%1)").arg(xml.errorString());
    }
    if (servers.imap.host.isEmpty() || servers.smtp.host.isEmpty()) {
        return servers.imap.host.isEmpty() ? QStringLiteral("it names no IMAP server")
                                           : QStringLiteral("it names no SMTP server");
    }
    servers.imap.userName = servers.imap.userName.isEmpty() ? address : servers.imap.userName;
    servers.smtp.userName = servers.smtp.userName.isEmpty() ? address : servers.smtp.userName;
    *found = servers;
    return QString();
}

QString fetch(QNetworkAccessManager &network, const QUrl &url, QByteArray *data)
{
    QNetworkRequest request(url);
    // Redirects, but never from HTTPS to plain HTTP.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(LookupTimeoutMs);
    QNetworkReply *reply = network.get(request);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
    reply->deleteLater();
    if (reply->error() != QNetworkReply::NoError) {
        return reply->errorString();
    }
    *data = reply->readAll();
    return QString();
}

} // namespace

bool discoverServers(const QString &address, MailServers *found, QString *error)
{
    const QString domain = address.section(QLatin1Char('@'), 1);
    QStringList failures;
    QString srvError;
    MailServers servers;
    const bool imap = bestSrv({ { QStringLiteral("_imaps._tcp."), QStringLiteral("tls") },
                                { QStringLiteral("_imap._tcp."), QStringLiteral("starttls") } },
                              domain, &servers.imap, &srvError);
    const bool smtp
        = bestSrv({ { QStringLiteral("_submission._tcp."), QStringLiteral("starttls") } }, domain,
                  &servers.smtp, &srvError);
    if (imap && smtp) {
        // Submission on the port of implicit TLS (RFC 8314) speaks TLS at once.
        if (servers.smtp.port == 465) {
            servers.smtp.encryption = QStringLiteral("tls");
        }
        servers.imap.userName = servers.smtp.userName = address;
        servers.source = QStringLiteral("the SRV records of %1").arg(domain);
        *found = servers;
        return true;
    }
    failures.append(!srvError.isEmpty() ? srvError
                        : imap          ? QStringLiteral("no SRV record names a submission server")
                        : smtp          ? QStringLiteral("no SRV record names an IMAP server")
                                        : QStringLiteral("no SRV records"));

    const QByteArray base = qgetenv("POSTVANE_AUTOCONFIG_URL");
    QList<QUrl> urls;
    if (!base.isEmpty()) {
        const QString root = QString::fromUtf8(base);
        urls = { QUrl(root + QStringLiteral("/mail/config-v1.1.xml")),
                 QUrl(root + QStringLiteral("/.well-known/autoconfig/mail/config-v1.1.xml")) };
    } else {
        urls = { QUrl(QStringLiteral("https://autoconfig.%1/mail/config-v1.1.xml").arg(domain)),
                 QUrl(QStringLiteral("https://%1/.well-known/autoconfig/mail/config-v1.1.xml")
                          .arg(domain)) };
    }
    QNetworkAccessManager network;
    for (QUrl url : qAsConst(urls)) {
        QUrlQuery query;
        query.addQueryItem(QStringLiteral("emailaddress"), address);
        url.setQuery(query);
        QByteArray data;
        QString failure = fetch(network, url, &data);
        if (failure.isEmpty()) {
            failure = parseConfig(data, address, &servers);
        }
        if (failure.isEmpty()) {
            servers.source = url.toString(QUrl::RemoveQuery);
            *found = servers;
            return true;
        }
        failures.append(url.toString(QUrl::RemoveQuery) + QStringLiteral(": ") + failure);
    }
    *error = QStringLiteral("No mail servers found for %1 (%2)")
                 .arg(domain, failures.join(QStringLiteral("; ")));
    return false;
}
