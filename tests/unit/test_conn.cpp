// Connections and TLS trust against loopback peers with certificates made at test time:
// verification, pins, name mismatches, an extra CA file, insecure mode, connect and handshake
// failures, the transport functions and the embedded root store.
#include "net_internal.h"
#include "net_peers.h"
#include "platform.h"

#include <gtest/gtest.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

namespace {

struct Identities {
    TlsIdentity self_signed, other_name, ca, by_ca, expired_elsewhere, expired_here;
    TlsIdentity intermediate, by_intermediate, other_ca;
};

const Identities &ids() {
    static const Identities *made = [] {
        auto *m = new Identities;
        m->self_signed = make_identity({});
        m->other_name = make_identity({"other.test", {"other.test"}});
        m->ca = make_identity({"Chimewick Test Root", {}, nullptr, true});
        m->by_ca = make_identity({"localhost", {"localhost"}, &m->ca});
        m->expired_elsewhere =
            make_identity({"expired.test", {"expired.test"}, nullptr, false, true});
        m->expired_here = make_identity({"localhost", {"localhost"}, nullptr, false, true});
        m->intermediate = make_identity({"Chimewick Test Intermediate", {}, &m->ca, true});
        m->by_intermediate = make_identity({"localhost", {"localhost"}, &m->intermediate});
        m->other_ca = make_identity({"Chimewick Other Root", {}, nullptr, true});
        return m;
    }();
    return *made;
}

// The forms people copy pins in: bytes joined by colons, and base64 of the digest.
std::string with_colons(const std::string &hex) {
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2)
        out += (i ? ":" : "") + hex.substr(i, 2);
    return out;
}

std::string base64_of_hex(const std::string &hex) {
    static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string bytes;
    for (size_t i = 0; i < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size())
            v |= static_cast<unsigned char>(bytes[i + 2]);
        out += table[(v >> 18) & 63];
        out += table[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? table[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? table[v & 63] : '=';
    }
    return out;
}

std::string upper(std::string s) {
    for (char &ch : s)
        ch = static_cast<char>(toupper(static_cast<unsigned char>(ch)));
    return s;
}

struct Opened {
    int rc = -2;
    std::string err;
    int verified = -1, pinned = -1;
    std::string fingerprint;
    std::string version; // the negotiated TLS version
    int status = 0;
    std::string body;
};

struct OpenArgs {
    const char *pins = nullptr;
    const char *ca_file = nullptr;
    int insecure = 0;
    int timeout_ms = 5000;
    const char *host = "localhost";
};

// Opens a connection to the peer and, when it opens, runs one GET over it.
Opened open_and_get(ScriptPeer &peer, const OpenArgs &a, bool tls = true) {
    Opened o;
    qv_conn c;
    qv_conn_init(&c);
    qv_url u;
    char err[512] = "";
    std::string url = std::string(tls ? "https://" : "http://") + a.host + ":" +
                      std::to_string(peer.port()) + "/";
    EXPECT_EQ(qv_url_parse(url.c_str(), &u, err, sizeof err), 0) << err;
    o.rc = qv_conn_open(&c, &u, a.pins, a.ca_file, a.insecure, a.timeout_ms, err, sizeof err);
    o.err = err;
    if (o.rc != 0) {
        EXPECT_EQ(c.sock, -1);
        EXPECT_EQ(c.ssl, nullptr);
        EXPECT_EQ(c.ca_chain, nullptr);
    } else {
        o.verified = c.verified;
        o.pinned = c.pinned;
        o.fingerprint = c.peer_key_sha256;
        o.version = c.ssl ? mbedtls_ssl_get_version(c.ssl) : "";
        char *body = nullptr;
        size_t len = 0;
        EXPECT_EQ(qv_http_request(&c, "GET", "/x", nullptr, nullptr, 0, &o.status, &body, &len, err,
                                  sizeof err),
                  0)
            << err;
        if (body)
            o.body.assign(body, len);
        free(body);
    }
    qv_conn_close(&c);
    return o;
}

const std::vector<std::string> kReply = {"HTTP/1.1 200 OK\r\nContent-", "Length: 4\r\n\r\n",
                                         "pong"};

PeerScript tls_peer(const TlsIdentity &id, bool tls12 = false) {
    PeerScript s;
    s.pieces = kReply;
    s.tls = &id;
    s.tls12_only = tls12;
    return s;
}

// The reasons a refused certificate's message gives in words, or "" for another message.
std::string verify_reasons_in(const std::string &err) {
    std::smatch m;
    static const std::regex re("tls certificate rejected \\((.*), no matching pin\\)");
    return std::regex_match(err, m, re) ? m[1].str() : "";
}

bool says_not_trusted(const std::string &err) {
    return verify_reasons_in(err).find("not trusted: no trusted root signed it") == 0;
}

} // namespace

// --- trust decisions ------------------------------------------------------------------------

TEST(ConnTls, SelfSignedServerIsRefusedWithItsFlags) {
    for (bool tls12 : {false, true}) {
        ScriptPeer peer(tls_peer(ids().self_signed, tls12));
        Opened o = open_and_get(peer, {});
        EXPECT_EQ(o.rc, -1) << "tls1.2 only: " << tls12;
        EXPECT_EQ(verify_reasons_in(o.err), "not trusted: no trusted root signed it") << o.err;
    }
}

TEST(ConnTls, PinsAcceptOnlyTheExactKey) {
    const std::string fp = ids().self_signed.fingerprint;
    const std::string other = ids().other_name.fingerprint;
    struct Case {
        std::string pins;
        bool accepted;
    };
    const Case cases[] = {
        {fp, true},
        {upper(fp), true},
        {"deadbeef," + fp, true},
        {other + " , \n" + upper(fp) + "\n", true},
        {"\t" + other + "\t" + fp + "\t", true},
        {with_colons(upper(fp)), true},
        {"sha256//" + fp, true},
        {base64_of_hex(fp), true},
        {"SHA256//" + base64_of_hex(fp), true},
        {base64_of_hex(fp).substr(0, 43), true}, // the padding left off
        {other + "," + "sha256//" + base64_of_hex(fp), true},
        {std::string(79, 'x') + fp, false},
        {other, false},
        {"sha256/" + fp, false},
        {with_colons(fp).substr(1), false},
        {base64_of_hex(other), false},
        {fp.substr(0, 63), false},
        {fp + "0", false},
        {"", false},
    };
    for (const Case &c : cases) {
        ScriptPeer peer(tls_peer(ids().self_signed));
        Opened o = open_and_get(peer, {c.pins.c_str()});
        if (c.accepted) {
            EXPECT_EQ(o.rc, 0) << c.pins << ": " << o.err;
            EXPECT_EQ(o.pinned, 1) << c.pins;
            EXPECT_EQ(o.verified, 0) << c.pins;
            EXPECT_EQ(o.body, "pong") << c.pins;
        } else {
            EXPECT_EQ(o.rc, -1) << c.pins;
            EXPECT_TRUE(says_not_trusted(o.err)) << o.err;
        }
    }
}

TEST(ConnTls, APinMayNameAnyCertificateTheServerPresentsThatTheChainVerifiesTo) {
    const Identities &id = ids();
    struct Case {
        const char *what;
        const TlsIdentity *leaf;
        std::string extra; // sent after the leaf
        std::string pins;
        bool accepted;
    } cases[] = {
        {"the intermediate", &id.by_intermediate, id.intermediate.cert_pem,
         id.intermediate.fingerprint, true},
        {"the root, sent along", &id.by_intermediate, id.intermediate.cert_pem + id.ca.cert_pem,
         base64_of_hex(id.ca.fingerprint), true},
        {"the leaf", &id.by_intermediate, id.intermediate.cert_pem,
         id.by_intermediate.fingerprint, true},
        {"the root, not sent", &id.by_intermediate, id.intermediate.cert_pem, id.ca.fingerprint,
         false},
        // A CA certificate is public: sending it beside a leaf it did not sign proves nothing.
        {"a CA sent beside a leaf it did not sign", &id.self_signed, id.ca.cert_pem,
         id.ca.fingerprint, false},
        {"another CA", &id.by_intermediate, id.intermediate.cert_pem + id.ca.cert_pem,
         id.other_ca.fingerprint, false},
    };
    for (const Case &c : cases) {
        PeerScript script = tls_peer(*c.leaf);
        script.tls_chain_extra = c.extra;
        ScriptPeer peer(script);
        Opened o = open_and_get(peer, {c.pins.c_str()});
        EXPECT_EQ(o.rc, c.accepted ? 0 : -1) << c.what << ": " << o.err;
        if (c.accepted) {
            EXPECT_EQ(o.pinned, 1) << c.what;
        }
    }
    // A pin on a CA never saves a name the chain was not issued for.
    PeerScript script = tls_peer(id.by_intermediate);
    script.tls_chain_extra = id.intermediate.cert_pem;
    ScriptPeer peer(script);
    OpenArgs other_host;
    other_host.pins = id.intermediate.fingerprint.c_str();
    other_host.host = "127.0.0.1";
    EXPECT_EQ(open_and_get(peer, other_host).rc, -1);
}

TEST(ConnTls, PinnedOverTls12AndExpiredCertificates) {
    ScriptPeer peer(tls_peer(ids().self_signed, true));
    Opened o = open_and_get(peer, {ids().self_signed.fingerprint.c_str()});
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.pinned, 1);
    ScriptPeer expired(tls_peer(ids().expired_here));
    o = open_and_get(expired, {ids().expired_here.fingerprint.c_str()});
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.pinned, 1);
    // Without the pin the refusal names both findings in words.
    ScriptPeer unpinned(tls_peer(ids().expired_here));
    o = open_and_get(unpinned, {});
    EXPECT_EQ(verify_reasons_in(o.err), "not trusted: no trusted root signed it, expired") << o.err;
}

TEST(ConnTls, APinNeverSavesANameMismatch) {
    ScriptPeer peer(tls_peer(ids().other_name));
    Opened o = open_and_get(peer, {ids().other_name.fingerprint.c_str()});
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(
        o.err,
        "tls certificate is not valid for localhost (a pin cannot override a hostname mismatch)");
}

TEST(ConnTls, PrivateCaThroughCaFileWhilePublicRootsStayTrusted) {
    std::string ca_file = temp_file_with(ids().ca.cert_pem);
    ScriptPeer peer(tls_peer(ids().by_ca));
    Opened o = open_and_get(peer, {nullptr, ca_file.c_str()});
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.verified, 1);
    EXPECT_EQ(o.pinned, 0);
    EXPECT_EQ(o.fingerprint, ids().by_ca.fingerprint);
    EXPECT_EQ(o.status, 200);
    EXPECT_EQ(o.body, "pong");

    // Without the file the same server is refused: its root is not among the public ones.
    ScriptPeer again(tls_peer(ids().by_ca, true));
    o = open_and_get(again, {});
    EXPECT_TRUE(says_not_trusted(o.err)) << o.err;
}

TEST(ConnTls, TheAnchorsHoldTheCaFileAndEveryEmbeddedRoot) {
    std::string ca_file = temp_file_with(ids().ca.cert_pem);
    size_t embedded = 0;
    for (const char *p = QV_NTFY_CA_BUNDLE_PEM; (p = strstr(p, "-----BEGIN CERTIFICATE-----")); p++)
        embedded++;
    for (const char *file : {static_cast<const char *>(nullptr), ca_file.c_str()}) {
        ScriptPeer peer(tls_peer(ids().self_signed));
        qv_conn c;
        qv_conn_init(&c);
        qv_url u;
        char err[256] = "";
        std::string url = "https://localhost:" + std::to_string(peer.port()) + "/";
        ASSERT_EQ(qv_url_parse(url.c_str(), &u, err, sizeof err), 0);
        std::string fp = ids().self_signed.fingerprint;
        ASSERT_EQ(qv_conn_open(&c, &u, fp.c_str(), file, 0, 5000, err, sizeof err), 0) << err;
        size_t count = 0;
        bool private_root = false, isrg_x1 = false, isrg_x2 = false;
        for (const mbedtls_x509_crt *crt = c.ca_chain; crt && crt->raw.p; crt = crt->next) {
            char dn[512];
            mbedtls_x509_dn_gets(dn, sizeof dn, &crt->subject);
            count++;
            private_root |= strstr(dn, "Chimewick Test Root") != nullptr;
            isrg_x1 |= strstr(dn, "CN=ISRG Root X1") != nullptr;
            isrg_x2 |= strstr(dn, "CN=ISRG Root X2") != nullptr;
        }
        EXPECT_EQ(count, embedded + (file ? 1 : 0));
        EXPECT_EQ(private_root, file != nullptr);
        EXPECT_TRUE(isrg_x1 && isrg_x2);
        qv_conn_close(&c);
        qv_conn_close(&c); // closing twice is harmless
        EXPECT_EQ(c.sock, -1);
        EXPECT_EQ(c.ca_chain, nullptr);
    }
}

TEST(ConnTls, CaFileErrors) {
    std::string missing = "/nonexistent/qv-ca.pem";
    std::string empty = temp_file_with("");
    std::string garbage = temp_file_with("this is not a certificate\n");
    std::string half = temp_file_with(
        ids().ca.cert_pem + "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n");
    std::string huge = temp_file_with(std::string(QV_CA_FILE_MAX + 1, 'A'));
    struct Case {
        std::string path;
        std::string message; // exact, or a prefix ending in "("
    };
    const Case cases[] = {
        {missing, "cannot open ca_file " + missing + ": no such file or directory"},
        {empty, "ca_file " + empty + " has a bad size"},
        {huge, "ca_file " + huge + " has a bad size"},
        {"/tmp", "ca_file /tmp has a bad size"},
        {garbage, "ca_file " + garbage + " has no usable certificate ("},
        {half, "ca_file " + half + " has no usable certificate ("},
    };
    for (const Case &c : cases) {
        ScriptPeer peer(tls_peer(ids().by_ca));
        Opened o = open_and_get(peer, {nullptr, c.path.c_str()});
        EXPECT_EQ(o.rc, -1) << c.path;
        if (c.message.back() == '(') {
            EXPECT_EQ(o.err.rfind(c.message, 0), 0u) << o.err;
            EXPECT_NE(o.err.find(")", c.message.size()), std::string::npos) << o.err;
            EXPECT_NE(o.err.substr(c.message.size(), 2), "0)") << o.err;
        } else {
            EXPECT_EQ(o.err, c.message);
        }
    }
}

TEST(ConnTls, InsecureModeAcceptsAnythingAndStillFingerprints) {
    for (const TlsIdentity *id :
         {&ids().expired_elsewhere, &ids().self_signed, &ids().other_name}) {
        ScriptPeer peer(tls_peer(*id));
        Opened o = open_and_get(peer, {nullptr, "/nonexistent/ignored.pem", 1});
        EXPECT_EQ(o.rc, 0) << id->subject << ": " << o.err;
        EXPECT_EQ(o.verified, 0);
        EXPECT_EQ(o.pinned, 0);
        EXPECT_EQ(o.fingerprint, id->fingerprint);
        EXPECT_EQ(o.body, "pong");
    }
}

TEST(ConnTls, ExchangesOverBothVersionsWhenEveryIoBlocksOnce) {
    std::string ca_file = temp_file_with(ids().ca.cert_pem);
    peer_would_block_once(true);
    for (bool tls12 : {false, true}) {
        PeerScript s = tls_peer(ids().by_ca, tls12);
        s.pieces = {"HTTP/1.1 200 OK\r\nTransfer-", "Encoding: chunked\r\n\r\n4\r\n", "po",
                    "ng\r\n0\r\n\r\n"};
        ScriptPeer peer(s);
        Opened o = open_and_get(peer, {nullptr, ca_file.c_str()});
        EXPECT_EQ(o.rc, 0) << o.err;
        EXPECT_EQ(o.verified, 1);
        EXPECT_EQ(o.version, tls12 ? "TLSv1.2" : "TLSv1.3");
        EXPECT_EQ(o.body, "pong");
        EXPECT_EQ(peer.received().rfind("GET /x HTTP/1.1\r\nHost: localhost:", 0), 0u);
    }
    EXPECT_GT(peer_would_block_reported(), 0); // the switch did reach the client's sockets
    peer_would_block_once(false);
}

// --- connect and handshake failures ---------------------------------------------------------

TEST(ConnOpen, ConnectAndHandshakeFailures) {
    int port = unused_port();
    qv_conn c;
    qv_url u;
    char err[256];
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
    ASSERT_EQ(qv_url_parse(url.c_str(), &u, err, sizeof err), 0);
    EXPECT_EQ(qv_conn_open(&c, &u, nullptr, nullptr, 0, 2000, err, sizeof err), -1);
    EXPECT_EQ(std::string(err),
              "cannot connect to 127.0.0.1:" + std::to_string(port) + kRefused);
    EXPECT_EQ(c.sock, -1);

    ASSERT_EQ(qv_url_parse("http://:8080/", &u, err, sizeof err), 0);
    EXPECT_EQ(qv_conn_open(&c, &u, nullptr, nullptr, 0, 2000, err, sizeof err), -1);
    EXPECT_EQ(std::string(err).rfind("cannot resolve :8080: ", 0), 0u) << err;

    // A plain server that answers the TLS hello with text.
    PeerScript text;
    text.pieces = {"HTTP/1.1 400 Bad Request\r\n\r\n"};
    text.read_request = false;
    ScriptPeer talker(text);
    Opened o = open_and_get(talker, {});
    EXPECT_EQ(o.err.rfind("tls handshake failed: ", 0), 0u) << o.err;
    EXPECT_GT(o.err.size(), strlen("tls handshake failed: "));

    // A server that accepts and never answers.
    PeerScript silent;
    silent.read_request = false;
    silent.hold_open = true;
    ScriptPeer mute(silent);
    o = open_and_get(mute, {nullptr, nullptr, 0, 200});
    EXPECT_EQ(o.err, "tls handshake timed out");
}

TEST(ConnOpen, PlainConnectionHasNoTlsState) {
    ScriptPeer peer(script_of(kReply));
    Opened o = open_and_get(peer, {}, false);
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.verified, 0);
    EXPECT_EQ(o.pinned, 0);
    EXPECT_EQ(o.fingerprint, "");
    EXPECT_EQ(o.body, "pong");
}

TEST(ConnOpen, SocketsAreNonBlockingAndSendSmallWritesAtOnce) {
    ScriptPeer peer(script_of(kReply));
    qv_conn c;
    qv_url u;
    char err[256];
    ASSERT_EQ(qv_url_parse(peer.url().c_str(), &u, err, sizeof err), 0);
    ASSERT_EQ(qv_conn_open(&c, &u, nullptr, nullptr, 0, 5000, err, sizeof err), 0) << err;
    int fd = static_cast<int>(c.sock);
    EXPECT_NE(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    int nodelay = 0;
    socklen_t len = sizeof nodelay;
    ASSERT_EQ(getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_EQ(nodelay, 1);
    EXPECT_EQ(c.port, peer.port());
    EXPECT_STREQ(c.host, "127.0.0.1");
    EXPECT_EQ(c.tls, 0);
    qv_conn_close(&c);
}

TEST(ConnOpen, InitAndCloseAreSafe) {
    qv_conn c;
    memset(&c, 0x5A, sizeof c);
    qv_conn_init(&c);
    EXPECT_EQ(c.sock, -1);
    EXPECT_EQ(c.body.remaining, -1); // until the server closes
    EXPECT_EQ(c.body.state, qv_body_state::data);
    EXPECT_EQ(c.ssl, nullptr);
    EXPECT_EQ(c.rlen, 0u);
    EXPECT_STREQ(c.host, "");
    qv_conn_close(&c);
    qv_conn_close(&c);
    qv_conn_close(nullptr);
    EXPECT_EQ(c.sock, -1);
}

// --- transport functions --------------------------------------------------------------------

TEST(ConnBio, MapsSocketResultsToTlsCodes) {
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
    int64_t a = sv[0];
    unsigned char buf[4096];
    EXPECT_EQ(bio_recv(&a, buf, sizeof buf), MBEDTLS_ERR_SSL_WANT_READ);
    EXPECT_EQ(bio_send(&a, reinterpret_cast<const unsigned char *>("abc"), 3), 3);
    int64_t b = sv[1];
    EXPECT_EQ(bio_recv(&b, buf, sizeof buf), 3);
    memset(buf, 'x', sizeof buf);
    int sent = 0, last = 0;
    for (int i = 0; i < 100000 && (last = bio_send(&a, buf, sizeof buf)) > 0; i++)
        sent += last;
    EXPECT_GT(sent, 0);
    EXPECT_EQ(last, MBEDTLS_ERR_SSL_WANT_WRITE);
    close(sv[0]);
    while (bio_recv(&b, buf, sizeof buf) > 0) {
    }
    EXPECT_EQ(bio_recv(&b, buf, sizeof buf), 0);                     // the peer closed
    EXPECT_EQ(bio_send(&b, buf, 1), MBEDTLS_ERR_SSL_INTERNAL_ERROR); // and never kills us
    close(sv[1]);
    int64_t none = -1;
    EXPECT_EQ(bio_recv(&none, buf, 1), MBEDTLS_ERR_SSL_INTERNAL_ERROR);
}

// --- the embedded root store ------------------------------------------------------------------

TEST(ConnTrustStore, IsPlainPemThatParsesWhole) {
    const std::string pem = QV_NTFY_CA_BUNDLE_PEM;
    std::regex line_re(
        "-----BEGIN CERTIFICATE-----|-----END CERTIFICATE-----|[A-Za-z0-9+/=]{1,64}");
    size_t begins = 0, at = 0;
    bool inside = false;
    while (at < pem.size()) {
        size_t lf = pem.find('\n', at);
        ASSERT_NE(lf, std::string::npos) << "the store ends with a line feed";
        std::string line = pem.substr(at, lf - at);
        ASSERT_TRUE(std::regex_match(line, line_re)) << line;
        if (line == "-----BEGIN CERTIFICATE-----") {
            ASSERT_FALSE(inside);
            inside = true;
            begins++;
        } else if (line == "-----END CERTIFICATE-----") {
            ASSERT_TRUE(inside);
            inside = false;
        } else {
            ASSERT_TRUE(inside) << "text outside a block";
        }
        at = lf + 1;
    }
    EXPECT_FALSE(inside);
    EXPECT_GE(begins, 100u);
    mbedtls_x509_crt chain;
    mbedtls_x509_crt_init(&chain);
    EXPECT_EQ(mbedtls_x509_crt_parse(&chain, reinterpret_cast<const unsigned char *>(pem.c_str()),
                                     pem.size() + 1),
              0);
    size_t parsed = 0;
    for (const mbedtls_x509_crt *crt = &chain; crt && crt->raw.p; crt = crt->next)
        parsed++;
    EXPECT_EQ(parsed, begins);
    mbedtls_x509_crt_free(&chain);
}
