// The channel gateway: subscription loop, inbound handling and reply relay.
#pragma once

// Runs the daemon until it is stopped; returns 0, 2 (configuration) or 3 (already running).
int run_daemon(void);
