#include "accountsdatabase.h"

// GLib's headers name members "signals": before any Qt header.
#include <gio/gio.h>

namespace {

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

} // namespace AccountsDatabase
