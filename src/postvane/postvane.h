#ifndef POSTVANE_H
#define POSTVANE_H

#include "publisheditem.h"

#include <qmailid.h>

#include <QMap>
#include <QObject>
#include <QSharedPointer>

class MNotification;
class QMailStore;
class QSocketNotifier;
class TrackerIndexer;

// Single-instance lock on "$XDG_RUNTIME_DIR/postvane.lock" in a user session,
// on "/var/lock/postvane.lock" otherwise: the open, write-locked
// descriptor, or -1 when the file cannot be opened or is locked by another
// process.
int acquireLock();
// Unlocks and closes the descriptor; false (with a warning) when either fails.
bool releaseLock(int fd);
// SIGTERM handler: forwards the signal number to the event loop.
void unixSignalHandler(int signalNumber);

// The daemon object: holds the single-instance lock for its whole life, turns
// SIGTERM into an orderly quit of the application, feeds the mail store's
// changes to the Tracker mirror, and keeps the one new-mail notification in
// step with the store while the e-mail application is off display and
// notifications are switched on.
class Postvane : public QObject
{
    Q_OBJECT
public:
    explicit Postvane(QObject *parent = nullptr);
    ~Postvane() override;

    void enableNotifications(bool enable);
    void switchEmailMode(bool on);

private Q_SLOTS:
    void addMessages(QMailMessageIdList newItems);
    void removeMessages(QMailMessageIdList oldItems);
    void updateMessages(QMailMessageIdList oldItems);
    void removeAccounts(QMailAccountIdList);
    void removeFolders(QMailFolderIdList);
    void handleDisplayEntered();
    void handleDisplayFinished();
    void handleNotificationsEnabled();
    void handleNotificationsDisabled();
    void handleUnixSignal();

private:
    // Which mail the notification covers.
    void notifyNewItems(const QMailMessageIdList &newItems);
    void syncPublishedList(QList<MNotification *> &notifications);
    void collectNewItems(const QMailMessageIdList &ids);
    bool isNotifiableFolder(const QMailFolderId &folder);
    void removePublished(const QMailMessageId &id);
    void removePublishedAccount(const QMailAccountId &account);
    void checkReadItems(const QMailMessageIdList &ids);
    // How it is shown and withdrawn.
    void publishNotification(MNotification *notification);
    void clearNotifications();

    QMailStore *storage;
    TrackerIndexer *indexer;
    int lockFd;
    QMap<QMailFolderId, bool> folderCache;
    QMap<QMailMessageId, QSharedPointer<PublishedItem>> published;
    bool publishedChanged;
    bool emailMode;
    bool notificationsEnabled;
    QSocketNotifier *signalNotifier;
};

#endif // POSTVANE_H
