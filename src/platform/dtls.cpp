// Self-signed certificates and DTLS 1.2 sessions on OpenSSL 3 libssl.
//
// The session reads from a memory BIO that holds one received datagram at a
// time and writes through a small datagram BIO that keeps every write of
// OpenSSL as one datagram (a memory BIO would merge the datagrams of a flight).
// Log texts keep the names of the original system calls; the numbers are
// OpenSSL error codes.
#include "platform/dtls.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "platform/crypto.h"
#include "platform/log.h"
#include "platform/memory.h"

struct VKO_Cert {
    X509 *x509;
    EVP_PKEY *key;
};

struct VKO_DTLS {
    std::mutex mutex;
    char *fingerprint;
    SSL_CTX *ctx;
    SSL *ssl;
    BIO *rbio;
    uint32_t max_message;
    VKO_DTLSRole role;
    bool started;
    bool done;
    bool failed;
    bool mismatch;
    size_t min_protected;  // smallest protected record body, fixed once complete

    // Datagrams OpenSSL wrote during the current call
    std::vector<std::vector<uint8_t>> out;

    // While sealing a record it goes straight to the caller's buffer
    uint8_t *sink;
    size_t sink_size;
    size_t sink_used;
    bool sink_overflow;
};

// The number for a failure line: the first error OpenSSL queued, else the
// SSL error of the failing call (2 for a record it discarded, 5 for a system
// error). The queue is emptied.
static unsigned dtls_error(int ssl_error = 0) {
    unsigned long e = ERR_get_error();
    ERR_clear_error();
    return e ? (unsigned)e : (unsigned)ssl_error;
}

// Datagram write BIO

static int dtls_bio_write(BIO *b, const char *data, int len) {
    VKO_DTLS *d = (VKO_DTLS *)BIO_get_data(b);
    if (!d || len < 0) return -1;

    if (d->sink) {
        if (d->sink_used == 0 && (size_t)len <= d->sink_size) {
            memcpy(d->sink, data, len);
            d->sink_used = len;

        } else {
            d->sink_overflow = true;
        }

    } else {
        d->out.emplace_back((const uint8_t *)data, (const uint8_t *)data + len);
    }

    return len;
}

static long dtls_bio_ctrl(BIO *b, int cmd, long num, void *ptr) {
    (void)b;
    (void)num;
    (void)ptr;

    switch (cmd) {
        case BIO_CTRL_FLUSH:
            return 1;
        default:
            // No pending data, no MTU to query, no extra per-datagram overhead
            return 0;
    }
}

static int dtls_bio_create(BIO *b) {
    BIO_set_init(b, 1);
    return 1;
}

static BIO_METHOD *dtls_bio_method(void) {
    static BIO_METHOD *method = [] {
        BIO_METHOD *m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "datagram sink");
        if (m) {
            BIO_meth_set_write(m, dtls_bio_write);
            BIO_meth_set_ctrl(m, dtls_bio_ctrl);
            BIO_meth_set_create(m, dtls_bio_create);
        }
        return m;
    }();

    return method;
}

// Certificates

static void dtls_fingerprint(X509 *x509, char *fingerprint, size_t size) {
    memset(fingerprint, 0, size);

    uint8_t md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    if (X509_digest(x509, EVP_sha256(), md, &len) != 1 || len != 32) {
        ERR_clear_error();
        return;
    }

    VKO_Strcat(fingerprint, size, "sha-256 ");

    for (unsigned int i = 0; i < len; i++) {
        char pair[4];
        snprintf(pair, sizeof(pair), "%02X:", md[i]);
        VKO_Strcat(fingerprint, size, pair);
    }

    size_t n = strlen(fingerprint);
    if (n > 0) fingerprint[n - 1] = '\0';
}

VKO_Cert *VKO_CertCreate(void) {
    VKO_Cert *cert = (VKO_Cert *)VKO_Alloc(1, sizeof(VKO_Cert));

    uint8_t rnd[16];
    char cn[33];
    VKO_GetRandomBytes(rnd, sizeof(rnd));
    VKO_BytesToHex(rnd, sizeof(rnd), cn, sizeof(cn));

    uint64_t serial = 0;
    VKO_GetRandomBytes(&serial, sizeof(serial));

    X509 *x509 = X509_new();
    EVP_PKEY *key = EVP_RSA_gen(2048);
    X509_NAME *name = x509 ? X509_get_subject_name(x509) : NULL;

    bool ok =
        x509 && key && name && X509_set_version(x509, X509_VERSION_3) == 1 &&
        ASN1_INTEGER_set_uint64(X509_get_serialNumber(x509), serial >> 1) == 1 &&
        X509_gmtime_adj(X509_getm_notBefore(x509), 0) &&
        X509_gmtime_adj(X509_getm_notAfter(x509), 365L * 24 * 3600) &&
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, (const unsigned char *)cn, -1, -1, 0) == 1 &&
        X509_set_issuer_name(x509, name) == 1 && X509_set_pubkey(x509, key) == 1 &&
        X509_sign(x509, key, EVP_sha256()) > 0;

    if (!ok) {
        VKO_Log("VKO_CertCreate", "'CertCreateSelfSignCertificate' failed with error 0x%X", dtls_error());
        X509_free(x509);
        EVP_PKEY_free(key);
        return cert;
    }

    cert->x509 = x509;
    cert->key = key;

    return cert;
}

void VKO_CertDestroy(VKO_Cert **cert) {
    if (!cert || !*cert) return;

    X509_free((*cert)->x509);
    EVP_PKEY_free((*cert)->key);

    VKO_Free(*cert);
    *cert = NULL;
}

void VKO_CertGetFingerprint(const VKO_Cert *cert, char *fingerprint, size_t size) {
    if (!fingerprint || size == 0) return;

    if (!cert || !cert->x509) {
        memset(fingerprint, 0, size);
        return;
    }

    dtls_fingerprint(cert->x509, fingerprint, size);
}

// Sessions

// No chain is validated: the peer's leaf certificate must match the expected
// fingerprint, checked here so a wrong peer is refused before we finish
static int dtls_verify_cb(int preverify, X509_STORE_CTX *store) {
    (void)preverify;

    SSL *ssl = (SSL *)X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx());
    VKO_DTLS *d = ssl ? (VKO_DTLS *)SSL_get_app_data(ssl) : NULL;
    if (!d) return 0;

    if (!d->fingerprint || X509_STORE_CTX_get_error_depth(store) != 0) return 1;

    X509 *cert = X509_STORE_CTX_get_current_cert(store);
    if (!cert) return 0;

    char fp[VKO_FINGERPRINT_SIZE];
    dtls_fingerprint(cert, fp, sizeof(fp));
    if (strcmp(fp, d->fingerprint) != 0) {
        d->mismatch = true;
        return 0;
    }

    return 1;
}

VKO_DTLS *VKO_DTLSCreate(const VKO_Cert *cert, const char *peerFingerprint, uint32_t mtu, VKO_DTLSRole role) {
    VKO_DTLS *d = new VKO_DTLS();
    d->role = role == VKO_DTLS_SERVER ? VKO_DTLS_SERVER : VKO_DTLS_CLIENT;
    d->max_message = mtu + 64;
    d->fingerprint = peerFingerprint ? VKO_Strdup(peerFingerprint) : NULL;

    bool have_cert = cert && cert->x509 && cert->key;
    BIO *rbio = NULL;
    BIO *wbio = NULL;

    // The fixed 1.2 methods: the version-flexible ones write a first record
    // version (0xFEFF) that the peer's datagram classifier does not accept
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    const SSL_METHOD *method =
        d->role == VKO_DTLS_SERVER ? DTLSv1_2_server_method() : DTLSv1_2_client_method();
#pragma GCC diagnostic pop

    d->ctx = SSL_CTX_new(method);
    if (!d->ctx) goto except;

    if (have_cert) {
        if (SSL_CTX_use_certificate(d->ctx, cert->x509) != 1 ||
            SSL_CTX_use_PrivateKey(d->ctx, cert->key) != 1)
            goto except;

    } else if (d->role == VKO_DTLS_SERVER) {
        ERR_raise(ERR_LIB_SSL, SSL_R_NO_CERTIFICATE_ASSIGNED);
        goto except;
    }

    if (d->role == VKO_DTLS_SERVER) {
        SSL_CTX_set_verify(
            d->ctx, d->fingerprint ? SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT : SSL_VERIFY_NONE,
            dtls_verify_cb);
    } else {
        SSL_CTX_set_verify(d->ctx, SSL_VERIFY_PEER, dtls_verify_cb);
    }

    SSL_CTX_set_options(d->ctx, SSL_OP_NO_QUERY_MTU | SSL_OP_NO_RENEGOTIATION);

    d->ssl = SSL_new(d->ctx);
    rbio = BIO_new(BIO_s_mem());
    wbio = dtls_bio_method() ? BIO_new(dtls_bio_method()) : NULL;
    if (!d->ssl || !rbio || !wbio) goto except;

    // An empty read BIO means "try again", not end of file
    BIO_set_mem_eof_return(rbio, -1);
    BIO_set_data(wbio, d);
    SSL_set_bio(d->ssl, rbio, wbio);
    d->rbio = rbio;
    rbio = wbio = NULL;

    SSL_set_app_data(d->ssl, d);

    if (d->role == VKO_DTLS_SERVER) {
        SSL_set_accept_state(d->ssl);
    } else {
        SSL_set_connect_state(d->ssl);
    }

    return d;

except:

    VKO_Log("VKO_DTLSCreate", "'AcquireCredentialsHandle' failed with error 0x%X", dtls_error());

    BIO_free(rbio);
    BIO_free(wbio);

    VKO_DTLSDestroy(&d);

    return NULL;
}

void VKO_DTLSDestroy(VKO_DTLS **dtls) {
    if (!dtls || !*dtls) return;

    VKO_DTLS *d = *dtls;

    SSL_free(d->ssl);
    SSL_CTX_free(d->ctx);
    VKO_Free(d->fingerprint);

    delete d;
    *dtls = NULL;
}

// Smallest body of a protected record under the session's cipher: explicit
// nonce and tag for AEAD ciphers; for block ciphers the IV and the MAC with at
// least one byte of padding, in whole blocks. 0 before a cipher is chosen.
static size_t dtls_min_protected(VKO_DTLS *d) {
    const SSL_CIPHER *c = SSL_get_current_cipher(d->ssl);
    if (!c) c = SSL_get_pending_cipher(d->ssl);
    const EVP_CIPHER *e = c ? EVP_get_cipherbynid(SSL_CIPHER_get_cipher_nid(c)) : NULL;
    if (!e) return 0;

    if (SSL_CIPHER_is_aead(c)) {
        bool short_tag = strstr(SSL_CIPHER_get_name(c), "CCM8") != NULL;
        switch (EVP_CIPHER_get_mode(e)) {
            case EVP_CIPH_GCM_MODE:
                return 8 + 16;
            case EVP_CIPH_CCM_MODE:
                return 8 + (short_tag ? 8 : 16);
            default:
                return 16;  // ChaCha20-Poly1305: tag only
        }
    }

    const EVP_MD *md = EVP_get_digestbynid(SSL_CIPHER_get_digest_nid(c));
    size_t mac = md ? (size_t)EVP_MD_get_size(md) : 0;
    size_t block = (size_t)EVP_CIPHER_get_block_size(e);
    size_t body = block > 1 ? (mac + 1 + block - 1) / block * block : mac;

    return (size_t)EVP_CIPHER_get_iv_length(e) + body;
}

// One received datagram into the read BIO, with only the records OpenSSL may
// safely see: a header whose length runs past the datagram ends it, and a
// protected record (epoch above 0) shorter than the cipher needs is dropped,
// as is any protected record before a cipher is chosen. OpenSSL would fail
// such a record fatally and end the session, so one forged datagram could cut
// a stream. False when nothing is left.
static bool dtls_feed(VKO_DTLS *d, const void *packet, size_t size) {
    const uint8_t *p = (const uint8_t *)packet;
    size_t min = d->done ? d->min_protected : dtls_min_protected(d);
    std::vector<uint8_t> kept;
    kept.reserve(size);

    for (size_t off = 0; off + 13 <= size;) {
        size_t len = (size_t)p[off + 11] << 8 | p[off + 12];
        if (off + 13 + len > size) break;

        bool epoch0 = p[off + 3] == 0 && p[off + 4] == 0;
        if (epoch0 || (min > 0 && len >= min)) kept.insert(kept.end(), p + off, p + off + 13 + len);

        off += 13 + len;
    }

    (void)BIO_reset(d->rbio);
    if (kept.empty()) return false;

    BIO_write(d->rbio, kept.data(), (int)kept.size());
    return true;
}

// Nothing of a datagram is left for the next call
static void dtls_drain(VKO_DTLS *d) {
    (void)BIO_reset(d->rbio);
}

// Hands the datagrams written during this call to the caller, in order
static bool dtls_flush(VKO_DTLS *d, VKO_DTLSWriteFunc write, void *opaque) {
    bool ok = true;

    for (auto &dg : d->out) {
        if (ok && !(write && write(dg.data(), dg.size(), opaque))) ok = false;
    }

    d->out.clear();

    return ok;
}

static bool dtls_handshake_init(VKO_DTLS *d) {
    if (SSL_set_mtu(d->ssl, d->max_message) <= 0) {
        VKO_Log("dtls_handshake_init", "'SetContextAttributes' failed with error 0x%X", dtls_error());
        return false;
    }

    return true;
}

// Ends the session for good; tag names the failed step to log (NULL when it
// was logged already or is not a failure to log). Unsent datagrams are dropped.
static VKO_DTLSResult dtls_fail(VKO_DTLS *d, const char *tag, int ret = 0) {
    if (tag)
        VKO_Log(tag, "'InitializeSecurityContext' failed with error 0x%X",
                dtls_error(ret ? SSL_get_error(d->ssl, ret) : 0));

    d->out.clear();
    d->failed = true;

    return VKO_DTLS_ERROR;
}

static bool dtls_verify_peer_fingerprint(VKO_DTLS *d) {
    X509 *peer = SSL_get0_peer_certificate(d->ssl);
    if (!peer) {
        VKO_Log("dtls_verify_peer_fingerprint", "'QueryContextAttributes' failed with error 0x%X",
                dtls_error());
        return false;
    }

    char fp[VKO_FINGERPRINT_SIZE];
    dtls_fingerprint(peer, fp, sizeof(fp));

    return strcmp(fp, d->fingerprint) == 0;
}

VKO_DTLSResult VKO_DTLSHandshake(VKO_DTLS *dtls, const void *packet, size_t size, VKO_DTLSWriteFunc write,
                                 void *opaque) {
    if (!dtls) return VKO_DTLS_ERROR;

    VKO_DTLS *d = dtls;
    std::lock_guard<std::mutex> lock(d->mutex);

    if (d->failed) return VKO_DTLS_ERROR;

    if (!packet || size > INT32_MAX) size = 0;

    ERR_clear_error();

    // A handshake datagram after completion means the peer missed our last
    // flight: OpenSSL answers it by sending that flight again
    if (d->done) {
        if (size > 0 && dtls_feed(d, packet, size)) {
            uint8_t scratch[256];
            for (int i = 0; i < 64; i++)
                if (SSL_read(d->ssl, scratch, sizeof(scratch)) <= 0 && !SSL_has_pending(d->ssl)) break;
            dtls_drain(d);
            ERR_clear_error();
        }

        // Best effort: the handshake itself stays complete
        dtls_flush(d, write, opaque);
        return VKO_DTLS_OK;
    }

    if (size == 0) {
        if (d->started) {
            // Sends the last flight again once its timer ran out
            int r = DTLSv1_handle_timeout(d->ssl);
            if (r < 0) return dtls_fail(d, "VKO_DTLSHandshake", r);

        } else {
            if (!dtls_handshake_init(d)) return dtls_fail(d, NULL);

            // A client writes its hello; a server has nothing to say yet
            int r = SSL_do_handshake(d->ssl);
            if (r == 1 || SSL_get_error(d->ssl, r) != SSL_ERROR_WANT_READ)
                return dtls_fail(d, "dtls_handshake_init", r);
        }

        if (!dtls_flush(d, write, opaque)) return dtls_fail(d, NULL);

        d->started = true;
        return VKO_DTLS_CONTINUE;
    }

    if (!d->started) {
        if (!dtls_handshake_init(d)) return dtls_fail(d, NULL);
        d->started = true;
    }

    // A datagram with nothing usable is as good as lost
    if (!dtls_feed(d, packet, size)) return VKO_DTLS_CONTINUE;

    int r = SSL_do_handshake(d->ssl);
    int err = r == 1 ? SSL_ERROR_NONE : SSL_get_error(d->ssl, r);
    dtls_drain(d);

    VKO_DTLSResult res = VKO_DTLS_CONTINUE;

    if (r == 1) {
        res = VKO_DTLS_OK;

        // Checked before our last flight leaves, so a server never completes
        // the handshake for a peer it refuses
        if (d->fingerprint && !dtls_verify_peer_fingerprint(d)) {
            d->out.clear();
            res = VKO_DTLS_ERROR;
        }

    } else if (err != SSL_ERROR_WANT_READ) {
        // A wrong fingerprint is an error result, not a failure to log
        if (!d->mismatch)
            VKO_Log("VKO_DTLSHandshake", "'InitializeSecurityContext' failed with error 0x%X",
                    dtls_error(err));
        res = VKO_DTLS_ERROR;
    }

    // Alerts of a failed handshake go out too
    if (!dtls_flush(d, write, opaque)) res = VKO_DTLS_ERROR;

    if (res == VKO_DTLS_OK) {
        d->min_protected = dtls_min_protected(d);
        d->done = true;
    }

    if (res == VKO_DTLS_ERROR) d->failed = true;

    ERR_clear_error();

    return res;
}

bool VKO_DTLSEncrypt(VKO_DTLS *dtls, const void *in, size_t size, void *out, size_t outSize,
                     size_t *written) {
    if (!dtls || (!in && size > 0) || !out || !written) return false;

    VKO_DTLS *d = dtls;
    std::lock_guard<std::mutex> lock(d->mutex);

    // Records only travel on a complete, verified session
    if (!d->done || d->failed) return false;

    ERR_clear_error();

    size_t max = DTLS_get_data_mtu(d->ssl);
    if (max == 0 || max > d->max_message) {
        VKO_Log("VKO_DTLSEncrypt", "'QueryContextAttributes' failed with error 0x%X", dtls_error());
        return false;
    }

    if (size > max) {
        VKO_Log("VKO_DTLSEncrypt", "DTLS message size is too large (%zu > %u)", size, (unsigned)max);
        return false;
    }

    size_t need = size + (d->max_message - max);
    if (need > outSize) {
        VKO_Log("VKO_DTLSEncrypt", "Output buffer is too small (%zu < %zu)", outSize, need);
        return false;
    }

    d->sink = (uint8_t *)out;
    d->sink_size = outSize;
    d->sink_used = 0;
    d->sink_overflow = false;

    static const uint8_t EMPTY[1] = {0};
    int r = SSL_write(d->ssl, size > 0 ? in : EMPTY, (int)size);
    int err = r > 0 ? SSL_ERROR_NONE : SSL_get_error(d->ssl, r);

    bool ok = r == (int)size && d->sink_used > 0 && !d->sink_overflow;
    d->sink = NULL;

    if (!ok) {
        VKO_Log("VKO_DTLSEncrypt", "'EncryptMessage' failed with error 0x%X", dtls_error(err));
        return false;
    }

    *written = d->sink_used;

    return true;
}

bool VKO_DTLSDecrypt(VKO_DTLS *dtls, const void *in, size_t size, void *out, size_t outSize, size_t *read) {
    if (!dtls || !in || size == 0 || size > INT32_MAX || !out || !read) return false;

    VKO_DTLS *d = dtls;
    std::lock_guard<std::mutex> lock(d->mutex);

    if (!d->done || d->failed) return false;

    if (outSize < size) {
        VKO_Log("VKO_DTLSDecrypt", "Output buffer is too small (%zu < %zu)", outSize, size);
        return false;
    }

    ERR_clear_error();

    if (!dtls_feed(d, in, size)) {
        ERR_raise(ERR_LIB_SSL, SSL_R_BAD_LENGTH);
        VKO_Log("VKO_DTLSDecrypt", "'DecryptMessage' failed with error 0x%X", dtls_error());
        return false;
    }

    int r = SSL_read(d->ssl, out, (int)(outSize > INT32_MAX ? INT32_MAX : outSize));
    int err = r > 0 ? SSL_ERROR_NONE : SSL_get_error(d->ssl, r);

    // One record a call: anything else in the datagram is dropped
    uint8_t scratch[256];
    for (int i = 0; i < 64 && SSL_has_pending(d->ssl); i++)
        if (SSL_read(d->ssl, scratch, sizeof(scratch)) <= 0) break;

    dtls_drain(d);
    d->out.clear();

    if (err != SSL_ERROR_NONE) {
        VKO_Log("VKO_DTLSDecrypt", "'DecryptMessage' failed with error 0x%X", dtls_error(err));
        return false;
    }

    ERR_clear_error();
    *read = (size_t)r;

    return true;
}

bool VKO_IsDTLSHandshake(const void *packet, size_t size) {
    const uint8_t *p = (const uint8_t *)packet;

    return p && size >= 3 && p[1] == 0xFE && p[2] == 0xFD && (p[0] == 20 || p[0] == 22);
}

bool VKO_IsDTLSApplicationData(const void *packet, size_t size) {
    const uint8_t *p = (const uint8_t *)packet;

    return p && size >= 3 && p[1] == 0xFE && p[2] == 0xFD && p[0] == 23;
}
