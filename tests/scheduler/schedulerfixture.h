#ifndef SCHEDULERFIXTURE_H
#define SCHEDULERFIXTURE_H

#include <qmailid.h>

#include <QMutex>
#include <QString>
#include <QStringList>

class TestEnvironment;

// The accounts world of a scheduler test: libaccounts reads our data files
// (data/accounts) plus a "xorle" provider with an e-mail service, and the
// database lives in the test's temporary home. Call after the session bus
// has been started.
namespace AccountsFixture {

bool setUp(const TestEnvironment &env);
// Runs ag-tool with the arguments; returns its standard output, and fails
// the check (returns a null string) when it exits with an error.
QString agTool(const QStringList &arguments);
// Creates an account of the provider and returns its id (0 on failure).
quint32 createAccount(const QString &provider, bool enabled = true);

} // namespace AccountsFixture

namespace StoreFixture {

// Adds a mail-store account with an "INBOX" folder designated as its inbox,
// marked favourite when asked; returns an invalid id on failure.
QMailAccountId addAccount(bool favouriteInbox);

} // namespace StoreFixture

// Collects the messages of the process (category records, warnings and
// critical messages) while it exists; each as "[category] text".
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();

    QStringList lines() const;
    bool contains(const QString &text) const;
    int count(const QString &text) const;
    void clear();
};

#endif // SCHEDULERFIXTURE_H
