#ifndef ACCOUNTSDATABASE_H
#define ACCOUNTSDATABASE_H

// libaccounts-glib opens and closes the accounts database file outside SQLite
// each time an accounts manager is made. POSIX record locks belong to the
// process, so that close drops the SQLite read lock of every connection this
// process already has on the file, while SQLite goes on believing it holds
// it. Another program that ends its last connection (ag-tool, an accounts
// UI, the message server) then finds the database unused: it checkpoints and
// deletes the write-ahead log under our connections, whose shared index still
// counts the deleted log's frames, and our next read or write fails with
// "disk I/O error".
namespace AccountsDatabase {

// Takes SQLite's shared lock on the accounts database again, through a file
// descriptor of its own that stays open for the rest of the process. Call it
// once the process's managers are made (and again after making another).
void holdSharedLock();

// libaccounts-glib reads every "AccountChanged" signal on the session bus
// with a fixed layout and no check: anyone on the bus could end the process
// with a signal of another signature. Drops such signals before they reach
// it. Call it before the first accounts manager is made.
void guardSignals();

} // namespace AccountsDatabase

#endif // ACCOUNTSDATABASE_H
