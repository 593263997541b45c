#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "connection/udp.h"
#include "support/lossy_relay.h"

namespace {

int32_t recv_wait(int s, void *buf, uint32_t cap, sockaddr_in6 *from, PacketInfo *pi) {
    pollfd p{s, POLLIN, 0};
    poll(&p, 1, 2000);
    return network_recvmsg(s, buf, cap, from, pi);
}

TEST(Udp, PortZeroAndBusyPort) {
    int a;
    ASSERT_EQ(network_udp_socket(&a, 0), 0);
    ASSERT_NE(a, NET_INVALID_SOCKET);
    uint16_t port = socket_port(a);
    EXPECT_NE(port, 0);
    int b = 1234;
    EXPECT_EQ(network_udp_socket(&b, port), NET_ERROR_BASE - NET_ADDRINUSE);
    EXPECT_EQ(b, NET_INVALID_SOCKET);
    EXPECT_EQ(network_last_error(), NET_ADDRINUSE);
    close(a);
}

TEST(Udp, Ipv4PeerIsMappedAndReplyCarriesIpv4Info) {
    int s;
    ASSERT_EQ(network_udp_socket(&s, 0), 0);
    // A plain IPv4 socket, connected, so it takes the answer only from 127.0.0.1 and s's port.
    int peer = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(socket_port(s));
    ASSERT_EQ(connect(peer, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
    ASSERT_EQ(send(peer, "ping", 4, 0), 4);

    char buf[16], text[64];
    sockaddr_in6 from{};
    PacketInfo pi{};
    ASSERT_EQ(recv_wait(s, buf, sizeof buf, &from, &pi), 4);
    EXPECT_TRUE(IN6_IS_ADDR_V4MAPPED(&from.sin6_addr));
    network_addr_text(&from, text, sizeof text, true);
    EXPECT_STREQ(text, "127.0.0.1");
    ASSERT_EQ(pi.family, NET_FAMILY_IPV4);
    EXPECT_EQ(pi.ipv4.addr[0] << 24 | pi.ipv4.addr[1] << 16 | pi.ipv4.addr[2] << 8 | pi.ipv4.addr[3],
              0x7F000001);

    // Answer from the address the request arrived at.
    ASSERT_EQ(network_sendmsg(s, "pong", 4, &from, &pi), 4);
    pollfd p{peer, POLLIN, 0};
    poll(&p, 1, 2000);
    ASSERT_EQ(recv(peer, buf, sizeof buf, MSG_DONTWAIT), 4);
    EXPECT_EQ(std::memcmp(buf, "pong", 4), 0);
    close(peer);
    close(s);
}

TEST(Udp, Ipv6PacketInfoRoundTripAndSegmentedSend) {
    int a, b;
    ASSERT_EQ(network_udp_socket(&a, 0), 0);
    ASSERT_EQ(network_udp_socket(&b, 0), 0);
    sockaddr_in6 to = loopback6(socket_port(b)), from;
    PacketInfo pi;
    char buf[4];
    ASSERT_EQ(network_sendmsg(a, "x", 1, &to, nullptr), 1);
    ASSERT_EQ(recv_wait(b, buf, sizeof buf, &from, &pi), 1);
    ASSERT_EQ(pi.family, NET_FAMILY_IPV6);
    EXPECT_TRUE(IN6_IS_ADDR_LOOPBACK(reinterpret_cast<in6_addr *>(pi.ipv6.addr)));
    ASSERT_EQ(network_sendmsg(b, "y", 1, &from, &pi), 1);
    ASSERT_EQ(recv_wait(a, buf, sizeof buf, nullptr, nullptr), 1);
    // Nothing waiting is a would-block code, not a datagram.
    EXPECT_EQ(network_recvmsg(a, buf, sizeof buf, nullptr, nullptr), NET_ERROR_BASE - NET_WOULDBLOCK);

    // A segmented send arrives as separate datagrams.
    uint8_t data[350];
    for (int i = 0; i < 350; i++) data[i] = static_cast<uint8_t>(i);
    int32_t r = network_sendmsg_segments(a, data, 350, 100, &to, nullptr);
    if (r == NET_ERROR_BASE - 10045) GTEST_SKIP() << "no kernel segmentation";
    ASSERT_EQ(r, 350);
    for (int k = 0; k < 4; k++) {
        uint8_t seg[400];
        ASSERT_EQ(recv_wait(b, seg, sizeof seg, nullptr, nullptr), k < 3 ? 100 : 50);
        EXPECT_EQ(seg[0], static_cast<uint8_t>(k * 100));
    }
    close(a);
    close(b);
}

TEST(Udp, ErrorsMapToSocketCodesAndSpeedRule) {
    sockaddr_in6 a;
    EXPECT_FALSE(network_make_addr("not an address", 80, &a));
    ASSERT_TRUE(network_make_addr("10.1.2.3", 80, &a));
    // A send to a closed descriptor maps through the table (EBADF is 10009).
    EXPECT_EQ(network_sendmsg(-1, "x", 1, &a, nullptr), NET_ERROR_BASE - 10009);
    EXPECT_EQ(network_set_last_error(), -1);
    EXPECT_EQ(network_last_error(), NET_SYSCALLFAILURE);
    // A Wi-Fi adapter sending at 866 Mbit/s and receiving at 400 reports 400.
    EXPECT_FLOAT_EQ(network_link_speed(866000000, 400000000), 400.0f);
    EXPECT_FLOAT_EQ(network_link_speed(0, 100000000), 100.0f);
    NetInterfaceInfo rows[8];
    uint32_t n = network_get_interface_info(rows);
    EXPECT_LE(n, 8u);
    for (uint32_t i = 0; i < n; i++) EXPECT_NE(rows[i].name[0], 0);
}

}  // namespace
