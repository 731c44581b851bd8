#ifndef QMAILSTOREBROADCASTER_H
#define QMAILSTOREBROADCASTER_H

#include <QList>
#include <QObject>
#include <QString>

// The object that the store's D-Bus adaptor (generated from
// com.brenmor.qmf.Store.xml) relays: emitting changed() sends the signal to
// every other process.
class QMailStoreBroadcaster : public QObject
{
    Q_OBJECT
public:
    static const char ObjectPath[];

    using QObject::QObject;

Q_SIGNALS:
    void changed(const QString &database, const QString &kind, const QList<qulonglong> &ids);
};

#endif // QMAILSTOREBROADCASTER_H
