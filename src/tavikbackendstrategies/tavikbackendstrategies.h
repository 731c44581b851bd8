#ifndef TAVIKBACKENDSTRATEGIES_H
#define TAVIKBACKENDSTRATEGIES_H

#include "closurebase.h"
#include "tavikserviceactionmanager.h"
#include "tavikutils.h"

#include <qmailfolder.h>
#include <qmailid.h>
#include <qmailmessagesortkey.h>
#include <qmailserviceaction.h>
#include <qmailstore.h>

#include <QList>
#include <QObject>
#include <QtGlobal>

#include <tuple>

// An invariant the strategies cannot go on without; holds in release builds.
#define TAVIK_FATAL_ASSERT(condition)                                                              \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            qFatal("ASSERT: \"%s\" in file %s, line %d", #condition, __FILE__, __LINE__);          \
        }                                                                                          \
    } while (false)

// A synchronisation of one account is a chain of mail-service actions: each
// step is issued through TavikServiceActionManager and a closure waits for its
// outcome, then runs the next step or reports to the strategy's handlers.
namespace TavikBackendStrategy {

// Outcome handlers for a synchronisation whose result interests nobody.
struct IgnoreSuccess
{
    void operator()() const { }
};

struct LogError
{
    void operator()(const QMailServiceAction::Status &status) const;
};

// The arguments a closure keeps for its success handler: none, one or two,
// with void standing for an unused place.
template<typename Arg1, typename Arg2> struct StoredArguments
{
    typedef std::tuple<Arg1, Arg2> Type;
};
template<typename Arg1> struct StoredArguments<Arg1, void>
{
    typedef std::tuple<Arg1> Type;
};
template<> struct StoredArguments<void, void>
{
    typedef std::tuple<> Type;
};

// Calls the failure handler with the status of a failed action, otherwise
// the success handler with the stored arguments.
template<typename SuccessT, typename FailureT, typename Arg1 = void, typename Arg2 = void>
class TavikServiceActionClosure : public ClosureBase
{
public:
    template<typename... Args>
    TavikServiceActionClosure(const SuccessT &success, const FailureT &failure,
                              const Args &...arguments)
        : mSuccess(success)
        , mFailure(failure)
        , mArguments(arguments...)
    { }

protected:
    void complete(const QMailServiceAction::Status &status) override
    {
        if (status.errorCode != QMailServiceAction::Status::ErrNoError) {
            mFailure(status);
        } else {
            std::apply(mSuccess, mArguments);
        }
    }

private:
    SuccessT mSuccess;
    FailureT mFailure;
    typename StoredArguments<Arg1, Arg2>::Type mArguments;
};

// Makes the closure wait for the action with the given serial.
inline void trackAction(ClosureBase *closure, TavikServiceActionManager::Serial serial)
{
    if (closure->mSerials.isEmpty()) {
        const bool res = QObject::connect(
            TavikServiceActionManager::instance(),
            SIGNAL(activityChanged(TavikServiceActionManager::Serial, QMailServiceAction::Activity,
                                   QMailServiceAction::Status)),
            closure,
            SLOT(onActivityChanged(TavikServiceActionManager::Serial, QMailServiceAction::Activity,
                                   QMailServiceAction::Status)),
            Qt::UniqueConnection);
        TAVIK_FATAL_ASSERT(res);
    }
    closure->mSerials.append(serial);
}

// Last step: the message lists of the given folders, at least 20 messages
// each, in the store's default order.
template<typename SuccessT, typename FailureT> class SyncFolders
{
public:
    SyncFolders(const SuccessT &success, const FailureT &failure)
        : mSuccess(success)
        , mFailure(failure)
    { }

    void operator()(const QMailAccountId &accountId, const QList<QMailFolderId> &folderIdList)
    {
        TAVIK_FATAL_ASSERT(!folderIdList.isEmpty());
        auto *closure = new TavikServiceActionClosure<SuccessT, FailureT>(mSuccess, mFailure);
        trackAction(closure,
                    TavikServiceActionManager::instance()->retrieveMessageLists(
                        accountId, folderIdList, 20, QMailMessageSortKey()));
    }

private:
    SuccessT mSuccess;
    FailureT mFailure;
};

// Runs once the folder list of an account without favourite folders has
// arrived: the inbox becomes a favourite, and its message list is fetched.
template<typename SuccessT, typename FailureT> class InitInbox
{
public:
    InitInbox(const SuccessT &success, const FailureT &failure)
        : mSuccess(success)
        , mFailure(failure)
    { }

    void operator()(const QMailAccountId &accountId)
    {
        QMailFolder folder(TavikUtils::getInboxFolder(accountId));
        if (!folder.id().isValid()) {
            qWarning() << Q_FUNC_INFO << "TavikUtils::getInboxFolder have return an invalid id";
            mFailure(QMailServiceAction::Status(QMailServiceAction::Status::ErrConfiguration,
                                                QString(), accountId, QMailFolderId(),
                                                QMailMessageId()));
            return;
        }
        folder.setStatus(QMailFolder::Favourite, true);
        QMailStore::instance()->updateFolder(&folder);

        // From here on the inbox is synchronised as any favourite folder is.
        SyncFolders<SuccessT, FailureT>(mSuccess, mFailure)(accountId, { folder.id() });
    }

private:
    SuccessT mSuccess;
    FailureT mFailure;
};

// The whole-account synchronisation: with favourite folders, export, send and
// the folder list at once, then the favourites' message lists; without any,
// the folder list, then the inbox is set up (InitInbox).
template<typename SuccessT, typename FailureT> class SyncAccount
{
public:
    SyncAccount(const SuccessT &success, const FailureT &failure)
        : mSuccess(success)
        , mFailure(failure)
    { }

    void operator()(const QMailAccountId &accountId, const QMailFolderId &folderId)
    {
        QList<QMailFolderId> folders;
        if (folderId.isValid()) {
            folders.append(folderId);
        } else {
            folders = TavikUtils::getFavouriteFolders(accountId);
        }
        TavikServiceActionManager *manager = TavikServiceActionManager::instance();

        if (folders.isEmpty()) {
            typedef InitInbox<SuccessT, FailureT> Next;
            auto *closure = new TavikServiceActionClosure<Next, FailureT, QMailAccountId>(
                Next(mSuccess, mFailure), mFailure, accountId);
            trackAction(closure, manager->retrieveFolderList(accountId, QMailFolderId(), true));
            return;
        }

        auto *exportClosure
            = new TavikServiceActionClosure<IgnoreSuccess, FailureT>(IgnoreSuccess(), mFailure);
        trackAction(exportClosure, manager->exportUpdates(accountId));

        auto *sendClosure
            = new TavikServiceActionClosure<IgnoreSuccess, FailureT>(IgnoreSuccess(), mFailure);
        trackAction(sendClosure, manager->send(accountId));

        typedef SyncFolders<SuccessT, FailureT> Next;
        auto *closure
            = new TavikServiceActionClosure<Next, FailureT, QMailAccountId, QList<QMailFolderId>>(
                Next(mSuccess, mFailure), mFailure, accountId, folders);
        trackAction(closure, manager->retrieveFolderList(accountId, QMailFolderId(), true));
    }

private:
    SuccessT mSuccess;
    FailureT mFailure;
};

} // namespace TavikBackendStrategy

#endif // TAVIKBACKENDSTRATEGIES_H
