#ifndef MREMOTEACTION_H
#define MREMOTEACTION_H

#include <QList>
#include <QObject>
#include <QString>
#include <QVariant>

// A D-Bus method call kept for later: a notification carries one, and it is
// made when the user activates the notification. The action can be written to
// text and read back, so that a notification left by an earlier run of the
// program still launches the right thing.
class MRemoteAction : public QObject
{
    Q_OBJECT
public:
    explicit MRemoteAction(QObject *parent = nullptr);
    MRemoteAction(const QString &serviceName, const QString &objectPath, const QString &interface,
                  const QString &methodName, const QList<QVariant> &arguments = QList<QVariant>(),
                  QObject *parent = nullptr);
    // Reads the text of toString(); an unreadable text gives an invalid action.
    explicit MRemoteAction(const QString &serialized, QObject *parent = nullptr);
    MRemoteAction(const MRemoteAction &other);
    MRemoteAction &operator=(const MRemoteAction &other);
    ~MRemoteAction() override;

    // An action is valid when it names a service, a path and a method.
    bool isValid() const;
    QString serviceName() const { return m_serviceName; }
    QString objectPath() const { return m_objectPath; }
    QString interface() const { return m_interface; }
    QString methodName() const { return m_methodName; }
    QList<QVariant> arguments() const { return m_arguments; }

    // Text form of the whole action (service, path, interface, method and the
    // arguments with their types); empty for an invalid action.
    QString toString() const;

public Q_SLOTS:
    // Sends the call on the session bus without waiting for its reply; a
    // failing call is reported as a warning when its reply arrives.
    void trigger();

private:
    QString m_serviceName;
    QString m_objectPath;
    QString m_interface;
    QString m_methodName;
    QList<QVariant> m_arguments;
};

#endif // MREMOTEACTION_H
