// Test peers for the HTTP/TLS client: scripted loopback servers (plain and TLS) on free ports
// and certificates made at test time.
#include "net_peers.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

const int kAcceptWaitMs = 15000;

std::string run_capture(const std::string &cmd) {
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

} // namespace

std::string key_fingerprint_of(const std::string &cert_pem) {
    std::string path = temp_file_with(cert_pem);
    std::string out =
        run_capture("openssl x509 -in '" + path +
                    "' -pubkey -noout | openssl pkey -pubin -outform DER | sha256sum");
    if (out.size() < 64)
        throw std::runtime_error("openssl could not compute the key fingerprint");
    return out.substr(0, 64);
}

namespace {

bool send_all_fd(int fd, const char *p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0)
            return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

} // namespace

int peer_tls_send(void *ctx, const unsigned char *buf, size_t len) {
    ssize_t n = send(*static_cast<int *>(ctx), buf, len, MSG_NOSIGNAL);
    return n < 0 ? MBEDTLS_ERR_SSL_INTERNAL_ERROR : static_cast<int>(n);
}

int peer_tls_recv(void *ctx, unsigned char *buf, size_t len) {
    ssize_t n = recv(*static_cast<int *>(ctx), buf, len, 0);
    return n < 0 ? MBEDTLS_ERR_SSL_INTERNAL_ERROR : static_cast<int>(n);
}

namespace {


} // namespace

// --- files and ports ----------------------------------------------------------------------

std::string temp_file_with(const std::string &content) {
    char path[] = "/tmp/qv-net-test-XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        throw std::runtime_error("mkstemp failed");
    bool written =
        write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size());
    close(fd);
    if (!written)
        throw std::runtime_error("cannot write a temporary file");
    static std::vector<std::string> *made = new std::vector<std::string>;
    static bool hooked = false;
    if (!hooked) {
        hooked = true;
        atexit([] {
            for (const std::string &p : *made)
                unlink(p.c_str());
        });
    }
    made->push_back(path);
    return path;
}

static int listen_loopback(int *port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket failed");
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0; // a free port chosen by the system
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 4) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    *port = ntohs(addr.sin_port);
    return fd;
}

int unused_port() {
    int port = 0;
    int fd = listen_loopback(&port);
    close(fd);
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
    listen_fd_ = listen_loopback(&port_);
    if (pipe(stop_pipe_) != 0 || pipe(go_pipe_) != 0)
        throw std::runtime_error("pipe failed");
    thread_ = std::thread([this] { run(); });
}

ScriptPeer::~ScriptPeer() {
    received();
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    close(go_pipe_[0]);
    close(go_pipe_[1]);
    close(listen_fd_);
}

std::string ScriptPeer::url(const std::string &path) const {
    return std::string(script_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
           path;
}

void ScriptPeer::release() {
    ssize_t w = write(go_pipe_[1], "g", 1);
    (void)w;
}

// Waits as the script says before a piece: a short pause, or for release(). False on stop.
bool ScriptPeer::pause_before(size_t piece) {
    for (size_t g : script_.gated) {
        if (g != piece)
            continue;
        if (!wait_stop_or_readable(go_pipe_[0], -1))
            return false;
        char token;
        return read(go_pipe_[0], &token, 1) == 1;
    }
    if (piece > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(script_.pause_ms));
    return true;
}

std::string ScriptPeer::received() {
    if (!joined_) {
        ssize_t w = write(stop_pipe_[1], "x", 1);
        (void)w;
        thread_.join();
        joined_ = true;
    }
    return request_;
}

// True when the connection has something to read (or was closed); false on stop or time-out.
bool ScriptPeer::wait_stop_or_readable(int fd, int timeout_ms) {
    pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {fd, POLLIN, 0}};
    int n = poll(fds, fd >= 0 ? 2 : 1, timeout_ms);
    if (n <= 0 || (fds[0].revents & POLLIN))
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
    int fd = accept(listen_fd_, nullptr, nullptr);
    if (fd < 0)
        return;
    timeval tv{kPeerIoWaitMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (script_.tls)
        serve_tls(fd);
    else
        serve(fd);
    close(fd);
}

void ScriptPeer::serve(int fd) {
    if (script_.read_request)
        request_ += peer_read_request([&](char *buf, size_t n) {
            if (!wait_stop_or_readable(fd, kPeerIoWaitMs))
                return -1;
            return static_cast<int>(recv(fd, buf, n, 0));
        });
    for (size_t i = 0; i < script_.pieces.size(); i++) {
        if (!pause_before(i))
            return;
        if (!send_all_fd(fd, script_.pieces[i].data(), script_.pieces[i].size()))
            return;
    }
    if (!script_.hold_open)
        return;
    char sink[512];
    while (wait_stop_or_readable(fd, -1))
        if (recv(fd, sink, sizeof sink, 0) <= 0)
            return;
}

