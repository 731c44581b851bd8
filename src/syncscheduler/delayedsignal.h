#ifndef DELAYEDSIGNAL_H
#define DELAYEDSIGNAL_H

#include <Accounts/Account>

#include <QObject>

// Emits timeout(id) once, delay seconds after its construction, then deletes
// itself. It cannot be stopped or reused; its parent may delete it earlier.
class DelayedSignal : public QObject
{
    Q_OBJECT
public:
    DelayedSignal(unsigned int delay, Accounts::AccountId id, QObject *parent);

Q_SIGNALS:
    void timeout(Accounts::AccountId id);

private Q_SLOTS:
    void onTimeout();

private:
    unsigned int mDelay;
    Accounts::AccountId mId;
};

#endif // DELAYEDSIGNAL_H
