#ifndef DISCOVERY_H
#define DISCOVERY_H

#include <QString>

// Where an address's mail is served: found as mail clients find it, from the
// domain's SRV records (RFC 6186), then from the autoconfiguration file that
// mail clients share (clientConfig, config-v1.1.xml).
//
// Two environment variables replace the network for tests:
// POSTVANE_SRV_ANSWERS names a file of SRV answers, one record a line,
// "NAME PRIORITY WEIGHT PORT TARGET" (a name without lines has none), used
// instead of DNS; POSTVANE_AUTOCONFIG_URL is a base URL used instead of
// https://autoconfig.DOMAIN and https://DOMAIN for the two file locations.
struct MailServer
{
    QString host;
    int port = 0;
    QString encryption; // "tls", "starttls" or "none"
    QString userName;
};

struct MailServers
{
    MailServer imap;
    MailServer smtp;
    QString source; // how they were found, for the user
};

// Finds the servers of the address; the error text says why none were found.
bool discoverServers(const QString &address, MailServers *found, QString *error);

#endif // DISCOVERY_H
