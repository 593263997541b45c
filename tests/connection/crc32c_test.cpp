// SCTP's checksum as the links compute it outside the library: the published
// CRC-32C values, agreement with usrsctp's own function at every length and
// alignment, and real packets made by usrsctp with its own checksum (in a
// child process, so that this process's library stays untouched).
#include "connection/crc32c.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <usrsctp.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> noise(size_t n, uint32_t seed) {
    std::vector<uint8_t> v(n);
    for (uint8_t &b : v) {
        seed = seed * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(seed >> 24);
    }
    return v;
}

TEST(Crc32c, PublishedValuesAndTheLibrarysOwnAtEveryLengthAndAlignment) {
    EXPECT_EQ(crc32c("123456789", 9), 0xE3069283u);
    std::vector<uint8_t> zeros(32, 0), ones(32, 0xFF), up(32);
    for (uint8_t i = 0; i < 32; i++) up[i] = i;
    EXPECT_EQ(crc32c(zeros.data(), 32), 0x8A9136AAu);
    EXPECT_EQ(crc32c(ones.data(), 32), 0x62A8AB43u);
    EXPECT_EQ(crc32c(up.data(), 32), 0x46DD794Eu);
    EXPECT_EQ(crc32c(nullptr, 0), 0u);

    std::vector<uint8_t> buf = noise(1300, 7);
    for (size_t offset = 0; offset < 8; offset++)
        for (size_t len = 0; len + offset <= 1300; len += (len < 64 ? 1 : 37))
            ASSERT_EQ(crc32c(buf.data() + offset, len), usrsctp_crc32c(buf.data() + offset, len))
                << "offset " << offset << " length " << len;
}

TEST(Crc32c, FillAndCheckOfAnSctpPacket) {
    std::vector<uint8_t> p = noise(1200, 3);
    sctp_checksum_fill(p.data(), p.size());
    EXPECT_TRUE(sctp_checksum_ok(p.data(), p.size()));
    // Every damaged bit is seen, in the checksum field too.
    for (size_t bit = 0; bit < p.size() * 8; bit += 13) {
        p[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_FALSE(sctp_checksum_ok(p.data(), p.size())) << "bit " << bit;
        p[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    }
    EXPECT_FALSE(sctp_checksum_ok(p.data(), p.size() - 1));
    // Shorter than the common header: refused, and left as it is.
    std::vector<uint8_t> tiny(11, 0x5A);
    EXPECT_FALSE(sctp_checksum_ok(tiny.data(), tiny.size()));
    sctp_checksum_fill(tiny.data(), tiny.size());
    EXPECT_EQ(tiny, std::vector<uint8_t>(11, 0x5A));
    EXPECT_FALSE(sctp_checksum_ok(nullptr, 0));
}

int g_pipe = -1;

int capture(void *, void *buf, size_t len, uint8_t, uint8_t) {
    uint32_t n = static_cast<uint32_t>(len);
    if (write(g_pipe, &n, sizeof n) != sizeof n || write(g_pipe, buf, len) != static_cast<ssize_t>(len))
        _exit(3);
    return 0;
}

// The packets usrsctp sends when asked to connect, with its own checksums.
std::vector<std::vector<uint8_t>> packets_from_the_library() {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        g_pipe = fds[1];
        usrsctp_init_nothreads(0, capture, nullptr);
        static int self;
        usrsctp_register_address(&self);
        struct socket *so = usrsctp_socket(AF_CONN, SOCK_STREAM, IPPROTO_SCTP, nullptr, nullptr, 0, nullptr);
        sockaddr_conn sa{};
        sa.sconn_family = AF_CONN;
        sa.sconn_port = htons(5000);
        sa.sconn_addr = &self;
        usrsctp_set_non_blocking(so, 1);
        if (!so || usrsctp_bind(so, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0) _exit(2);
        // Connecting to itself: an INIT, then the answers to it.
        usrsctp_connect(so, reinterpret_cast<sockaddr *>(&sa), sizeof sa);
        _exit(0);
    }
    close(fds[1]);
    std::vector<std::vector<uint8_t>> out;
    uint32_t n;
    while (read(fds[0], &n, sizeof n) == sizeof n && n < 65536) {
        std::vector<uint8_t> p(n);
        if (read(fds[0], p.data(), n) != static_cast<ssize_t>(n)) break;
        out.push_back(std::move(p));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    return out;
}

TEST(Crc32c, PacketsTheLibraryChecksummedItselfPassAndAreFilledAlike) {
    std::vector<std::vector<uint8_t>> packets = packets_from_the_library();
    ASSERT_FALSE(packets.empty());
    for (const std::vector<uint8_t> &p : packets) {
        ASSERT_GE(p.size(), 12u);
        EXPECT_TRUE(sctp_checksum_ok(p.data(), p.size()));
        std::vector<uint8_t> again = p;
        std::memset(again.data() + 8, 0, 4);
        sctp_checksum_fill(again.data(), again.size());
        EXPECT_EQ(again, p);
    }
}

}  // namespace
