// ntfy publishing, node conversation polling and sender identities.
#pragma once
