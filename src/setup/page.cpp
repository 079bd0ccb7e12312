// The setup page. Not built yet: the route says so and fails.
#include "setup/setup.h"

#include <cstdio>

int setup_page_write(void) {
    fputs("chimewick: the setup page is not available in this build yet\n", stderr);
    return 1;
}
