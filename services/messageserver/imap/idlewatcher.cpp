#include "imap/idlewatcher.h"

#include "server/messageserverlog.h"

#include <KIMAP/IdleJob>
#include <KIMAP/SelectJob>
#include <KIMAP/Session>

#include <QTimer>

namespace {

const int RenewMs = 25 * 60 * 1000;
const int MaxBackoffSeconds = 300;

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
            Q_EMIT newMail(mAccountId, mFolderId);
            startIdle();
        });
    });
    mConnection->open();
}

void IdleWatcher::startIdle()
{
    mRenewing = false;
    mIdle = new KIMAP::IdleJob(mConnection->session());
    connect(mIdle, &KIMAP::IdleJob::mailBoxStats, this,
            [this](KIMAP::IdleJob *, const QString &, int count, int) {
                if (count > mCount) {
                    Q_EMIT newMail(mAccountId, mFolderId);
                }
                mCount = count;
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
