// What the test peers do with Mbed TLS, the same on every platform: certificates made at test
// time (the expected key fingerprint comes from outside the code under test, see
// key_fingerprint_of) and the TLS side of a scripted peer. Sockets stay in the platform files.
#include "net_peers.h"

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/pk.h>
#include <mbedtls/ssl.h>
#include <mbedtls/x509_crt.h>
#include <psa/crypto.h>

#include <cstring>
#include <stdexcept>
#include <vector>

TlsIdentity make_identity(const CertificateRequest &wanted) {
    psa_crypto_init();
    Rng rng;
    TlsIdentity id;
    id.subject = "CN=" + wanted.cn;
    mbedtls_pk_context key, issuer_key;
    mbedtls_pk_init(&key);
    mbedtls_pk_init(&issuer_key);
    mbedtls_x509write_cert crt;
    mbedtls_x509write_crt_init(&crt);
    std::vector<mbedtls_x509_san_list> sans(wanted.dns_names.size());
    unsigned char buf[8192];
    bool ok = mbedtls_pk_setup(&key, mbedtls_pk_info_from_type(MBEDTLS_PK_ECKEY)) == 0 &&
              mbedtls_ecp_gen_key(MBEDTLS_ECP_DP_SECP256R1, mbedtls_pk_ec(key),
                                  mbedtls_ctr_drbg_random, &rng.drbg) == 0 &&
              mbedtls_pk_write_key_pem(&key, buf, sizeof buf) == 0;
    if (ok)
        id.key_pem = reinterpret_cast<char *>(buf);
    if (ok && wanted.issuer)
        ok = mbedtls_pk_parse_key(
                 &issuer_key, reinterpret_cast<const unsigned char *>(wanted.issuer->key_pem.c_str()),
                 wanted.issuer->key_pem.size() + 1, nullptr, 0, mbedtls_ctr_drbg_random,
                 &rng.drbg) == 0;
    if (ok) {
        mbedtls_x509write_crt_set_version(&crt, MBEDTLS_X509_CRT_VERSION_3);
        mbedtls_x509write_crt_set_md_alg(&crt, MBEDTLS_MD_SHA256);
        mbedtls_x509write_crt_set_subject_key(&crt, &key);
        mbedtls_x509write_crt_set_issuer_key(&crt, wanted.issuer ? &issuer_key : &key);
        unsigned char serial[8];
        mbedtls_ctr_drbg_random(&rng.drbg, serial, sizeof serial);
        serial[0] = static_cast<unsigned char>((serial[0] & 0x3F) | 0x01);
        for (size_t i = 0; i < sans.size(); i++) {
            sans[i].node.type = MBEDTLS_X509_SAN_DNS_NAME;
            sans[i].node.san.unstructured_name.p =
                reinterpret_cast<unsigned char *>(const_cast<char *>(wanted.dns_names[i].c_str()));
            sans[i].node.san.unstructured_name.len = wanted.dns_names[i].size();
            sans[i].next = i + 1 < sans.size() ? &sans[i + 1] : nullptr;
        }
        ok = mbedtls_x509write_crt_set_subject_name(&crt, id.subject.c_str()) == 0 &&
             mbedtls_x509write_crt_set_issuer_name(&crt, wanted.issuer ? wanted.issuer->subject.c_str()
                                                                     : id.subject.c_str()) == 0 &&
             mbedtls_x509write_crt_set_serial_raw(&crt, serial, sizeof serial) == 0 &&
             mbedtls_x509write_crt_set_validity(
                 &crt, wanted.expired ? "20010101000000" : "20200101000000",
                 wanted.expired ? "20020101000000" : "20991231235959") == 0 &&
             mbedtls_x509write_crt_set_basic_constraints(&crt, wanted.is_ca ? 1 : 0, -1) == 0 &&
             (!wanted.is_ca ||
              mbedtls_x509write_crt_set_key_usage(&crt, MBEDTLS_X509_KU_KEY_CERT_SIGN |
                                                            MBEDTLS_X509_KU_CRL_SIGN) == 0) &&
             (sans.empty() ||
              mbedtls_x509write_crt_set_subject_alternative_name(&crt, sans.data()) == 0) &&
             mbedtls_x509write_crt_pem(&crt, buf, sizeof buf, mbedtls_ctr_drbg_random, &rng.drbg) ==
                 0;
    }
    if (ok)
        id.cert_pem = reinterpret_cast<char *>(buf);
    mbedtls_x509write_crt_free(&crt);
    mbedtls_pk_free(&issuer_key);
    mbedtls_pk_free(&key);
    if (!ok)
        throw std::runtime_error("could not make a test certificate");
    id.fingerprint = key_fingerprint_of(id.cert_pem);
    return id;
}

void ScriptPeer::serve_tls(int fd) {
    psa_crypto_init();
    Rng rng;
    mbedtls_ssl_config conf;
    mbedtls_ssl_context ssl;
    mbedtls_x509_crt cert;
    mbedtls_pk_context key;
    mbedtls_ssl_config_init(&conf);
    mbedtls_ssl_init(&ssl);
    mbedtls_x509_crt_init(&cert);
    mbedtls_pk_init(&key);
    std::string chain = script_.tls->cert_pem + script_.tls_chain_extra;
    bool ok =
        mbedtls_x509_crt_parse(&cert, reinterpret_cast<const unsigned char *>(chain.c_str()),
                               chain.size() + 1) == 0 &&
        mbedtls_pk_parse_key(
            &key, reinterpret_cast<const unsigned char *>(script_.tls->key_pem.c_str()),
            script_.tls->key_pem.size() + 1, nullptr, 0, mbedtls_ctr_drbg_random, &rng.drbg) == 0 &&
        mbedtls_ssl_config_defaults(&conf, MBEDTLS_SSL_IS_SERVER, MBEDTLS_SSL_TRANSPORT_STREAM,
                                    MBEDTLS_SSL_PRESET_DEFAULT) == 0;
    if (ok) {
        mbedtls_ssl_conf_rng(&conf, mbedtls_ctr_drbg_random, &rng.drbg);
        if (script_.tls12_only)
            mbedtls_ssl_conf_max_tls_version(&conf, MBEDTLS_SSL_VERSION_TLS1_2);
        ok = mbedtls_ssl_conf_own_cert(&conf, &cert, &key) == 0 &&
             mbedtls_ssl_setup(&ssl, &conf) == 0;
    }
    if (ok) {
        mbedtls_ssl_set_bio(&ssl, &fd, peer_tls_send, peer_tls_recv, nullptr);
        ok = mbedtls_ssl_handshake(&ssl) == 0;
    }
    if (ok && script_.read_request)
        request_ += peer_read_request([&](char *buf, size_t n) {
            if (mbedtls_ssl_get_bytes_avail(&ssl) == 0 && !wait_stop_or_readable(fd, kPeerIoWaitMs))
                return -1;
            return mbedtls_ssl_read(&ssl, reinterpret_cast<unsigned char *>(buf), n);
        });
    for (size_t i = 0; ok && i < script_.pieces.size(); i++) {
        if (!(ok = pause_before(i)))
            break;
        const std::string &piece = script_.pieces[i];
        for (size_t sent = 0; ok && sent < piece.size();) {
            int n = mbedtls_ssl_write(&ssl,
                                      reinterpret_cast<const unsigned char *>(piece.data()) + sent,
                                      piece.size() - sent);
            ok = n > 0;
            if (ok)
                sent += static_cast<size_t>(n);
        }
    }
    if (ok && script_.hold_open)
        wait_stop_or_readable(-1, -1);
    mbedtls_ssl_free(&ssl);
    mbedtls_ssl_config_free(&conf);
    mbedtls_x509_crt_free(&cert);
    mbedtls_pk_free(&key);
}
