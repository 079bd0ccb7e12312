// setenv and unsetenv for the Windows unit tests, forced into every test file there: the shared
// test helpers use the POSIX names, the C library on Windows offers _putenv_s, which getenv reads.
// Windows keeps no empty variables, so setting one to "" removes it (the program treats an empty
// variable as unset anyway).
#pragma once

#ifdef _WIN32
#include <cstdlib>

inline int setenv(const char *name, const char *value, int overwrite) {
    if (!overwrite && getenv(name))
        return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char *name) {
    return _putenv_s(name, "") == 0 ? 0 : -1;
}
#endif
