#include "accountsdatabase.h"

// GLib's headers name members "signals": before any Qt header.
#include <gio/gio.h>

#include <QDir>
#include <QFile>
#include <QStandardPaths>
#include <QtDebug>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// SQLite's lock bytes: a reader holds a read lock on the shared range, which
// a writer that wants the whole file (to delete the log) cannot get.
const off_t SharedFirst = 0x40000000 + 2;
const off_t SharedSize = 510;

QString databasePath()
{
    // Where libaccounts-glib keeps it: $ACCOUNTS, else the user's config folder.
    const QByteArray folder = qgetenv("ACCOUNTS");
    const QString base = !folder.isEmpty()
        ? QFile::decodeName(folder)
        : QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
            + QStringLiteral("/libaccounts-glib");
    return base + QStringLiteral("/accounts.db");
}

// The one layout libaccounts-glib writes and reads.
const char ChangeSignature[] = "uuubbsa(ssua{sv}as)";

GDBusMessage *dropMalformedChange(GDBusConnection *, GDBusMessage *message, gboolean incoming,
                                  gpointer)
{
    if (incoming && g_dbus_message_get_message_type(message) == G_DBUS_MESSAGE_TYPE_SIGNAL
        && g_strcmp0(g_dbus_message_get_member(message), "AccountChanged") == 0
        && g_strcmp0(g_dbus_message_get_interface(message), "com.google.code.AccountsSSO.Accounts")
            == 0
        && g_strcmp0(g_dbus_message_get_signature(message), ChangeSignature) != 0) {
        g_object_unref(message);
        return nullptr;
    }
    return message;
}

} // namespace

namespace AccountsDatabase {

void guardSignals()
{
    static bool guarded = false;
    if (guarded) {
        return;
    }
    // The process's shared session connection, the one libaccounts-glib uses.
    GDBusConnection *bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (bus) {
        g_dbus_connection_add_filter(bus, dropMalformedChange, nullptr, nullptr);
        guarded = true; // the connection stays referenced for the process's life
    }
}

void holdSharedLock()
{
    static int fd = -1;
    if (fd < 0) {
        fd = ::open(QFile::encodeName(databasePath()).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return; // no database yet: no connection can lose anything
        }
    }
    struct flock lock = {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = SharedFirst;
    lock.l_len = SharedSize;
    if (::fcntl(fd, F_SETLK, &lock) != 0) {
        qWarning("Cannot lock the accounts database: %s", std::strerror(errno));
    }
}

} // namespace AccountsDatabase
