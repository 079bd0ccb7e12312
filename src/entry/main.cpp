// The executable's entry point; everything else lives in the core library.
#include "entry.h"

int main(int argc, char **argv) {
    return qv_main(argc, argv);
}
