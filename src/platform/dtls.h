// Self-signed certificates and DTLS 1.2 sessions on OpenSSL 3. A session never
// sends by itself: every outgoing datagram of the handshake goes to the
// caller's write function, and records are sealed and opened one at a time.
#pragma once

#include <cstddef>
#include <cstdint>

// Fingerprint text: "sha-256 " and 32 upper-case hex pairs joined by ':'.
#define VKO_FINGERPRINT_LEN 103
#define VKO_FINGERPRINT_SIZE 105  // buffer size that holds the whole text

// Results of VKO_DTLSHandshake
enum VKO_DTLSResult : int32_t {
    VKO_DTLS_OK = 0,  // complete, peer verified
    VKO_DTLS_CONTINUE = 2,
    VKO_DTLS_ERROR = 3,
};

// Role of a session, chosen at creation
enum VKO_DTLSRole : uint32_t {
    VKO_DTLS_CLIENT = 0,
    VKO_DTLS_SERVER = 1,
};

struct VKO_Cert;
struct VKO_DTLS;

// Sends one datagram; false ends the handshake step with an error.
typedef bool (*VKO_DTLSWriteFunc)(const void *data, size_t size, void *opaque);

// Always returns a record; it holds no certificate when creation failed.
VKO_Cert *VKO_CertCreate(void);
void VKO_CertDestroy(VKO_Cert **cert);

// A record without certificate gives a buffer of zeros; a short buffer a
// shortened, still terminated text.
void VKO_CertGetFingerprint(const VKO_Cert *cert, char *fingerprint, size_t size);

// Datagrams are at most mtu + 64 bytes. A server needs a certificate. The
// expected peer fingerprint (compared exactly; NULL skips the check) is copied.
// The session holds its own reference to the certificate.
VKO_DTLS *VKO_DTLSCreate(const VKO_Cert *cert, const char *peerFingerprint, uint32_t mtu,
                         VKO_DTLSRole role = VKO_DTLS_CLIENT);
void VKO_DTLSDestroy(VKO_DTLS **dtls);

// Call first with no packet (a client then sends its hello), then with every
// received handshake datagram, and without a packet now and then while it
// continues: that retransmits a lost flight when its timer ran out.
VKO_DTLSResult VKO_DTLSHandshake(VKO_DTLS *dtls, const void *packet, size_t size, VKO_DTLSWriteFunc write,
                                 void *opaque);

// One record from plain data, into out; only after the handshake is complete.
bool VKO_DTLSEncrypt(VKO_DTLS *dtls, const void *in, size_t size, void *out, size_t outSize, size_t *written);

// Plain data of one received record; only after the handshake is complete.
bool VKO_DTLSDecrypt(VKO_DTLS *dtls, const void *in, size_t size, void *out, size_t outSize, size_t *read);

// Datagram classifiers for a socket shared with other protocols.
bool VKO_IsDTLSHandshake(const void *packet, size_t size);
bool VKO_IsDTLSApplicationData(const void *packet, size_t size);
