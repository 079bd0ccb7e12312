// The would-block switch for the client's non-blocking paths: the unit tests are linked with
// ld --wrap for qv_plat_sock_send and qv_plat_sock_recv, so every call from the code under test
// comes here first and goes on to the platform's own function unless the switch says otherwise.
#include "net_peers.h"
#include "platform.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace {

std::atomic<int> g_on{0};
std::atomic<int> g_send_blocked_last{0};
std::atomic<int> g_recv_blocked_last{0};
std::atomic<int> g_reported{0};

// With the switch on, every other call reports "would block" without touching the socket.
bool blocks_now(std::atomic<int> &blocked_last) {
    if (!g_on.load())
        return false;
    if (blocked_last.fetch_xor(1) != 0)
        return false;
    g_reported.fetch_add(1);
    return true;
}

} // namespace

void peer_would_block_once(bool on) {
    g_send_blocked_last.store(0);
    g_recv_blocked_last.store(0);
    g_reported.store(0);
    g_on.store(on ? 1 : 0);
}

int peer_would_block_reported() {
    return g_reported.load();
}

extern "C" {
int64_t __real_qv_plat_sock_send(int64_t sock, const void *buf, size_t len);
int64_t __real_qv_plat_sock_recv(int64_t sock, void *buf, size_t len);

int64_t __wrap_qv_plat_sock_send(int64_t sock, const void *buf, size_t len) {
    if (blocks_now(g_send_blocked_last))
        return QV_PLAT_WOULD_BLOCK;
    return __real_qv_plat_sock_send(sock, buf, len);
}

int64_t __wrap_qv_plat_sock_recv(int64_t sock, void *buf, size_t len) {
    if (blocks_now(g_recv_blocked_last))
        return QV_PLAT_WOULD_BLOCK;
    return __real_qv_plat_sock_recv(sock, buf, len);
}
}
