#ifndef ACCOUNTSFIXTURE_H
#define ACCOUNTSFIXTURE_H

#include <QString>
#include <QStringList>

class TestEnvironment;

// The accounts world of a test: libaccounts reads our data files
// (data/accounts) plus a "xorle" provider with an e-mail service, and the
// database lives in the test's temporary home. Call after the session bus
// has been started.
namespace AccountsFixture {

bool setUp(const TestEnvironment &env);
// The start of an end-to-end test: a valid environment, both buses, then
// setUp(). For a Dovecot, whose own users must reach their mail folder below
// the root, the root is opened to them (search only).
bool setUpWithBuses(TestEnvironment &env, bool forDovecot = false);
// Runs ag-tool with the arguments; returns its standard output, and a null
// string (with a warning) when it exits with an error.
QString agTool(const QStringList &arguments);
// Creates an account of the provider and returns its id (0 on failure).
quint32 createAccount(const QString &provider, bool enabled = true);

} // namespace AccountsFixture

#endif // ACCOUNTSFIXTURE_H
