// The channel gateway. Not built yet: the mode says so and fails.
#include "daemon/daemon.h"

#include <cstdio>

int run_daemon(void) {
    fputs("chimewick: the channel gateway (--daemon) is not available in this build yet\n", stderr);
    return 1;
}
