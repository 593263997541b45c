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
#include "support/net/stun_server.h"

namespace {

const uint8_t kCookie[4] = {0x21, 0x12, 0xA4, 0x42};

uint32_t crc32_bitwise(const uint8_t *d, size_t n) {
    uint32_t c = 0xFFFFFFFF;
    for (size_t i = 0; i < n; i++) {
        c ^= d[i];
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

// Lower-case hex of bytes [from, to) of m.
std::string hex(const std::vector<uint8_t> &m, size_t from, size_t to) {
    std::string s;
    char b[3];
    for (size_t i = from; i < to && i < m.size(); i++) {
        std::snprintf(b, sizeof b, "%02x", m[i]);
        s += b;
    }
    return s;
}

// Checks the last 32 bytes of m are a valid MESSAGE-INTEGRITY + FINGERPRINT for pwd.
void expect_integrity(const std::vector<uint8_t> &m, const std::string &pwd) {
    size_t n = m.size() - 32;
    std::vector<uint8_t> copy(m.begin(), m.begin() + static_cast<long>(n));
    copy[2] = static_cast<uint8_t>((n + 4) >> 8);  // length as it stood when the MAC was taken
    copy[3] = static_cast<uint8_t>(n + 4);
    unsigned len = 0;
    uint8_t mac[20];
    HMAC(EVP_sha1(), pwd.data(), static_cast<int>(pwd.size()), copy.data(), copy.size(), mac, &len);
    uint32_t fp = crc32_bitwise(m.data(), n + 24) ^ 0x5354554Eu;
    std::vector<uint8_t> want = {0x00, 0x08, 0x00, 0x14};
    want.insert(want.end(), mac, mac + 20);
    want.insert(want.end(), {0x80, 0x28, 0x00, 0x04, uint8_t(fp >> 24), uint8_t(fp >> 16), uint8_t(fp >> 8),
                             uint8_t(fp)});
    EXPECT_EQ(hex(m, n, m.size()), hex(want, 0, want.size()));
    EXPECT_EQ(m[2] << 8 | m[3], n + 12);
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
    std::vector<uint8_t> take() {
        pollfd p{r, POLLIN, 0};
        poll(&p, 1, 2000);
        uint8_t buf[1024];
        int32_t n = network_recvmsg(r, buf, sizeof buf, nullptr, nullptr);
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
    std::vector<uint8_t> m = k.take();
    EXPECT_EQ(hex(m, 0, 64),
              "000100002112a442"
              "6f776e756672706565727566");  // own[0..5] peer[0..5]
    EXPECT_STREQ(tx, "6f776e756672706565727566");
    // Without both records the id is random, the message the same bare header.
    ASSERT_EQ(stun_send_request(k.s, "::1", socket_port(k.r), nullptr, 128, nullptr, nullptr, nullptr, tx),
              20);
    EXPECT_EQ(hex(k.take(), 0, 8), "000100002112a442");
}

TEST(Stun, ConnectivityCheckByteForByte) {
    Sockets k;
    Creds own = make_creds("abcdefgh", "ownpwd-0123456789abcdef01234567"),
          peer = make_creds("ijklmnop", "peerpwd-0123456789abcdef0123456");
    char tx[25];
    ASSERT_EQ(stun_send_request(k.s, "::1", socket_port(k.r), nullptr, 128, &own, &peer, peer.ice_pwd, tx),
              104);
    std::vector<uint8_t> m = k.take();
    ASSERT_EQ(m.size(), 104u);
    EXPECT_EQ(hex(m, 0, 8), "000100542112a442");
    EXPECT_EQ(hex(m, 8, 20), tx);
    // USERNAME "peer:own" (17 bytes, zero padded), cost 50, ICE-CONTROLLED (random), PRIORITY.
    EXPECT_EQ(std::string(m.begin() + 24, m.begin() + 41), "ijklmnop:abcdefgh");
    EXPECT_EQ(hex(m, 20, 24) + hex(m, 41, 56),
              "00060011"
              "000000"
              "c05700040000003280290008");
    EXPECT_EQ(hex(m, 64, 72), "002400046e001eff");
    expect_integrity(m, peer.ice_pwd);
    // The peer validates it with its own password, and nothing else.
    EXPECT_TRUE(stun_check_request(m.data(), 104, peer.ice_pwd));
    EXPECT_FALSE(stun_check_request(m.data(), 104, own.ice_pwd));
    m[30] ^= 1;
    EXPECT_FALSE(stun_check_request(m.data(), 104, peer.ice_pwd));
}

TEST(Stun, SuccessResponsesAre64And76Bytes) {
    Sockets k;
    std::vector<uint8_t> req(52, 0);
    req[1] = 1;
    for (int i = 0; i < 12; i++) req[8 + i] = static_cast<uint8_t>(0xA0 + i);
    uint16_t xport = socket_port(k.r) ^ 0x2112;
    char xp[5];
    std::snprintf(xp, sizeof xp, "%04x", xport);
    sockaddr_in6 v4, v6;
    ASSERT_TRUE(network_make_addr("127.0.0.1", socket_port(k.r), &v4));
    ASSERT_EQ(stun_send_success(k.s, req.data(), 52, &v4, nullptr, "pw"), 64);
    std::vector<uint8_t> m = k.take();
    ASSERT_EQ(m.size(), 64u);
    EXPECT_EQ(hex(m, 0, 32), "0101002c2112a442" + hex(req, 8, 20) + "00200008" + "0001" + xp + "5e12a443");
    expect_integrity(m, "pw");

    ASSERT_TRUE(network_make_addr("::1", socket_port(k.r), &v6));
    ASSERT_EQ(stun_send_success(k.s, req.data(), 52, &v6, nullptr, "pw"), 76);
    m = k.take();
    ASSERT_EQ(m.size(), 76u);
    EXPECT_EQ(hex(m, 20, 28), std::string("00200014") + "0002" + xp);
    stun_xor_address(&m[28], kCookie, &m[8]);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(reinterpret_cast<in6_addr *>(&m[28])));
    stun_xor_address(&m[28], kCookie, &m[8]);
    expect_integrity(m, "pw");

    EXPECT_EQ(stun_send_success(k.s, req.data(), 51, &v4, nullptr, "pw"), STUN_ERR_SHORT_REQUEST);
}

TEST(Stun, ValidationBoundsAndScan) {
    // A request whose USERNAME holds the bytes 00 08 00 14 (and 80 28 00 04 where
    // a FINGERPRINT would follow) still validates at the real attribute.
    std::vector<uint8_t> m = {0, 1, 0, 0, 0x21, 0x12, 0xA4, 0x42, 0, 0,  0, 0, 0, 0,
                              0, 0, 0, 0, 0,    0,    0,    6,    0, 28, 0, 8, 0, 0x14};
    m.resize(84);
    m[48] = 0x80, m[49] = 0x28, m[51] = 0x04;
    ASSERT_EQ(stun_add_integrity(m.data(), "secret", 52), 84u);
    EXPECT_TRUE(stun_check_request(m.data(), 84, "secret"));
    expect_integrity(m, "secret");
    EXPECT_FALSE(stun_check_request(m.data(), 51, "secret"));
    // 256 bytes is the largest request checked, 257 is refused.
    for (uint32_t size : {256u, 257u}) {
        std::vector<uint8_t> big(size, 0);
        std::memcpy(big.data(), m.data(), 20);
        stun_add_integrity(big.data(), "secret", size - 32);
        EXPECT_EQ(stun_check_request(big.data(), size, "secret"), size == 256);
    }
    // Garbage of every length in range never validates nor reads out of bounds.
    std::vector<uint8_t> junk(256);
    for (size_t i = 0; i < junk.size(); i++) junk[i] = static_cast<uint8_t>(i * 37 + 11);
    for (uint32_t len = 0; len <= 256; len++) EXPECT_FALSE(stun_check_request(junk.data(), len, "secret"));
}

TEST(Stun, ServerReplyOnlyInItsExactForms) {
    // 203.0.113.7 port 40000 (0x9C40), both XORed with the cookie.
    uint8_t r[44] = {0x01, 0x01, 0x00, 0x0C, 0x21, 0x12, 0xA4, 0x42, 1,    2,    3,
                     4,    5,    6,    7,    8,    9,    10,   11,   12,   0x00, 0x20,
                     0x00, 0x08, 0x00, 0x01, 0xBD, 0x52, 0xEA, 0x12, 0xD5, 0x45};
    uint8_t addr[16];
    uint16_t port = 0;
    ASSERT_TRUE(stun_parse_server_reply(r, 32, addr, &port));
    EXPECT_EQ(port, 40000);
    EXPECT_TRUE(IN6_IS_ADDR_V4MAPPED(reinterpret_cast<in6_addr *>(addr)));
    EXPECT_EQ(addr[12] << 24 | addr[13] << 16 | addr[14] << 8 | addr[15], 203 << 24 | 113 << 8 | 7);
    // An added attribute (SOFTWARE, FINGERPRINT) makes it longer.
    EXPECT_FALSE(stun_parse_server_reply(r, 40, addr, &port));
    EXPECT_FALSE(stun_parse_server_reply(r, 0, addr, &port));
    r[1] = 0x11;  // error response
    EXPECT_FALSE(stun_parse_server_reply(r, 32, addr, &port));
}

TEST(Stun, ReflexiveAddressFromALoopbackServer) {
    StunServer server;
    ASSERT_TRUE(server.start());
    int s;
    ASSERT_EQ(network_udp_socket(&s, 0), 0);
    for (const char *host : {"127.0.0.1", "::1"}) {
        char tx[25], got[25];
        ASSERT_EQ(stun_send_request(s, host, server.port(), nullptr, 128, nullptr, nullptr, nullptr, tx), 20);
        pollfd p{s, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        uint8_t buf[128];
        int32_t n = network_recvmsg(s, buf, sizeof buf, nullptr, nullptr);
        bool v4 = std::strchr(host, ':') == nullptr;
        ASSERT_EQ(n, v4 ? 32 : 44);
        stun_txid_hex(buf, got);
        EXPECT_STREQ(got, tx);
        uint8_t addr[16];
        uint16_t port = 0;
        ASSERT_TRUE(stun_parse_server_reply(buf, static_cast<uint32_t>(n), addr, &port));
        EXPECT_EQ(port, socket_port(s));
        sockaddr_in6 want;
        network_make_addr(host, 0, &want);
        EXPECT_EQ(std::memcmp(addr, &want.sin6_addr, 16), 0);
        EXPECT_FALSE(stun_parse_server_reply(buf, static_cast<uint32_t>(v4 ? 44 : 32), addr, &port));
    }
    EXPECT_EQ(server.answered(), 2u);
    close(s);
}

TEST(Stun, TtlIsPerDatagram) {
    Sockets k;
    int on = 1;
    setsockopt(k.r, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
    Creds own = make_creds("abcdefgh", "a"), peer = make_creds("ijklmnop", "b");
    for (uint32_t ttl : {4u, 128u}) {
        ASSERT_GT(
            stun_send_request(k.s, "127.0.0.1", socket_port(k.r), nullptr, ttl, &own, &peer, "b", nullptr),
            0);
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
        int seen = -1;
        for (cmsghdr *c = CMSG_FIRSTHDR(&msg); c; c = CMSG_NXTHDR(&msg, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL)
                std::memcpy(&seen, CMSG_DATA(c), sizeof(int));
        EXPECT_EQ(seen, static_cast<int>(ttl));
    }
}

}  // namespace
