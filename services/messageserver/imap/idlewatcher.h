#ifndef IDLEWATCHER_H
#define IDLEWATCHER_H

#include "imap/imapconnection.h"

#include <qmailid.h>

#include <QObject>

namespace KIMAP {
class IdleJob;
}

// Keeps one folder of an IMAP account under IMAP IDLE on a connection of
// its own. What the server tells during IDLE is reported at once: new mail
// (EXISTS beyond the count known), flags another client changed (FETCH) and
// messages another client removed (EXPUNGE), so that the folder is looked at
// again and mail read or deleted elsewhere leaves the new-mail list; so is
// the first look after each (re)connection, for what came while nobody
// watched. IDLE is renewed every 25 minutes, before servers end it at
// 29; a lost connection is made again after 1, 2, 4 ... at most 300 seconds.
// A refused login is not retried; it is reported as loginRefused().
class IdleWatcher : public QObject
{
    Q_OBJECT
public:
    IdleWatcher(const QMailAccountId &accountId, const QMailFolderId &folderId, const QString &path,
                const AccountConfig &config, QObject *parent = nullptr);
    ~IdleWatcher() override;

Q_SIGNALS:
    void changed(const QMailAccountId &accountId, const QMailFolderId &folderId);
    void loginRefused(const QString &why);

private:
    void connectNow();
    void startIdle();
    void retryLater(const QString &why);

    QMailAccountId mAccountId;
    QMailFolderId mFolderId;
    QString mPath;
    AccountConfig mConfig;
    ImapConnection *mConnection = nullptr;
    KIMAP::IdleJob *mIdle = nullptr;
    QTimer *mRenew;
    QTimer *mRetry;
    int mBackoff = 1;
    qint64 mCount = -1;
    bool mRenewing = false;
};

#endif // IDLEWATCHER_H
