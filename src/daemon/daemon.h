// The channel gateway: the subscription loop (run.cpp), the handling of each stream line
// (inbound.cpp) and the reply relay (relay.cpp).
#pragma once

// Runs the daemon until it is stopped; returns 0, 1 (out of memory), 2 (configuration) or
// 3 (already running).
[[nodiscard]] int run_daemon(void);
