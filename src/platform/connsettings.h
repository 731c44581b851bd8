#ifndef CONNSETTINGS_H
#define CONNSETTINGS_H

// The platform's connectivity settings, as plain C functions. Only the
// "network_type" settings with the key "restricted_mode" exist here: it is
// true while the network in use is metered (NetworkManager's "Metered" yes or
// guess-yes). Without NetworkManager the settings still open and the key reads
// false; NetworkManager appearing, changing or going away later is followed.
// Notifiers are called on the thread that opened the settings (the main
// thread's event loop).

#ifdef __cplusplus
extern "C" {
#endif

typedef enum {
    CONN_SETTINGS_GENERAL = 0,
    CONN_SETTINGS_NETWORK_TYPE = 1,
    CONN_SETTINGS_CONNECTION = 2,
    CONN_SETTINGS_SERVICE_TYPE = 3
} ConnSettingsType;

typedef enum {
    CONN_SETTINGS_VALUE_INVALID = 0,
    CONN_SETTINGS_VALUE_STRING = 1,
    CONN_SETTINGS_VALUE_INT = 2,
    CONN_SETTINGS_VALUE_DOUBLE = 3,
    CONN_SETTINGS_VALUE_BOOL = 4
} ConnSettingsValueType;

// The kind sits at byte offset 0 and the value at offset 8 (the union is
// aligned for its double and pointer members).
typedef struct
{
    ConnSettingsValueType type;
    union {
        char *string_val;
        int int_val;
        double double_val;
        int bool_val;
    } value;
} ConnSettingsValue;

typedef enum {
    CONN_SETTINGS_E_NO_ERROR = 0,
    CONN_SETTINGS_E_INVALID_PARAMETER = 1,
    CONN_SETTINGS_E_NO_SUCH_KEY = 2,
    // The source of the value (NetworkManager) has not answered.
    CONN_SETTINGS_E_NO_ANSWER = 3
} ConnSettingsError;

typedef struct ConnSettings ConnSettings;

typedef void (*conn_settings_notify_func)(ConnSettingsType type, const char *id, const char *key,
                                          ConnSettingsValue *value, void *user_data);

// Null for settings other than (CONN_SETTINGS_NETWORK_TYPE, "network_type").
ConnSettings *conn_settings_open(ConnSettingsType type, const char *id);
// Non-zero when the notifier is installed (one per handle; a new one replaces it).
int conn_settings_add_notify(ConnSettings *ctx, conn_settings_notify_func func, void *user_data);
// 0 with *value set, or a ConnSettingsError.
int conn_settings_get_bool(ConnSettings *ctx, const char *key, int *value);
void conn_settings_del_notify(ConnSettings *ctx);
void conn_settings_close(ConnSettings *ctx);

#ifdef __cplusplus
}
#endif

#endif // CONNSETTINGS_H
