#include "actionswatcher/actionswatcher.h"

#include "actionswatcher/actioninformator.h"
#include "settings/logcategories.h"

#include <QMap>

ActionsWatcher::ActionsWatcher(QObject *parent)
    : QObject(parent)
    , mObserver(new QMailActionObserver(this))
{
    connect(mObserver, &QMailActionObserver::actionsChanged, this, &ActionsWatcher::actionsChanged);
}

ActionsWatcher::~ActionsWatcher()
{
    clear();
}

void ActionsWatcher::clear()
{
    qDeleteAll(mInformators);
    mInformators.clear();
}

void ActionsWatcher::actionsChanged(QList<QSharedPointer<QMailActionInfo>> actions)
{
    // The list is rebuilt as a whole; an action that keeps running keeps the
    // account its previous informator had learnt, as its status may not
    // name the account again.
    QMap<quint64, QMailAccountId> learnt;
    for (const ActionInformator *informator : qAsConst(mInformators)) {
        learnt.insert(informator->actionId(), informator->accountId());
    }
    clear();
    qMailLog(Watcher) << "ActionsChanged: there are " << actions.size() << " actions in the list";
    for (const QSharedPointer<QMailActionInfo> &action : actions) {
        auto *informator = new ActionInformator(action, this);
        connect(informator, &ActionInformator::transferStarted, this,
                &ActionsWatcher::transferStarted);
        connect(informator, &ActionInformator::transferFinished, this,
                &ActionsWatcher::transferFinished);
        connect(informator, &ActionInformator::transferProgress, this,
                &ActionsWatcher::transferProgress);
        const auto found = learnt.find(action->id());
        if (found != learnt.end()) {
            informator->setAccountId(found.value());
            qMailLog(Watcher) << "Bug fix: restoring account " << found.value() << " for action "
                              << action->id();
            learnt.erase(found);
        }
        mInformators.append(informator);
    }
}

void ActionsWatcher::onAccountCancelRequest(QMailAccountId id)
{
    qMailLog(Watcher) << "account cancel request is received for account " << id;
    // A copy: a cancel may end an action and rebuild the list meanwhile.
    const QList<ActionInformator *> informators = mInformators;
    for (ActionInformator *informator : informators) {
        if (mInformators.contains(informator) && informator->accountId() == id) {
            qMailLog(Watcher) << "Canceling action " << informator->actionId();
            informator->cancel();
        }
    }
}
