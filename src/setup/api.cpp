// The setup API. Not built yet: the route says so and fails.
#include "setup/setup.h"

#include <cstdio>

int mode_json(const char *) {
    fputs("chimewick: the setup API is not available in this build yet\n", stderr);
    return 1;
}
