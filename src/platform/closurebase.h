#ifndef CLOSUREBASE_H
#define CLOSUREBASE_H

#include "tavikserviceactionmanager.h"

#include <qmailserviceaction.h>

#include <QList>
#include <QObject>

// Waits for the outcome of service actions issued through
// TavikServiceActionManager. Whoever creates a closure connects the manager's
// activityChanged to onActivityChanged and appends the serials it tracks to
// mSerials. When the last tracked action has ended, complete() is called once
// with the final status of the action that ended last (or of the first one
// that failed) and the closure disposes of itself: nobody deletes a closure.
// A closure still waiting when the process ends stays registered, so it is
// accounted for rather than lost.
class ClosureBase : public QObject
{
    Q_OBJECT
public:
    explicit ClosureBase(QObject *parent = nullptr);
    ~ClosureBase() override;

    // Closures alive in this process (created and not yet disposed of).
    static int liveCount();

public Q_SLOTS:
    void onActivityChanged(TavikServiceActionManager::Serial serial,
                           QMailServiceAction::Activity activity,
                           QMailServiceAction::Status status);

protected:
    virtual void complete(const QMailServiceAction::Status &status) = 0;

public:
    QList<TavikServiceActionManager::Serial> mSerials;

private:
    bool mCompleted = false;
    bool mFailed = false;
    QMailServiceAction::Status mStatus;
};

#endif // CLOSUREBASE_H
