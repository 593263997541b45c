// Arbitrary datagrams into DTLS sessions: into a fresh server's handshake, and
// into the handshake and record paths of an established pair. Plain data
// sealed by one side must come out of the other unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/dtls.h"

namespace {

using Bytes = std::vector<uint8_t>;

bool collect(const void *data, size_t size, void *opaque) {
    auto *out = (std::vector<Bytes> *)opaque;
    out->emplace_back((const uint8_t *)data, (const uint8_t *)data + size);
    return true;
}

struct Pair {
    VKO_Cert *client_cert = VKO_CertCreate(), *server_cert = VKO_CertCreate();
    VKO_DTLS *client = nullptr, *server = nullptr;

    Pair() {
        char cfp[VKO_FINGERPRINT_SIZE], sfp[VKO_FINGERPRINT_SIZE];
        VKO_CertGetFingerprint(client_cert, cfp, sizeof(cfp));
        VKO_CertGetFingerprint(server_cert, sfp, sizeof(sfp));
        client = VKO_DTLSCreate(client_cert, sfp, 1212, VKO_DTLS_CLIENT);
        server = VKO_DTLSCreate(server_cert, cfp, 1212, VKO_DTLS_SERVER);

        // In memory, no loss: a few rounds complete the handshake
        std::vector<Bytes> to_server, to_client;
        VKO_DTLSResult c = VKO_DTLSHandshake(client, NULL, 0, collect, &to_server);
        VKO_DTLSResult s = VKO_DTLSHandshake(server, NULL, 0, collect, &to_client);
        for (int round = 0; round < 10 && !(c == VKO_DTLS_OK && s == VKO_DTLS_OK); round++) {
            auto in = std::move(to_server);
            to_server.clear();
            for (auto &d : in) s = VKO_DTLSHandshake(server, d.data(), d.size(), collect, &to_client);
            in = std::move(to_client);
            to_client.clear();
            for (auto &d : in) c = VKO_DTLSHandshake(client, d.data(), d.size(), collect, &to_server);
        }
        if (c != VKO_DTLS_OK || s != VKO_DTLS_OK) abort();
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Pair pair;

    if (size == 0) return 0;

    uint8_t mode = data[0] % 4;
    data++;
    size--;

    std::vector<Bytes> sink;
    uint8_t out[4096];
    size_t n = 0;

    switch (mode) {
        case 0: {
            // A fresh server fed the input as up to four datagrams
            VKO_DTLS *server = VKO_DTLSCreate(pair.server_cert, NULL, 1212, VKO_DTLS_SERVER);
            size_t off = 0;
            for (int i = 0; i < 4 && off < size; i++) {
                size_t len = std::min(size - off, (size_t)data[off] * 8 + 1);
                VKO_DTLSHandshake(server, data + off, len, collect, &sink);
                off += len;
            }
            VKO_DTLSDestroy(&server);
            break;
        }
        case 1:
            VKO_DTLSDecrypt(pair.server, data, size, out, sizeof(out), &n);
            break;
        case 2:
            if (VKO_DTLSHandshake(pair.client, data, size, collect, &sink) != VKO_DTLS_OK) abort();
            break;
        case 3: {
            uint8_t rec[4096];
            size_t len = 0;
            if (!VKO_DTLSEncrypt(pair.client, data, size, rec, sizeof(rec), &len))
                break;  // empty or too large
            if (!VKO_IsDTLSApplicationData(rec, len) ||
                !VKO_DTLSDecrypt(pair.server, rec, len, out, sizeof(out), &n) || n != size ||
                memcmp(out, data, size) != 0)
                abort();
            break;
        }
    }

    return 0;
}
