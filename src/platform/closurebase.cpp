#include "closurebase.h"

#include <QSet>

namespace {

// Every closure alive. Closures have no owner until they dispose of
// themselves; this registry keeps track of those still waiting.
QSet<ClosureBase *> &liveClosures()
{
    static QSet<ClosureBase *> closures;
    return closures;
}

} // namespace

ClosureBase::ClosureBase(QObject *parent)
    : QObject(parent)
{
    liveClosures().insert(this);
}

ClosureBase::~ClosureBase()
{
    liveClosures().remove(this);
}

int ClosureBase::liveCount()
{
    return liveClosures().size();
}

void ClosureBase::onActivityChanged(TavikServiceActionManager::Serial serial,
                                    QMailServiceAction::Activity activity,
                                    QMailServiceAction::Status status)
{
    if (mCompleted || !mSerials.contains(serial)) {
        return;
    }
    if (activity != QMailServiceAction::Successful && activity != QMailServiceAction::Failed) {
        return;
    }
    mSerials.removeAll(serial);
    // The first failure decides the outcome of a closure tracking several
    // actions; otherwise the status of the last one to end.
    if (!mFailed) {
        mStatus = status;
        mFailed = activity == QMailServiceAction::Failed;
    }
    if (!mSerials.isEmpty()) {
        return;
    }
    mCompleted = true;
    disconnect(TavikServiceActionManager::instance(), nullptr, this, nullptr);
    complete(mStatus);
    deleteLater();
}
