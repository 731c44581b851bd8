#ifndef SYSTEMBUSPROPERTY_H
#define SYSTEMBUSPROPERTY_H

#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantMap>

class QDBusMessage;
class QDBusPendingCallWatcher;

// Follows one property of one service on the system bus: read at once when
// made (waiting at most a second, so that the first answer a caller gets is
// the service's), read again whenever the service appears (asynchronously, so
// a slow service never holds the program up), and kept up to date from its
// PropertiesChanged signal. The value is invalid while the service is absent
// or has not answered, or when there is no system bus at all; valueChanged()
// reports every change after construction, also to invalid when the service
// goes away.
class SystemBusProperty : public QObject
{
    Q_OBJECT
public:
    SystemBusProperty(const QString &service, const QString &path, const QString &interface,
                      const QString &property, QObject *parent = nullptr);

    QVariant value() const { return mValue; }

Q_SIGNALS:
    void valueChanged(const QVariant &value);

private Q_SLOTS:
    void onServiceRegistered();
    void onServiceUnregistered();
    void onPropertiesChanged(const QString &interface, const QVariantMap &changed,
                             const QStringList &invalidated);
    void onGetFinished(QDBusPendingCallWatcher *call);

private:
    QDBusMessage getCall() const;
    void fetch();
    void setValue(const QVariant &value);

    QString mService;
    QString mPath;
    QString mInterface;
    QString mProperty;
    QVariant mValue;
    // Replies to reads that a later change has overtaken are dropped.
    quint64 mGeneration = 0;
};

#endif // SYSTEMBUSPROPERTY_H
