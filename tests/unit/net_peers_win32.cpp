// Test peers for the Windows build (in place of net_peers.cpp): scripted loopback servers (plain
// and TLS) over Winsock on free ports, and certificates made at test time. A loopback socket pair
// stands in for each pipe, so that select can wait on it beside the connection.
#include "net_peers.h"

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/sha256.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>

namespace {

const int kAcceptWaitMs = 15000;

// The header keeps descriptors as int; Windows socket handles are 32-bit values by design.
SOCKET sock_of(int fd) {
    return static_cast<SOCKET>(static_cast<uintptr_t>(static_cast<unsigned>(fd)));
}

int fd_of(SOCKET s) {
    return static_cast<int>(static_cast<unsigned>(s));
}

void winsock_up() {
    static bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!started)
        throw std::runtime_error("WSAStartup failed");
}

// Not inheritable, like the program's own sockets: a child started by run_exe must not hold them.
SOCKET new_tcp_socket() {
    winsock_up();
    SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                          WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET)
        throw std::runtime_error("socket failed");
    return s;
}

} // namespace

// No openssl command runs under Wine: the certificate's own SubjectPublicKeyInfo bytes, as the
// parser found them in the DER, are hashed here (the client re-encodes the key to compare pins).
std::string key_fingerprint_of(const std::string &cert_pem) {
    mbedtls_x509_crt crt;
    mbedtls_x509_crt_init(&crt);
    std::string hex;
    if (mbedtls_x509_crt_parse(&crt, reinterpret_cast<const unsigned char *>(cert_pem.c_str()),
                               cert_pem.size() + 1) == 0) {
        unsigned char digest[32];
        if (mbedtls_sha256(crt.pk_raw.p, crt.pk_raw.len, digest, 0) == 0)
            for (unsigned char b : digest) {
                char two[3];
                snprintf(two, sizeof two, "%02x", b);
                hex += two;
            }
    }
    mbedtls_x509_crt_free(&crt);
    if (hex.size() != 64)
        throw std::runtime_error("could not compute the key fingerprint");
    return hex;
}

namespace {

bool send_all_fd(SOCKET s, const char *p, size_t n) {
    while (n > 0) {
        int k = send(s, p, static_cast<int>(n), 0);
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

} // namespace

int peer_tls_send(void *ctx, const unsigned char *buf, size_t len) {
    int n = send(sock_of(*static_cast<int *>(ctx)), reinterpret_cast<const char *>(buf),
                 static_cast<int>(len), 0);
    return n < 0 ? MBEDTLS_ERR_SSL_INTERNAL_ERROR : n;
}

int peer_tls_recv(void *ctx, unsigned char *buf, size_t len) {
    int n =
        recv(sock_of(*static_cast<int *>(ctx)), reinterpret_cast<char *>(buf), static_cast<int>(len), 0);
    return n < 0 ? MBEDTLS_ERR_SSL_INTERNAL_ERROR : n;
}

namespace {


SOCKET listen_loopback(int *port) {
    SOCKET s = new_tcp_socket();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int len = sizeof addr;
    // Exclusive: another program must not bind the same port beside us.
    BOOL one = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&one),
               sizeof one);
    if (bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(s, 4) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        closesocket(s);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    *port = ntohs(addr.sin_port);
    return s;
}

// Two connected loopback sockets: the Windows stand-in for a pipe that select can watch.
void socket_pair(int out[2]) {
    int port = 0;
    SOCKET listener = listen_loopback(&port);
    SOCKET a = new_tcp_socket();
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<u_short>(port));
    if (connect(a, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        closesocket(a);
        closesocket(listener);
        throw std::runtime_error("socket pair: connect failed");
    }
    SOCKET b = accept(listener, nullptr, nullptr);
    closesocket(listener);
    if (b == INVALID_SOCKET) {
        closesocket(a);
        throw std::runtime_error("socket pair: accept failed");
    }
    out[0] = fd_of(b);
    out[1] = fd_of(a);
}

void close_fd(int &fd) {
    if (fd != -1)
        closesocket(sock_of(fd));
    fd = -1;
}

} // namespace

// --- files and ports ----------------------------------------------------------------------

std::string temp_file_with(const std::string &content) {
    char dir[MAX_PATH + 1], path[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof dir, dir);
    if (n == 0 || n >= sizeof dir || GetTempFileNameA(dir, "qvn", 0, path) == 0)
        throw std::runtime_error("GetTempFileName failed");
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out)
            throw std::runtime_error("cannot write a temporary file");
    }
    static std::vector<std::string> *made = new std::vector<std::string>;
    static bool hooked = false;
    if (!hooked) {
        hooked = true;
        atexit([] {
            for (const std::string &p : *made)
                DeleteFileA(p.c_str());
        });
    }
    made->push_back(path);
    return path;
}

int unused_port() {
    int port = 0;
    closesocket(listen_loopback(&port));
    return port;
}

PeerScript script_of(std::vector<std::string> pieces, bool hold_open, bool read_request) {
    PeerScript s;
    s.pieces = std::move(pieces);
    s.hold_open = hold_open;
    s.read_request = read_request;
    return s;
}

// --- the scripted peer --------------------------------------------------------------------

ScriptPeer::ScriptPeer(PeerScript script) : script_(std::move(script)) {
    listen_fd_ = fd_of(listen_loopback(&port_));
    socket_pair(stop_pipe_);
    socket_pair(go_pipe_);
    thread_ = std::thread([this] { run(); });
}

ScriptPeer::~ScriptPeer() {
    received();
    close_fd(stop_pipe_[0]);
    close_fd(stop_pipe_[1]);
    close_fd(go_pipe_[0]);
    close_fd(go_pipe_[1]);
    close_fd(listen_fd_);
}

std::string ScriptPeer::url(const std::string &path) const {
    return std::string(script_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
           path;
}

void ScriptPeer::release() {
    send(sock_of(go_pipe_[1]), "g", 1, 0);
}

bool ScriptPeer::pause_before(size_t piece) {
    for (size_t g : script_.gated) {
        if (g != piece)
            continue;
        if (!wait_stop_or_readable(go_pipe_[0], -1))
            return false;
        char token;
        return recv(sock_of(go_pipe_[0]), &token, 1, 0) == 1;
    }
    if (piece > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(script_.pause_ms));
    return true;
}

std::string ScriptPeer::received() {
    if (!joined_) {
        send(sock_of(stop_pipe_[1]), "x", 1, 0);
        thread_.join();
        joined_ = true;
    }
    return request_;
}

bool ScriptPeer::wait_stop_or_readable(int fd, int timeout_ms) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(sock_of(stop_pipe_[0]), &set);
    if (fd >= 0)
        FD_SET(sock_of(fd), &set);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    int n = select(0, &set, nullptr, nullptr, timeout_ms < 0 ? nullptr : &tv);
    if (n <= 0 || FD_ISSET(sock_of(stop_pipe_[0]), &set))
        return false;
    return true;
}

void ScriptPeer::run() {
    for (int i = 0; i < script_.connections; i++)
        serve_one();
}

void ScriptPeer::serve_one() {
    if (!wait_stop_or_readable(listen_fd_, kAcceptWaitMs))
        return;
    SOCKET s = accept(sock_of(listen_fd_), nullptr, nullptr);
    if (s == INVALID_SOCKET)
        return;
    DWORD wait = kPeerIoWaitMs;
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char *>(&wait), sizeof wait);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&wait), sizeof wait);
    if (script_.tls)
        serve_tls(fd_of(s));
    else
        serve(fd_of(s));
    closesocket(s);
}

void ScriptPeer::serve(int fd) {
    SOCKET s = sock_of(fd);
    if (script_.read_request)
        request_ += peer_read_request([&](char *buf, size_t n) {
            if (!wait_stop_or_readable(fd, kPeerIoWaitMs))
                return -1;
            return recv(s, buf, static_cast<int>(n), 0);
        });
    for (size_t i = 0; i < script_.pieces.size(); i++) {
        if (!pause_before(i))
            return;
        if (!send_all_fd(s, script_.pieces[i].data(), script_.pieces[i].size()))
            return;
    }
    if (!script_.hold_open)
        return;
    char sink[512];
    while (wait_stop_or_readable(fd, -1))
        if (recv(s, sink, sizeof sink, 0) <= 0)
            return;
}

