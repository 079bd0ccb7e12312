/* chimewick's configuration of Mbed TLS 3.6: what a TLS 1.2 and 1.3 client of the public web
 * needs, and nothing the program never uses. The bootstrap installs this file as
 * include/mbedtls/mbedtls_config.h of the source it builds, so the library and every file that
 * includes its headers agree on it (the layout of the library's records depends on it).
 *
 * Kept: TLS 1.2 (ECDHE with RSA or ECDSA certificates, AES-GCM and ChaCha20-Poly1305) and
 * TLS 1.3 (ephemeral key exchange), the curves servers use (x25519, P-256, P-384, P-521),
 * RSA with PKCS#1 v1.5 and PSS signatures, X.509 certificate parsing, SHA-1 (older certificates
 * of a chain still carry SHA-1 signatures), SHA-2, CTR-DRBG over the system's entropy, error
 * texts for the log. The TLS server side and certificate writing stay too: the unit tests'
 * scripted TLS peers are made of this library (on Windows there is no other TLS server to
 * script), and the program's link keeps only what it calls.
 *
 * Left out: DTLS, PSK and RSA key transport, finite-field Diffie-Hellman, CBC, CCM and every
 * cipher but AES and ChaCha20 (DES, Camellia, ARIA), MD5, RIPEMD-160, SHA-3, renegotiation,
 * session caches, cookies and server tickets, context serialisation, certificate revocation
 * lists and requests, PKCS#5/#7/#12, LMS, EC J-PAKE, persistent PSA keys, the file and socket
 * helpers (the program has its own), debug output and self tests. */
#ifndef QV_MBEDTLS_CONFIG_H
#define QV_MBEDTLS_CONFIG_H

/* System support */
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_HAVE_TIME
#define MBEDTLS_HAVE_TIME_DATE
#define MBEDTLS_PLATFORM_C
#define MBEDTLS_THREADING_C
#define MBEDTLS_THREADING_PTHREAD
#define MBEDTLS_DEPRECATED_WARNING

/* Randomness */
#define MBEDTLS_ENTROPY_C
#define MBEDTLS_CTR_DRBG_C

/* Hashes and MACs */
#define MBEDTLS_MD_C
#define MBEDTLS_SHA1_C
#define MBEDTLS_SHA224_C
#define MBEDTLS_SHA256_C
#define MBEDTLS_SHA384_C
#define MBEDTLS_SHA512_C
#define MBEDTLS_HKDF_C

/* Ciphers */
#define MBEDTLS_CIPHER_C
#define MBEDTLS_AES_C
#define MBEDTLS_AESNI_C
#define MBEDTLS_AESCE_C
#define MBEDTLS_GCM_C
#define MBEDTLS_CHACHA20_C
#define MBEDTLS_POLY1305_C
#define MBEDTLS_CHACHAPOLY_C

/* Public keys */
#define MBEDTLS_BIGNUM_C
#define MBEDTLS_RSA_C
#define MBEDTLS_PKCS1_V15
#define MBEDTLS_PKCS1_V21
#define MBEDTLS_ECP_C
#define MBEDTLS_ECP_NIST_OPTIM
#define MBEDTLS_ECP_DP_SECP256R1_ENABLED
#define MBEDTLS_ECP_DP_SECP384R1_ENABLED
#define MBEDTLS_ECP_DP_SECP521R1_ENABLED
#define MBEDTLS_ECP_DP_CURVE25519_ENABLED
#define MBEDTLS_ECDH_C
#define MBEDTLS_ECDSA_C
#define MBEDTLS_PK_C
#define MBEDTLS_PK_PARSE_C
#define MBEDTLS_PK_WRITE_C

/* Encodings and certificates */
#define MBEDTLS_ASN1_PARSE_C
#define MBEDTLS_ASN1_WRITE_C
#define MBEDTLS_OID_C
#define MBEDTLS_BASE64_C
#define MBEDTLS_PEM_PARSE_C
#define MBEDTLS_PEM_WRITE_C
#define MBEDTLS_X509_USE_C
#define MBEDTLS_X509_CRT_PARSE_C
#define MBEDTLS_X509_RSASSA_PSS_SUPPORT
#define MBEDTLS_X509_CREATE_C
#define MBEDTLS_X509_CRT_WRITE_C

/* TLS */
#define MBEDTLS_SSL_TLS_C
#define MBEDTLS_SSL_CLI_C
#define MBEDTLS_SSL_SRV_C
#define MBEDTLS_SSL_PROTO_TLS1_2
#define MBEDTLS_SSL_PROTO_TLS1_3
#define MBEDTLS_SSL_TLS1_3_COMPATIBILITY_MODE
#define MBEDTLS_SSL_TLS1_3_KEY_EXCHANGE_MODE_EPHEMERAL_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED
#define MBEDTLS_SSL_SERVER_NAME_INDICATION
#define MBEDTLS_SSL_EXTENDED_MASTER_SECRET
#define MBEDTLS_SSL_KEEP_PEER_CERTIFICATE
#define MBEDTLS_SSL_SESSION_TICKETS
#define MBEDTLS_SSL_ALL_ALERT_MESSAGES
#define MBEDTLS_PSA_CRYPTO_C
#define MBEDTLS_PSA_KEY_STORE_DYNAMIC

/* Error texts */
#define MBEDTLS_ERROR_C

#endif /* QV_MBEDTLS_CONFIG_H */
