// Environment helpers: one rule for "unset" (absent or empty) and one for truth values, so the
// configuration, the password gate and the platform layer read variables the same way.
#include "base.h"

#include <cstdlib>

const char *env_nonempty(const char *name) {
    const char *v = getenv(name);
    return v && *v ? v : nullptr;
}

int env_int(const char *name, int fallback) {
    const char *v = env_nonempty(name);
    if (!v)
        return fallback;
    if (is_truthy(v))
        return 1;
    if (is_falsy(v))
        return 0;
    return fallback;
}
