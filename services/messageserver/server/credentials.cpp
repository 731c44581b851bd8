#include "server/credentials.h"

#include <SignOn/AuthSession>
#include <SignOn/Identity>
#include <SignOn/SessionData>

#include <QObject>
#include <QTimer>

void readPassword(quint32 credentialsId, int timeoutSeconds, QObject *context,
                  const std::function<void(const QString &password, const QString &error)> &done)
{
    // Owns the identity and its session; whatever answers first ends it, so
    // done runs once.
    auto *request = new QObject(context);
    auto finish = [request, done](const QString &password, const QString &error) {
        if (request->property("done").toBool()) {
            return;
        }
        request->setProperty("done", true);
        request->deleteLater();
        done(password, error);
    };
    if (credentialsId == 0) {
        QTimer::singleShot(0, request, [finish] {
            finish(QString(),
                   QStringLiteral("No password is stored for the account (postvane-password "
                                  "stores one)"));
        });
        return;
    }
    const QString failure
        = QStringLiteral("Cannot read the password of credentials %1: %2").arg(credentialsId);
    QTimer::singleShot(qMax(1, timeoutSeconds) * 1000, request, [finish, failure] {
        finish(QString(), failure.arg(QStringLiteral("the credentials service does not answer")));
    });
    SignOn::Identity *identity = SignOn::Identity::existingIdentity(credentialsId, request);
    SignOn::AuthSession *session = identity->createSession(QStringLiteral("password"));
    if (!session) {
        QTimer::singleShot(0, request, [finish, failure] {
            finish(QString(), failure.arg(QStringLiteral("no password method")));
        });
        return;
    }
    QObject::connect(session, &SignOn::AuthSession::response, request,
                     [finish, failure](const SignOn::SessionData &data) {
                         const QString secret = data.Secret();
                         finish(secret,
                                secret.isEmpty() ? failure.arg(QStringLiteral("it is empty"))
                                                 : QString());
                     });
    QObject::connect(session, &SignOn::AuthSession::error, request,
                     [finish, failure](const SignOn::Error &error) {
                         finish(QString(), failure.arg(error.message()));
                     });
    session->process(SignOn::SessionData(), QStringLiteral("password"));
}
