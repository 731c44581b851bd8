#include "delayedsignal.h"

#include <QTimer>

DelayedSignal::DelayedSignal(unsigned int delay, Accounts::AccountId id, QObject *parent)
    : QObject(parent)
    , mDelay(delay)
    , mId(id)
{
    QTimer::singleShot(int(mDelay * 1000), this, SLOT(onTimeout()));
}

void DelayedSignal::onTimeout()
{
    Q_EMIT timeout(mId);
    deleteLater();
}
