// Connections: TCP connect with one deadline shared by every resolved address, the TLS
// handshake over the non-blocking socket, and the trust decision (verified chain and name,
// else a public-key pin that never overrides a name mismatch, else refusal).
#include "net_internal.h"

#include "base.h"
#include "platform.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/error.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

enum {
    HOSTPORT_CAP = QV_URL_HOST_CAP + 8,
    TLS_ERROR_TEXT_MAX = 127,
};

// --- the parsed embedded store ------------------------------------------------------------

// The embedded roots are the same for every connection, and parsing them costs more than a
// whole loopback handshake, so they are parsed once per process. Verification only reads
// them, so every connection may hang its anchors on the one parsed chain.
struct embedded_roots {
    mbedtls_x509_crt chain;
    int parse_rc;
};

// Single-threaded by design: the first https connection of the process parses the store.
static embedded_roots g_roots;
static bool g_roots_parsed = false;

static embedded_roots *parsed_embedded_roots(void) {
    if (!g_roots_parsed) {
        // Lives as long as the process; verification only ever reads it.
        mbedtls_x509_crt_init(&g_roots.chain);
        g_roots.parse_rc = mbedtls_x509_crt_parse(
            &g_roots.chain, reinterpret_cast<const unsigned char *>(QV_NTFY_CA_BUNDLE_PEM),
            strlen(QV_NTFY_CA_BUNDLE_PEM) + 1);
        g_roots_parsed = true;
    }
    return &g_roots;
}

// A connection's anchors are either the shared chain itself, or its own chain (the CA file's
// certificates) whose last link points at the shared chain. Only the own part is freed.
static void release_anchors(qv_conn *c) {
    if (!c->ca_chain)
        return;
    embedded_roots *roots = parsed_embedded_roots();
    mbedtls_x509_crt *shared = roots ? &roots->chain : nullptr;
    if (c->ca_chain != shared) {
        for (mbedtls_x509_crt *crt = c->ca_chain; crt; crt = crt->next) {
            if (crt->next == shared) {
                crt->next = nullptr;
                break;
            }
        }
        mbedtls_x509_crt_free(c->ca_chain);
        free(c->ca_chain);
    }
    c->ca_chain = nullptr;
}

// --- transport ----------------------------------------------------------------------------

int bio_send(void *ctx, const unsigned char *buf, size_t len) {
    int64_t sock = *static_cast<const int64_t *>(ctx);
    int64_t n = qv_plat_sock_send(sock, buf, len);
    if (n == QV_PLAT_WOULD_BLOCK)
        return MBEDTLS_ERR_SSL_WANT_WRITE;
    if (n < 0)
        return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    return static_cast<int>(n);
}

int bio_recv(void *ctx, unsigned char *buf, size_t len) {
    int64_t sock = *static_cast<const int64_t *>(ctx);
    int64_t n = qv_plat_sock_recv(sock, buf, len);
    if (n == QV_PLAT_WOULD_BLOCK)
        return MBEDTLS_ERR_SSL_WANT_READ;
    if (n < 0)
        return MBEDTLS_ERR_SSL_INTERNAL_ERROR;
    return static_cast<int>(n);
}

// --- record -------------------------------------------------------------------------------

void qv_conn_init(qv_conn *c) {
    memset(c, 0, sizeof *c);
    c->sock = -1;
    c->retry_after_s = -1;
    qv_body_init(&c->body, 0, -1);
}

void qv_conn_close(qv_conn *c) {
    if (!c)
        return;
    if (c->ssl) {
        mbedtls_ssl_free(c->ssl);
        free(c->ssl);
        c->ssl = nullptr;
    }
    if (c->ssl_conf) {
        mbedtls_ssl_config_free(c->ssl_conf);
        free(c->ssl_conf);
        c->ssl_conf = nullptr;
    }
    release_anchors(c);
    if (c->entropy) {
        mbedtls_entropy_free(c->entropy);
        free(c->entropy);
        c->entropy = nullptr;
    }
    if (c->drbg) {
        mbedtls_ctr_drbg_free(c->drbg);
        free(c->drbg);
        c->drbg = nullptr;
    }
    if (c->sock != -1) {
        qv_plat_sock_close(c->sock);
        c->sock = -1;
    }
}

// --- TCP ----------------------------------------------------------------------------------

static int connect_any(qv_conn *c, const qv_url *u, const char *hostport, int timeout_ms, char *err,
                       size_t cap) {
    qv_plat_addrs *addrs = nullptr;
    char why[QV_PLAT_ERROR_TEXT_CAP] = "";
    if (qv_plat_resolve(u->host, u->port, &addrs) != 0) {
        qv_plat_resolve_error_text(why, sizeof why);
        qv_errf(err, cap, "cannot resolve %s: %s", hostport, why);
        return -1;
    }
    // One window for all addresses: a name with many dead addresses must not multiply it.
    int64_t deadline = qv_now_ms() + timeout_ms;
    int64_t sock = -1;
    for (int i = 0; i < qv_plat_addrs_count(addrs) && sock == -1; i++) {
        int pending = 0;
        int64_t s = qv_plat_connect_start(addrs, i, &pending);
        if (s == -1) {
            qv_plat_error_text(why, sizeof why);
            continue;
        }
        if (!pending)
            sock = s;
        else if (!qv_wait_ready(s, 1, c->wait_mode, deadline))
            qv_errf(why, sizeof why, "timed out");
        else if (qv_plat_connect_result(s) != 0)
            qv_plat_error_text(why, sizeof why);
        else
            sock = s;
        if (sock == -1)
            qv_plat_sock_close(s);
    }
    qv_plat_addrs_free(addrs);
    if (sock == -1) {
        // The last address's reason: with one address, as on loopback, the only one.
        qv_errf(err, cap, "cannot connect to %s: %s", hostport, why[0] ? why : "no address");
        return -1;
    }
    c->sock = sock;
    return 0;
}

// --- TLS ----------------------------------------------------------------------------------

// Each object is initialised as soon as it exists, so a partial failure is released safely.
static int allocate_tls(qv_conn *c) {
    if (!(c->ssl = static_cast<mbedtls_ssl_context *>(calloc(1, sizeof *c->ssl))))
        return -1;
    mbedtls_ssl_init(c->ssl);
    if (!(c->ssl_conf = static_cast<mbedtls_ssl_config *>(calloc(1, sizeof *c->ssl_conf))))
        return -1;
    mbedtls_ssl_config_init(c->ssl_conf);
    if (!(c->entropy = static_cast<mbedtls_entropy_context *>(calloc(1, sizeof *c->entropy))))
        return -1;
    mbedtls_entropy_init(c->entropy);
    if (!(c->drbg = static_cast<mbedtls_ctr_drbg_context *>(calloc(1, sizeof *c->drbg))))
        return -1;
    mbedtls_ctr_drbg_init(c->drbg);
    return 0;
}

// Reads the CA file whole and zero-terminated, as the PEM parser wants it.
static unsigned char *read_ca_file(const char *path, size_t *len, char *err, size_t cap) {
    FILE *f = fopen(path, "rb");
    if (!f) {
        char why[QV_PLAT_ERROR_TEXT_CAP];
        qv_plat_error_text(why, sizeof why);
        qv_errf(err, cap, "cannot open ca_file %s: %s", path, why);
        return nullptr;
    }
    unsigned char *buf = nullptr;
    long size = -1;
    if (fseek(f, 0, SEEK_END) == 0)
        size = ftell(f);
    if (size < 1 || size > QV_CA_FILE_MAX || fseek(f, 0, SEEK_SET) != 0) {
        qv_errf(err, cap, "ca_file %s has a bad size", path);
    } else if (!(buf = static_cast<unsigned char *>(malloc(static_cast<size_t>(size) + 1)))) {
        qv_errf(err, cap, "out of memory");
    } else if (fread(buf, 1, static_cast<size_t>(size), f) != static_cast<size_t>(size)) {
        qv_errf(err, cap, "ca_file %s has a bad size", path);
        free(buf);
        buf = nullptr;
    } else {
        buf[size] = 0;
        *len = static_cast<size_t>(size) + 1;
    }
    fclose(f);
    return buf;
}

static int load_anchors(qv_conn *c, const char *ca_file, char *err, size_t cap) {
    embedded_roots *roots = parsed_embedded_roots();
    if (!roots) {
        qv_errf(err, cap, "out of memory");
        return -1;
    }
    if (roots->parse_rc != 0) {
        qv_errf(err, cap, "bundled trust store unreadable (%d)", roots->parse_rc);
        return -1;
    }
    if (!ca_file || !*ca_file) {
        c->ca_chain = &roots->chain;
        return 0;
    }
    size_t len = 0;
    unsigned char *pem = read_ca_file(ca_file, &len, err, cap);
    if (!pem)
        return -1;
    int rc = -1;
    c->ca_chain = static_cast<mbedtls_x509_crt *>(calloc(1, sizeof *c->ca_chain));
    if (!c->ca_chain) {
        qv_errf(err, cap, "out of memory");
    } else {
        mbedtls_x509_crt_init(c->ca_chain);
        int parsed = mbedtls_x509_crt_parse(c->ca_chain, pem, len);
        if (parsed != 0) {
            qv_errf(err, cap, "ca_file %s has no usable certificate (%d)", ca_file, parsed);
        } else {
            mbedtls_x509_crt *last = c->ca_chain;
            while (last->next)
                last = last->next;
            last->next = &roots->chain; // the embedded roots stay trusted
            rc = 0;
        }
    }
    free(pem);
    return rc;
}

static int configure_tls(qv_conn *c, const char *ca_file, int insecure, char *err, size_t cap) {
    if (mbedtls_ctr_drbg_seed(c->drbg, mbedtls_entropy_func, c->entropy, nullptr, 0) != 0) {
        qv_errf(err, cap, "entropy source unavailable");
        return -1;
    }
    if (mbedtls_ssl_config_defaults(c->ssl_conf, MBEDTLS_SSL_IS_CLIENT,
                                    MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) != 0) {
        qv_errf(err, cap, "tls config failed");
        return -1;
    }
    mbedtls_ssl_conf_rng(c->ssl_conf, mbedtls_ctr_drbg_random, c->drbg);
    // Optional, so the handshake completes whatever the chain's state and the decision
    // (verified, pinned or refused) is taken afterwards with the verification flags.
    mbedtls_ssl_conf_authmode(c->ssl_conf,
                              insecure ? MBEDTLS_SSL_VERIFY_NONE : MBEDTLS_SSL_VERIFY_OPTIONAL);
    if (!insecure) {
        if (load_anchors(c, ca_file, err, cap) != 0)
            return -1;
        mbedtls_ssl_conf_ca_chain(c->ssl_conf, c->ca_chain, nullptr);
    }
    if (mbedtls_ssl_setup(c->ssl, c->ssl_conf) != 0) {
        qv_errf(err, cap, "tls setup failed");
        return -1;
    }
    if (mbedtls_ssl_set_hostname(c->ssl, c->host) != 0) {
        qv_errf(err, cap, "tls hostname rejected");
        return -1;
    }
    mbedtls_ssl_set_bio(c->ssl, &c->sock, bio_send, bio_recv, nullptr);
    return 0;
}

static int handshake(qv_conn *c, int timeout_ms, char *err, size_t cap) {
    int64_t deadline = qv_now_ms() + timeout_ms;
    for (;;) {
        if (!mbedtls_ssl_check_pending(c->ssl) &&
            !qv_wait_ready(c->sock, 1, c->wait_mode, deadline)) {
            qv_errf(err, cap, "tls handshake timed out (write)");
            return -1;
        }
        int ret = mbedtls_ssl_handshake(c->ssl);
        if (ret == 0)
            return 0;
        if (ret == MBEDTLS_ERR_SSL_WANT_WRITE)
            continue;
        if (ret == MBEDTLS_ERR_SSL_WANT_READ) {
            if (!mbedtls_ssl_check_pending(c->ssl) &&
                !qv_wait_ready(c->sock, 0, c->wait_mode, deadline)) {
                qv_errf(err, cap, "tls handshake timed out");
                return -1;
            }
            continue;
        }
        char text[TLS_ERROR_TEXT_MAX + 1];
        mbedtls_strerror(ret, text, sizeof text);
        qv_errf(err, cap, "tls handshake failed: %s", text);
        return -1;
    }
}

// The SHA-256 of a certificate's public key as 64 hex digits; empty when it cannot be written.
static void key_fingerprint(const mbedtls_x509_crt *crt, char out[QV_KEY_HEX_CAP]) {
    out[0] = '\0';
    unsigned char der[QV_PUBKEY_DER_CAP];
    // The key is written backwards from the end of the area.
    int n = mbedtls_pk_write_pubkey_der(&crt->pk, der, sizeof der);
    if (n >= 1 && n <= QV_PUBKEY_DER_CAP)
        qv_sha256_hex(der + sizeof der - n, static_cast<size_t>(n), out);
}

static void fingerprint_peer(qv_conn *c) {
    const mbedtls_x509_crt *peer = mbedtls_ssl_get_peer_cert(c->ssl);
    if (peer)
        key_fingerprint(peer, c->peer_key_sha256);
}

static bool pins_match(const char *pins, const char *fingerprint) {
    const char *token = nullptr;
    size_t len = 0;
    while (qv_pins_next(&pins, &token, &len)) {
        char hex[QV_KEY_HEX_CAP];
        if (qv_pin_read(token, len, hex) == 0 && memcmp(hex, fingerprint, 64) == 0)
            return true;
    }
    return false;
}

// A pin on a certificate above the leaf (an intermediate or a root the server sends) trusts
// what that certificate signed: the chain must verify with it as the only anchor, name
// included. Anyone can send a CA's certificate along with a leaf of their own.
static bool chain_verifies_to_pinned(const mbedtls_x509_crt *chain, const char *pins,
                                     const char *host) {
    for (const mbedtls_x509_crt *above = chain->next; above; above = above->next) {
        char fingerprint[QV_KEY_HEX_CAP];
        key_fingerprint(above, fingerprint);
        if (!fingerprint[0] || !pins_match(pins, fingerprint))
            continue;
        mbedtls_x509_crt anchor;
        mbedtls_x509_crt_init(&anchor);
        uint32_t flags = 0;
        bool ok = mbedtls_x509_crt_parse_der(&anchor, above->raw.p, above->raw.len) == 0 &&
                  mbedtls_x509_crt_verify(const_cast<mbedtls_x509_crt *>(chain), &anchor,
                                          nullptr, host, &flags, nullptr, nullptr) == 0 &&
                  flags == 0;
        mbedtls_x509_crt_free(&anchor);
        if (ok)
            return true;
    }
    return false;
}

// Whether a pin names the leaf's key (which the handshake proved the server holds), or a
// certificate above it that the chain verifies up to.
static bool pinned_in_chain(qv_conn *c, const char *pins) {
    if (!pins || !*pins)
        return false;
    if (c->peer_key_sha256[0] && pins_match(pins, c->peer_key_sha256))
        return true;
    const mbedtls_x509_crt *peer = mbedtls_ssl_get_peer_cert(c->ssl);
    return peer && chain_verifies_to_pinned(peer, pins, c->host);
}

// The verification's findings in words, in the order a person would fix them.
static void verify_reasons(uint32_t flags, char *out, size_t cap) {
    static const struct {
        uint32_t flags;
        const char *words;
    } REASONS[] = {
        {MBEDTLS_X509_BADCERT_NOT_TRUSTED, "not trusted: no trusted root signed it"},
        {MBEDTLS_X509_BADCERT_EXPIRED, "expired"},
        {MBEDTLS_X509_BADCERT_FUTURE, "not yet valid"},
        {MBEDTLS_X509_BADCERT_REVOKED, "revoked"},
        {MBEDTLS_X509_BADCERT_BAD_KEY | MBEDTLS_X509_BADCERT_BAD_MD | MBEDTLS_X509_BADCERT_BAD_PK,
         "signed with a key or hash too weak"},
        {MBEDTLS_X509_BADCERT_KEY_USAGE | MBEDTLS_X509_BADCERT_EXT_KEY_USAGE |
             MBEDTLS_X509_BADCERT_NS_CERT_TYPE,
         "not meant for a server"},
    };
    size_t len = 0;
    out[0] = '\0';
    uint32_t named = 0;
    for (const auto &r : REASONS) {
        if (!(flags & r.flags))
            continue;
        named |= r.flags;
        len += static_cast<size_t>(snprintf(out + len, len < cap ? cap - len : 0, "%s%s",
                                            len ? ", " : "", r.words));
        if (len >= cap)
            return;
    }
    if (flags & ~named)
        snprintf(out + len, cap - len, "%s", len ? ", and another problem" : "not verified");
}

static int decide_trust(qv_conn *c, const char *pins, int insecure, char *err, size_t cap) {
    c->verified = 0;
    c->pinned = 0;
    if (insecure)
        return 0;
    uint32_t flags = mbedtls_ssl_get_verify_result(c->ssl);
    if (flags == 0) {
        c->verified = 1;
        return 0;
    }
    if (flags & MBEDTLS_X509_BADCERT_CN_MISMATCH) {
        qv_errf(err, cap,
                "tls certificate is not valid for %s (a pin cannot override a hostname mismatch)",
                c->host);
        return -1;
    }
    if (pinned_in_chain(c, pins)) {
        c->pinned = 1;
        return 0;
    }
    char why[QV_PLAT_ERROR_TEXT_CAP];
    verify_reasons(flags, why, sizeof why);
    qv_errf(err, cap, "tls certificate rejected (%s, no matching pin)", why);
    return -1;
}

// --- open ---------------------------------------------------------------------------------

int qv_conn_open(qv_conn *c, const qv_url *u, const char *pins, const char *ca_file, int insecure,
                 int timeout_ms, char *err, size_t cap) {
    return qv_conn_open_as(c, qv_wait_mode::stream, u, pins, ca_file, insecure, timeout_ms, err,
                           cap);
}

int qv_conn_open_as(qv_conn *c, qv_wait_mode mode, const qv_url *u, const char *pins,
                    const char *ca_file, int insecure, int timeout_ms, char *err, size_t cap) {
    qv_conn_init(c);
    c->wait_mode = mode;
    char hostport[HOSTPORT_CAP];
    snprintf(hostport, sizeof hostport, "%s:%d", u->host, static_cast<int>(u->port));
    if (timeout_ms <= 0)
        timeout_ms = QV_CONNECT_DEFAULT_MS;
    if (connect_any(c, u, hostport, timeout_ms, err, cap) != 0)
        return -1;
    cp_trunc(c->host, sizeof c->host, u->host);
    c->port = u->port;
    if (!u->tls) {
        c->tls = 0;
        return 0;
    }
    c->tls = 1;
    int rc = -1;
    // TLS 1.3 runs on the PSA crypto layer, which must be started once before a handshake.
    psa_crypto_init();
    if (allocate_tls(c) != 0)
        qv_errf(err, cap, "out of memory");
    else if (configure_tls(c, ca_file, insecure, err, cap) == 0 &&
             handshake(c, timeout_ms, err, cap) == 0) {
        fingerprint_peer(c);
        rc = decide_trust(c, pins, insecure, err, cap);
    }
    if (rc != 0)
        qv_conn_close(c);
    return rc;
}
