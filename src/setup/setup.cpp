// The setup interface. Not built yet: each route says so and fails.
#include "setup/setup.h"

#include <cstdio>

int mode_json(const char *) {
    fputs("chimewick: the setup API is not available in this build yet\n", stderr);
    return 1;
}

int setup_page_write(void) {
    fputs("chimewick: the setup page is not available in this build yet\n", stderr);
    return 1;
}
