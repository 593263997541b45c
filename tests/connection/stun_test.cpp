// STUN messages byte for byte, with MESSAGE-INTEGRITY and FINGERPRINT
// recomputed here by raw OpenSSL and a bitwise CRC-32.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <openssl/hmac.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "connection/stun.h"
#include "support/lossy_relay.h"
#include "support/stun_server.h"

namespace {

uint32_t crc32_bitwise(const uint8_t *d, size_t n) {
    uint32_t c = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) {
        c ^= d[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

uint32_t be32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3];
}
uint16_t be16(const uint8_t *p) {
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// Checks the last 32 bytes of m are a valid MESSAGE-INTEGRITY + FINGERPRINT for pwd.
void expect_integrity(const std::vector<uint8_t> &m, const std::string &pwd) {
    size_t n = m.size() - 32;
    ASSERT_EQ(be16(&m[n]), 0x0008);
    ASSERT_EQ(be16(&m[n + 2]), 20);
    std::vector<uint8_t> copy(m.begin(), m.begin() + n);
    copy[2] = static_cast<uint8_t>((n + 4) >> 8);
    copy[3] = static_cast<uint8_t>(n + 4);
    unsigned len = 0;
    uint8_t mac[20];
    HMAC(EVP_sha1(), pwd.data(), static_cast<int>(pwd.size()), copy.data(), copy.size(), mac, &len);
    EXPECT_EQ(std::memcmp(mac, &m[n + 4], 20), 0);
    EXPECT_EQ(be16(&m[n + 24]), 0x8028);
    EXPECT_EQ(be16(&m[n + 26]), 4);
    EXPECT_EQ(be16(&m[2]), n + 12);
    EXPECT_EQ(be32(&m[n + 28]), crc32_bitwise(m.data(), n + 24) ^ 0x5354554Eu);
}

struct Sockets {
    int s = -1, r = -1;
    Sockets() {
        network_udp_socket(&s, 0);
        network_udp_socket(&r, 0);
    }
    ~Sockets() {
        close(s);
        close(r);
    }
    std::vector<uint8_t> take(int fd, sockaddr_in6 *from = nullptr, PacketInfo *pi = nullptr) {
        pollfd p{fd, POLLIN, 0};
        poll(&p, 1, 2000);
        uint8_t buf[1024];
        int32_t n = network_recvmsg(fd, buf, sizeof buf, from, pi);
        return n > 0 ? std::vector<uint8_t>(buf, buf + n) : std::vector<uint8_t>();
    }
};

Creds make_creds(const char *ufrag, const char *pwd) {
    Creds c{};
    std::snprintf(c.ice_ufrag, sizeof c.ice_ufrag, "%s", ufrag);
    std::snprintf(c.ice_pwd, sizeof c.ice_pwd, "%s", pwd);
    return c;
}

TEST(Stun, ServerRequestIsTheBareHeader) {
    Sockets k;
    Creds own = make_creds("ownufrag", "ownpassword"), peer = make_creds("peerufra", "peerpassword");
    char tx[25];
    ASSERT_EQ(stun_send_request(k.s, "127.0.0.1", socket_port(k.r), nullptr, 128, &own, &peer, nullptr, tx),
              20);
    std::vector<uint8_t> m = k.take(k.r);
    ASSERT_EQ(m.size(), 20u);
    EXPECT_EQ(be16(&m[0]), 0x0001);
    EXPECT_EQ(be16(&m[2]), 0);
    EXPECT_EQ(be32(&m[4]), 0x2112A442u);
    EXPECT_EQ(std::string(m.begin() + 8, m.begin() + 20), "ownufrpeeruf");
    char want[25];
    stun_txid_hex(m.data(), want);
    EXPECT_STREQ(tx, want);
    EXPECT_EQ(std::string(want), "6f776e756672706565727566");

    // Without both records the id is random.
    ASSERT_EQ(stun_send_request(k.s, "::1", socket_port(k.r), nullptr, 128, nullptr, nullptr, nullptr, tx),
              20);
    m = k.take(k.r);
    ASSERT_EQ(m.size(), 20u);
}

TEST(Stun, ConnectivityCheckByteForByte) {
    Sockets k;
    Creds own = make_creds("abcdefgh", "ownpwd-0123456789abcdef01234567"),
          peer = make_creds("ijklmnop", "peerpwd-0123456789abcdef0123456");
    char tx[25];
    ASSERT_EQ(stun_send_request(k.s, "::1", socket_port(k.r), nullptr, 128, &own, &peer, peer.ice_pwd, tx),
              104);
    std::vector<uint8_t> m = k.take(k.r);
    ASSERT_EQ(m.size(), 104u);
    EXPECT_EQ(be16(&m[0]), 0x0001);
    EXPECT_EQ(be16(&m[2]), 84);
    EXPECT_EQ(be32(&m[4]), 0x2112A442u);
    // USERNAME peer:own, 17 bytes, padded to 20
    EXPECT_EQ(be16(&m[20]), 0x0006);
    EXPECT_EQ(be16(&m[22]), 17);
    EXPECT_EQ(std::string(m.begin() + 24, m.begin() + 41), "ijklmnop:abcdefgh");
    EXPECT_EQ(m[41] | m[42] | m[43], 0);
    EXPECT_EQ(be16(&m[44]), 0xC057);
    EXPECT_EQ(be16(&m[46]), 4);
    EXPECT_EQ(be32(&m[48]), 50u);
    EXPECT_EQ(be16(&m[52]), 0x8029);
    EXPECT_EQ(be16(&m[54]), 8);
    EXPECT_EQ(be16(&m[64]), 0x0024);
    EXPECT_EQ(be16(&m[66]), 4);
    EXPECT_EQ(be32(&m[68]), 0x6E001EFFu);
    expect_integrity(m, peer.ice_pwd);
    char want[25];
    stun_txid_hex(m.data(), want);
    EXPECT_STREQ(tx, want);
    // The peer validates it with its own password, and nothing else.
    EXPECT_TRUE(stun_check_request(m.data(), 104, peer.ice_pwd));
    EXPECT_FALSE(stun_check_request(m.data(), 104, own.ice_pwd));
    std::vector<uint8_t> bad = m;
    bad[30] ^= 1;
    EXPECT_FALSE(stun_check_request(bad.data(), 104, peer.ice_pwd));
}

TEST(Stun, SuccessResponsesAre64And76Bytes) {
    Sockets k;
    std::vector<uint8_t> req(52, 0);
    req[1] = 1;
    for (int i = 0; i < 12; i++) req[8 + i] = static_cast<uint8_t>(0xA0 + i);
    sockaddr_in6 v4;
    ASSERT_TRUE(network_make_addr("127.0.0.1", socket_port(k.r), &v4));
    ASSERT_EQ(stun_send_success(k.s, req.data(), 52, &v4, nullptr, "pw"), 64);
    std::vector<uint8_t> m = k.take(k.r);
    ASSERT_EQ(m.size(), 64u);
    EXPECT_EQ(be16(&m[0]), 0x0101);
    EXPECT_EQ(std::memcmp(&m[8], &req[8], 12), 0);
    EXPECT_EQ(be16(&m[20]), 0x0020);
    EXPECT_EQ(be16(&m[22]), 8);
    EXPECT_EQ(m[24], 0);
    EXPECT_EQ(m[25], 1);
    EXPECT_EQ(be16(&m[26]), socket_port(k.r) ^ 0x2112);
    EXPECT_EQ(be32(&m[28]), 0x7F000001u ^ 0x2112A442u);
    expect_integrity(m, "pw");

    sockaddr_in6 v6;
    ASSERT_TRUE(network_make_addr("::1", socket_port(k.r), &v6));
    ASSERT_EQ(stun_send_success(k.s, req.data(), 52, &v6, nullptr, "pw"), 76);
    m = k.take(k.r);
    ASSERT_EQ(m.size(), 76u);
    EXPECT_EQ(be16(&m[22]), 20);
    EXPECT_EQ(m[25], 2);
    uint8_t addr[16];
    std::memcpy(addr, &m[28], 16);
    const uint8_t cookie[4] = {0x21, 0x12, 0xA4, 0x42};
    stun_xor_address(addr, cookie, &m[8]);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(reinterpret_cast<in6_addr *>(addr)));
    expect_integrity(m, "pw");

    EXPECT_EQ(stun_send_success(k.s, req.data(), 51, &v4, nullptr, "pw"), STUN_ERR_SHORT_REQUEST);
}

TEST(Stun, ValidationBoundsAndScan) {
    // A request whose USERNAME holds the bytes 00 08 00 14 still validates at the real attribute.
    std::vector<uint8_t> m(20 + 4 + 28 + 32, 0);
    m[1] = 1;
    m[4] = 0x21;
    m[5] = 0x12;
    m[6] = 0xA4;
    m[7] = 0x42;
    m[20] = 0x00;
    m[21] = 0x06;
    m[23] = 28;
    const uint8_t trap[] = {0x00, 0x08, 0x00, 0x14};
    std::memcpy(&m[24], trap, 4);
    m[24 + 24] = 0x80;
    m[24 + 25] = 0x28;
    m[24 + 27] = 0x04;
    uint32_t n = stun_add_integrity(m.data(), "secret", 52);
    ASSERT_EQ(n, 84u);
    EXPECT_TRUE(stun_check_request(m.data(), n, "secret"));
    expect_integrity(m, "secret");

    EXPECT_FALSE(stun_check_request(m.data(), 51, "secret"));
    std::vector<uint8_t> big(257, 0);
    std::memcpy(big.data(), m.data(), 20);
    uint32_t bn = stun_add_integrity(big.data(), "secret", 225);
    ASSERT_EQ(bn, 257u);
    EXPECT_FALSE(stun_check_request(big.data(), 257, "secret"));
    std::vector<uint8_t> ok256(256, 0);
    std::memcpy(ok256.data(), m.data(), 20);
    stun_add_integrity(ok256.data(), "secret", 224);
    EXPECT_TRUE(stun_check_request(ok256.data(), 256, "secret"));
    // Garbage of every length in range never validates nor reads out of bounds.
    std::vector<uint8_t> junk(256);
    for (size_t i = 0; i < junk.size(); i++) junk[i] = static_cast<uint8_t>(i * 37 + 11);
    for (uint32_t len = 0; len <= 256; len++) EXPECT_FALSE(stun_check_request(junk.data(), len, "secret"));
}

TEST(Stun, ServerReplyParsing) {
    uint8_t r[44] = {0x01, 0x01, 0x00, 0x0C, 0x21, 0x12, 0xA4, 0x42, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    r[21] = 0x20;
    r[23] = 8;
    r[25] = 1;
    uint16_t xp = 40000 ^ 0x2112;
    r[26] = static_cast<uint8_t>(xp >> 8);
    r[27] = static_cast<uint8_t>(xp);
    const uint8_t ip[4] = {203, 0, 113, 7};
    const uint8_t cookie[4] = {0x21, 0x12, 0xA4, 0x42};
    for (int i = 0; i < 4; i++) r[28 + i] = ip[i] ^ cookie[i];
    uint8_t addr[16];
    uint16_t port = 0;
    ASSERT_TRUE(stun_parse_server_reply(r, 32, addr, &port));
    EXPECT_EQ(port, 40000);
    EXPECT_TRUE(IN6_IS_ADDR_V4MAPPED(reinterpret_cast<in6_addr *>(addr)));
    EXPECT_EQ(std::memcmp(addr + 12, ip, 4), 0);
    // An added attribute (SOFTWARE, FINGERPRINT) makes it longer: rejected.
    EXPECT_FALSE(stun_parse_server_reply(r, 40, addr, &port));
    EXPECT_FALSE(stun_parse_server_reply(r, 44, addr, &port));  // family 1 in 44 bytes
    r[1] = 0x11;                                                // error response
    EXPECT_FALSE(stun_parse_server_reply(r, 32, addr, &port));
    r[1] = 0x01;

    // IPv6 form.
    r[3] = 0x18;
    r[23] = 20;
    r[25] = 2;
    uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x42};
    std::memcpy(&r[28], v6, 16);
    stun_xor_address(&r[28], cookie, &r[8]);
    ASSERT_TRUE(stun_parse_server_reply(r, 44, addr, &port));
    EXPECT_EQ(std::memcmp(addr, v6, 16), 0);
    EXPECT_FALSE(stun_parse_server_reply(r, 32, addr, &port));
    EXPECT_FALSE(stun_parse_server_reply(r, 0, addr, &port));
}

TEST(Stun, ReflexiveAddressFromALoopbackServer) {
    StunServer server;
    ASSERT_TRUE(server.start());
    int s;
    ASSERT_EQ(network_udp_socket(&s, 0), 0);
    for (const char *host : {"127.0.0.1", "::1"}) {
        char tx[25];
        ASSERT_EQ(stun_send_request(s, host, server.port(), nullptr, 128, nullptr, nullptr, nullptr, tx), 20);
        pollfd p{s, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        uint8_t buf[128];
        int32_t n = network_recvmsg(s, buf, sizeof buf, nullptr, nullptr);
        bool v4 = std::strchr(host, ':') == nullptr;
        ASSERT_EQ(n, v4 ? 32 : 44);
        char got[25];
        stun_txid_hex(buf, got);
        EXPECT_STREQ(got, tx);
        uint8_t addr[16];
        uint16_t port = 0;
        ASSERT_TRUE(stun_parse_server_reply(buf, static_cast<uint32_t>(n), addr, &port));
        EXPECT_EQ(port, socket_port(s));
        if (v4) {
            EXPECT_TRUE(IN6_IS_ADDR_V4MAPPED(reinterpret_cast<in6_addr *>(addr)));
            EXPECT_EQ(addr[12], 127);
        } else {
            EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(reinterpret_cast<in6_addr *>(addr)));
        }
    }
    EXPECT_EQ(server.answered(), 2u);
    close(s);
}

TEST(Stun, RecognisedOnATransportSocket) {
    const uint8_t req[3] = {0, 1, 0}, resp[3] = {1, 1, 0}, dtls[3] = {0x17, 0xFE, 0xFD};
    EXPECT_TRUE(stun_is_stun(req, 3));
    EXPECT_TRUE(stun_is_stun(resp, 3));
    EXPECT_FALSE(stun_is_stun(req, 2));
    EXPECT_FALSE(stun_is_stun(dtls, 3));
}

TEST(Stun, TtlIsPerDatagram) {
    Sockets k;
    int on = 1;
    setsockopt(k.r, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    Creds own = make_creds("abcdefgh", "a"), peer = make_creds("ijklmnop", "b");
    ASSERT_GT(stun_send_request(k.s, "127.0.0.1", socket_port(k.r), nullptr, 4, &own, &peer, "b", nullptr),
              0);
    ASSERT_GT(stun_send_request(k.s, "127.0.0.1", socket_port(k.r), nullptr, 128, &own, &peer, "b", nullptr),
              0);
    int seen[2] = {-1, -1};
    for (int i = 0; i < 2; i++) {
        pollfd p{k.r, POLLIN, 0};
        poll(&p, 1, 2000);
        uint8_t buf[256];
        iovec iov{buf, sizeof buf};
        alignas(cmsghdr) uint8_t ctl[256];
        msghdr msg{};
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = ctl;
        msg.msg_controllen = sizeof ctl;
        ASSERT_GT(recvmsg(k.r, &msg, 0), 0);
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
                std::memcpy(&seen[i], CMSG_DATA(c), sizeof(int));
    }
    EXPECT_EQ(seen[0], 4);
    EXPECT_EQ(seen[1], 128);
}

}  // namespace
