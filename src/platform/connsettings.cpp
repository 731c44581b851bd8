#include "connsettings.h"

#include "systembusproperty.h"

#include <QByteArray>

#include <cstddef>
#include <cstring>

static_assert(offsetof(ConnSettingsValue, value) == 8, "the notifier reads the value at offset 8");

namespace {

const char NetworkType[] = "network_type";
const char RestrictedMode[] = "restricted_mode";

// NetworkManager's metered states "yes" and "guess-yes".
bool isMetered(const QVariant &metered)
{
    const uint value = metered.toUInt();
    return metered.isValid() && (value == 1 || value == 3);
}

} // namespace

struct ConnSettings
{
    SystemBusProperty *metered = nullptr;
    conn_settings_notify_func notify = nullptr;
    void *userData = nullptr;
    bool restricted = false;
    bool answered = false; // the value has been read at least once
};

extern "C" ConnSettings *conn_settings_open(ConnSettingsType type, const char *id)
{
    if (type != CONN_SETTINGS_NETWORK_TYPE || !id || std::strcmp(id, NetworkType) != 0) {
        return nullptr;
    }
    auto *ctx = new ConnSettings;
    ctx->metered = new SystemBusProperty(QStringLiteral("org.freedesktop.NetworkManager"),
                                         QStringLiteral("/org/freedesktop/NetworkManager"),
                                         QStringLiteral("org.freedesktop.NetworkManager"),
                                         QStringLiteral("Metered"));
    QObject::connect(ctx->metered, &SystemBusProperty::valueChanged, ctx->metered,
                     [ctx](const QVariant &metered) {
                         ctx->answered = ctx->answered || metered.isValid();
                         const bool restricted = isMetered(metered);
                         if (restricted == ctx->restricted) {
                             return;
                         }
                         ctx->restricted = restricted;
                         if (ctx->notify) {
                             ConnSettingsValue value;
                             value.type = CONN_SETTINGS_VALUE_BOOL;
                             value.value.bool_val = restricted ? 1 : 0;
                             ctx->notify(CONN_SETTINGS_NETWORK_TYPE, NetworkType, RestrictedMode,
                                         &value, ctx->userData);
                         }
                     });
    ctx->answered = ctx->metered->value().isValid();
    ctx->restricted = isMetered(ctx->metered->value());
    return ctx;
}

extern "C" int conn_settings_add_notify(ConnSettings *ctx, conn_settings_notify_func func,
                                        void *user_data)
{
    if (!ctx || !func) {
        return 0;
    }
    ctx->notify = func;
    ctx->userData = user_data;
    return 1;
}

extern "C" int conn_settings_get_bool(ConnSettings *ctx, const char *key, int *value)
{
    if (!ctx || !key || !value) {
        return CONN_SETTINGS_E_INVALID_PARAMETER;
    }
    if (std::strcmp(key, RestrictedMode) != 0) {
        return CONN_SETTINGS_E_NO_SUCH_KEY;
    }
    if (!ctx->answered) {
        return CONN_SETTINGS_E_NO_ANSWER;
    }
    *value = ctx->restricted ? 1 : 0;
    return CONN_SETTINGS_E_NO_ERROR;
}

extern "C" void conn_settings_del_notify(ConnSettings *ctx)
{
    if (ctx) {
        ctx->notify = nullptr;
        ctx->userData = nullptr;
    }
}

extern "C" void conn_settings_close(ConnSettings *ctx)
{
    if (ctx) {
        delete ctx->metered;
        delete ctx;
    }
}
