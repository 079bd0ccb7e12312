// ntfy publishing, node conversation polling and sender identities: still to come.
#include "clients/clients.h"
