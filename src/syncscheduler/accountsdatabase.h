#ifndef ACCOUNTSDATABASE_H
#define ACCOUNTSDATABASE_H

namespace AccountsDatabase {

// libaccounts-glib reads every "AccountChanged" signal on the session bus
// with a fixed layout and no check: anyone on the bus could end the process
// with a signal of another signature. Drops such signals before they reach
// it. Call it before the first accounts manager is made.
void guardSignals();

} // namespace AccountsDatabase

#endif // ACCOUNTSDATABASE_H
