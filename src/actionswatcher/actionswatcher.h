#ifndef ACTIONSWATCHER_H
#define ACTIONSWATCHER_H

#include <qmailactionobserver.h>
#include <qmailid.h>

#include <QList>
#include <QObject>
#include <QSharedPointer>

class ActionInformator;

// Follows every action of the message server, whatever client started it, and
// turns the actions into account-level transfer events; carries out the
// cancel requests that come back for an account.
class ActionsWatcher : public QObject
{
    Q_OBJECT
public:
    explicit ActionsWatcher(QObject *parent = nullptr);
    ~ActionsWatcher() override;

Q_SIGNALS:
    void transferStarted(QMailAccountId id, bool download);
    void transferProgress(QMailAccountId id, uint progress, uint total);
    void transferFinished(QMailAccountId id, QMailServiceAction::Status::ErrorCode status);

public Q_SLOTS:
    // Cancels every action whose learnt account is id.
    void onAccountCancelRequest(QMailAccountId id);

private Q_SLOTS:
    void actionsChanged(QList<QSharedPointer<QMailActionInfo>> actions);
    void clear();

private:
    QMailActionObserver *mObserver;
    QList<ActionInformator *> mInformators;
};

#endif // ACTIONSWATCHER_H
