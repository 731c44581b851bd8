#ifndef CREDENTIALS_H
#define CREDENTIALS_H

#include <QString>

#include <functional>

class QObject;

// Reads an account's password from the credentials service (signond): the
// account's "CredentialsId" names an identity whose stored secret the
// "password" method hands back. Calls done exactly once, later, with the
// password or (password empty) a text saying why there is none, unless
// context is destroyed first. Gives up after timeoutSeconds.
void readPassword(quint32 credentialsId, int timeoutSeconds, QObject *context,
                  const std::function<void(const QString &password, const QString &error)> &done);

#endif // CREDENTIALS_H
