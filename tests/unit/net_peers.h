// Test peers for the HTTP/TLS client: a loopback server thread that sends scripted bytes (over
// plain TCP or TLS), and certificates made at test time with Mbed TLS.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>

#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// The reason the system gives for a connection to a port where nothing listens, as the
// connection's message appends it (Wine's text for WSAECONNREFUSED is the same).
inline const std::string kRefused = ": connection refused";

// How long a peer waits for its client to write or read before giving up.
inline constexpr int kPeerIoWaitMs = 15000;

// One seeded random generator per use; tests make few keys.
struct Rng {
    mbedtls_entropy_context entropy;
    mbedtls_ctr_drbg_context drbg;
    Rng() {
        mbedtls_entropy_init(&entropy);
        mbedtls_ctr_drbg_init(&drbg);
        if (mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, nullptr, 0) != 0)
            throw std::runtime_error("rng seed failed");
    }
    ~Rng() {
        mbedtls_ctr_drbg_free(&drbg);
        mbedtls_entropy_free(&entropy);
    }
    Rng(const Rng &) = delete;
    Rng &operator=(const Rng &) = delete;
};

// A key and certificate made for one test run. `fingerprint` is the SHA-256 of the public key's
// DER form as 64 lower-case hex digits, computed by the openssl command (not by the code
// under test).
struct TlsIdentity {
    std::string subject; // "CN=..."
    std::string cert_pem;
    std::string key_pem;
    std::string fingerprint;
};

// What a test certificate should say: its names, who signs it, whether it is a CA or expired.
struct CertificateRequest {
    std::string cn = "localhost";
    std::vector<std::string> dns_names = {"localhost"};
    const TlsIdentity *issuer = nullptr; // null: self-signed
    bool is_ca = false;
    bool expired = false;
};
TlsIdentity make_identity(const CertificateRequest &wanted);
// The SHA-256 of a certificate's public key (DER) as 64 lower-case hex digits, worked out by
// other means than the code under test (the openssl command on Linux).
std::string key_fingerprint_of(const std::string &cert_pem);

// What the peer does with one connection: read the request (head and Content-Length body),
// send the pieces one by one (each in its own write, a short pause apart, so they arrive in
// separate receives), then close, or stay silent until the peer is destroyed.
struct PeerScript {
    std::vector<std::string> pieces;
    bool hold_open = false;
    bool read_request = true;
    const TlsIdentity *tls = nullptr;
    std::string tls_chain_extra; // PEM of intermediates sent after the leaf
    bool tls12_only = false;
    std::vector<size_t> gated; // pieces that wait for release() before they are sent
    int pause_ms = 30;         // between pieces that are not gated
    int connections = 1;       // served one after the other, each with the whole script
};

// The common scripts: send the pieces, then close (or stay silent with hold_open).
PeerScript script_of(std::vector<std::string> pieces, bool hold_open = false,
                     bool read_request = true);

// Reads a request head and its Content-Length body with a byte reader returning the count
// read, 0 at close, negative on error.
template <typename Read> std::string peer_read_request(Read read) {
    std::string req;
    char buf[4096];
    size_t head_end = std::string::npos;
    size_t want = 0;
    for (;;) {
        if (head_end == std::string::npos) {
            head_end = req.find("\r\n\r\n");
            if (head_end != std::string::npos) {
                size_t at = req.find("Content-Length: ");
                want = head_end + 4;
                if (at != std::string::npos && at < head_end)
                    want += strtoul(req.c_str() + at + 16, nullptr, 10);
            }
        }
        if (head_end != std::string::npos && req.size() >= want)
            return req;
        int n = read(buf, sizeof buf);
        if (n <= 0)
            return req;
        req.append(buf, static_cast<size_t>(n));
    }
}

// The TLS transport of a test peer; ctx points at the peer's socket descriptor.
int peer_tls_send(void *ctx, const unsigned char *buf, size_t len);
int peer_tls_recv(void *ctx, unsigned char *buf, size_t len);

class ScriptPeer {
  public:
    explicit ScriptPeer(PeerScript script);
    ~ScriptPeer();
    ScriptPeer(const ScriptPeer &) = delete;
    ScriptPeer &operator=(const ScriptPeer &) = delete;

    int port() const {
        return port_;
    }
    std::string url(const std::string &path = "/") const;
    // Lets the next gated piece go.
    void release();
    // Stops the peer and returns the request bytes it received.
    std::string received();

  private:
    void run();
    void serve_one();
    void serve(int fd);
    void serve_tls(int fd);
    bool wait_stop_or_readable(int fd, int timeout_ms);
    bool pause_before(size_t piece);

    PeerScript script_;
    int listen_fd_ = -1;
    int stop_pipe_[2] = {-1, -1};
    int go_pipe_[2] = {-1, -1};
    int port_ = 0;
    std::string request_;
    std::thread thread_;
    bool joined_ = false;
};

// While on, every socket send and receive of the code under test first reports would-block
// once (alternating with the real call), so its would-block paths run against real peers.
// Turning it on or off restarts the count of such reports.
void peer_would_block_once(bool on);
int peer_would_block_reported();

// A port on 127.0.0.1 where nothing listens (bound, then released).
int unused_port();
// Writes a text to a new temporary file and returns its path; removed at process exit.
std::string temp_file_with(const std::string &content);
