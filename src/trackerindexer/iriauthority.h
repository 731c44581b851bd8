#ifndef IRIAUTHORITY_H
#define IRIAUTHORITY_H

#include <QString>

// The host part of every resource IRI of the mail system ("qmf://" + authority
// + "/email#12"). The Tracker mirror writes it and the new-mail notification
// hands it to the e-mail application, which reads the IRIs back from Tracker:
// all of them must agree on this one value.
inline QString iriAuthority()
{
    return QStringLiteral("mail.brenmor.com");
}

#endif // IRIAUTHORITY_H
