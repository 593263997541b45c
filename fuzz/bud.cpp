// Arbitrary datagrams into a live link's receive path. The key is known here,
// so most inputs are sealed into valid records and reach the plaintext parser,
// the windows and the reader; others go raw (STUN, short, forged).
#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <openssl/evp.h>

#include "connection/bud.h"
#include "connection/udp.h"

namespace {

struct Harness {
    int raw = -1, link_sock = -1;
    BUD *link = nullptr;
    uint8_t key[32], salt[4];
    uint64_t counter = 0;

    Harness() {
        std::string k;
        for (int i = 0; i < 254; i++) k += "0123456789abcdef"[(i * 7 + 3) % 16];
        for (int i = 0; i < 36; i++) {
            unsigned v;
            std::sscanf(k.c_str() + 2 * i, "%2x", &v);
            (i < 32 ? key[i] : salt[i - 32]) = static_cast<uint8_t>(v);
        }
        raw = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        bind(raw, reinterpret_cast<sockaddr *>(&a), sizeof a);
        int size = 8 << 20;
        setsockopt(raw, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        socklen_t l = sizeof a;
        getsockname(raw, reinterpret_cast<sockaddr *>(&a), &l);
        network_udp_socket(&link_sock, 0);
        setsockopt(link_sock, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in6 b{};
        l = sizeof b;
        getsockname(link_sock, reinterpret_cast<sockaddr *>(&b), &l);
        b.sin6_addr = in6addr_loopback;
        connect(raw, reinterpret_cast<sockaddr *>(&b), sizeof b);
        bud_create(&link, link_sock, &a, nullptr, k.c_str(), 1, 1, "fuzzpwd", 1);
        // Something in flight on every stream, so acks have slots to act on.
        std::vector<uint8_t> m(5000, 0x33);
        for (uint8_t s = 0; s < BUD_STREAMS; s++) bud_send(link, s, nullptr, 0, m.data(), 5000, 0);
    }

    void seal_and_send(const uint8_t *plain, size_t len, uint64_t ctr) {
        uint8_t rec[29 + 2048];
        rec[0] = 0x17;
        rec[1] = 0xFE;
        rec[2] = 0xFD;
        for (int i = 7; i >= 0; i--) rec[3 + i] = static_cast<uint8_t>(ctr >> (8 * (7 - i)));
        rec[11] = static_cast<uint8_t>((len + 45) >> 8);
        rec[12] = static_cast<uint8_t>(len + 45);
        uint8_t nonce[12];
        std::memcpy(nonce, salt, 4);
        std::memcpy(nonce + 4, rec + 3, 8);
        EVP_CIPHER_CTX *c = EVP_CIPHER_CTX_new();
        int l = 0;
        EVP_EncryptInit_ex(c, EVP_aes_256_gcm(), nullptr, key, nonce);
        if (len) EVP_EncryptUpdate(c, rec + 29, &l, plain, static_cast<int>(len));
        EVP_EncryptFinal_ex(c, rec + 29 + len, &l);
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, rec + 13);
        EVP_CIPHER_CTX_free(c);
        send(raw, rec, 29 + len, 0);
    }

    void drain_reader() {
        static std::vector<uint8_t> big(BUD_MAX_MESSAGE);
        uint8_t small[64];
        uint32_t len;
        for (uint8_t s = 0; s < BUD_STREAMS; s++) {
            for (int i = 0; i < 8; i++) {
                int32_t r = bud_recv(link, s, small, sizeof small, &len, 0);
                if (r == BUD_ERR_BUFFER)
                    r = bud_recv(link, s, big.data(), static_cast<uint32_t>(big.size()), &len, 0);
                if (r != 0 && r != BUD_ERR_BUFFER) break;
            }
        }
        uint8_t junk[2048];
        while (recv(raw, junk, sizeof junk, MSG_DONTWAIT) > 0) {
        }
    }

    void settle() {
        for (int i = 0; i < 200; i++) {
            int pending = 0;
            ioctl(link_sock, FIONREAD, &pending);
            if (pending == 0) break;
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Harness h;
    size_t pos = 0;
    while (pos + 3 <= size) {
        size_t n = (static_cast<size_t>(data[pos]) << 8 | data[pos + 1]) % 1300;
        uint8_t mode = data[pos + 2];
        pos += 3;
        n = std::min(n, size - pos);
        const uint8_t *d = data + pos;
        pos += n;
        if (mode & 1) {
            // Valid record of arbitrary plaintext, usually with the peer's direction.
            uint64_t ctr = ++h.counter;
            if (mode & 2) ctr |= BUD_COUNTER_ACCEPTOR;
            h.seal_and_send(d, n, ctr);
        } else {
            send(h.raw, d, n, 0);
        }
    }
    h.settle();
    h.drain_reader();
    return 0;
}
