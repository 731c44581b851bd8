#include "imap/idlewatcher.h"

#include "imap/kimapresponse.h"

#include "server/messageserverlog.h"

#include <KIMAP/IdleJob>
#include <KIMAP/SelectJob>
#include <KIMAP/Session>

#include <QTimer>

#include <functional>

namespace {

const int RenewMs = 25 * 60 * 1000;
const int MaxBackoffSeconds = 300;

// KIMAP's IDLE reports a grown message count and changed flags, but drops
// EXPUNGE, in which the server names a message another client removed; its
// count then lags behind the server's, and the next new message can go
// unreported: the job reads the responses' words itself.

// IDLE that hands every untagged EXISTS, EXPUNGE and FETCH to the watcher.
class WatchingIdleJob : public KIMAP::IdleJob
{
public:
    WatchingIdleJob(KIMAP::Session *session,
                    const std::function<void(const QByteArray &, qint64)> &told)
        : KIMAP::IdleJob(session)
        , mTold(told)
    { }

protected:
    void handleResponse(const KIMAP::Response &response) override
    {
        const ResponseWords &words = ResponseWords::of(response);
        if (words.content.size() >= 3 && words.content.at(0).word == "*") {
            bool number = false;
            const qint64 n = words.content.at(1).word.toLongLong(&number);
            const QByteArray what = words.content.at(2).word.toUpper();
            if (number && (what == "EXISTS" || what == "EXPUNGE" || what == "FETCH")) {
                mTold(what, n);
            }
        }
        KIMAP::IdleJob::handleResponse(response);
    }

private:
    std::function<void(const QByteArray &, qint64)> mTold;
};

} // namespace

IdleWatcher::IdleWatcher(const QMailAccountId &accountId, const QMailFolderId &folderId,
                         const QString &path, const AccountConfig &config, QObject *parent)
    : QObject(parent)
    , mAccountId(accountId)
    , mFolderId(folderId)
    , mPath(path)
    , mConfig(config)
    , mRenew(new QTimer(this))
    , mRetry(new QTimer(this))
{
    mRenew->setInterval(RenewMs);
    mRenew->setSingleShot(true);
    connect(mRenew, &QTimer::timeout, this, [this] {
        if (mIdle) {
            mRenewing = true;
            mIdle->stop();
        }
    });
    mRetry->setSingleShot(true);
    connect(mRetry, &QTimer::timeout, this, &IdleWatcher::connectNow);
    connectNow();
}

IdleWatcher::~IdleWatcher()
{
    delete mConnection;
}

void IdleWatcher::connectNow()
{
    delete mConnection;
    mIdle = nullptr;
    mConnection = new ImapConnection(mConfig, this);
    connect(
        mConnection, &ImapConnection::failed, this, [this](ErrorCode code, const QString &text) {
            mRenew->stop();
            mIdle = nullptr;
            if (code == QMailServiceAction::Status::ErrLoginFailed
                || code == QMailServiceAction::Status::ErrConfiguration) {
                qWarning("Push folder \"%s\" of account %llu is not watched: %s", qPrintable(mPath),
                         static_cast<unsigned long long>(mAccountId.toULongLong()),
                         qPrintable(text));
                if (code == QMailServiceAction::Status::ErrLoginFailed) {
                    Q_EMIT loginRefused(text);
                }
                return;
            }
            retryLater(text);
        });
    connect(mConnection, &ImapConnection::ready, this, [this] {
        auto *select = new KIMAP::SelectJob(mConnection->session());
        select->setMailBox(mPath);
        select->setOpenReadOnly(true);
        mConnection->run(select, [this, select] {
            mCount = select->messageCount();
            mBackoff = 1;
            qMailLog(MessageServer) << "account" << mAccountId.toULongLong() << "IDLE on" << mPath;
            Q_EMIT changed(mAccountId, mFolderId);
            startIdle();
        });
    });
    mConnection->open();
}

void IdleWatcher::startIdle()
{
    mRenewing = false;
    mIdle = new WatchingIdleJob(mConnection->session(), [this](const QByteArray &what, qint64 n) {
        // A removal by another client is the server's own word, not a guess
        // from something missing: the folder's look takes the message out of
        // the store (never anything out of the server).
        if (what == "EXPUNGE") {
            mCount = qMax<qint64>(0, mCount - 1);
        } else if (what == "EXISTS") {
            const bool grown = n > mCount;
            mCount = n;
            if (!grown) {
                return;
            }
        }
        qMailLog(MessageServer) << "account" << mAccountId.toULongLong() << "IDLE on" << mPath
                                << "told" << what.constData();
        Q_EMIT changed(mAccountId, mFolderId);
    });
    mRenew->start();
    mConnection->run(
        mIdle,
        [this] {
            mIdle = nullptr;
            if (mRenewing) {
                startIdle();
            } else {
                retryLater(QStringLiteral("IDLE ended"));
            }
        },
        false);
}

void IdleWatcher::retryLater(const QString &why)
{
    mRenew->stop();
    qMailLog(MessageServer) << "push folder" << mPath << "of account" << mAccountId.toULongLong()
                            << "lost:" << why << "- again in" << mBackoff << "s";
    mRetry->start(mBackoff * 1000);
    mBackoff = qMin(mBackoff * 2, MaxBackoffSeconds);
}
