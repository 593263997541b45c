#include "connection/crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace {

constexpr size_t kHeader = 12;   // SCTP common header
constexpr size_t kChecksum = 8;  // offset of its checksum field

// Bytewise, for processors without the instruction.
constexpr std::array<uint32_t, 256> kTable = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0x82F63B78u & (0u - (c & 1)));
        t[i] = c;
    }
    return t;
}();

uint32_t crc_sw(uint32_t crc, const uint8_t *p, size_t n) {
    for (; n > 0; p++, n--) crc = kTable[(crc ^ *p) & 0xFF] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
// The processor's CRC-32C instruction, eight bytes a step.
__attribute__((target("sse4.2"))) uint32_t crc_hw(uint32_t crc, const uint8_t *p, size_t n) {
    uint64_t c = crc;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t v;
        std::memcpy(&v, p, 8);
        c = _mm_crc32_u64(c, v);
    }
    crc = static_cast<uint32_t>(c);
    for (; n > 0; p++, n--) crc = _mm_crc32_u8(crc, *p);
    return crc;
}

const bool g_hw = __builtin_cpu_supports("sse4.2");
#endif

uint32_t crc_run(uint32_t crc, const uint8_t *p, size_t n) {
#if defined(__x86_64__)
    if (g_hw) return crc_hw(crc, p, n);
#endif
    return crc_sw(crc, p, n);
}

// The checksum of a packet whose checksum field reads as zero.
uint32_t packet_crc(const uint8_t *packet, size_t length) {
    static const uint8_t zero[4] = {};
    uint32_t c = crc_run(0xFFFFFFFFu, packet, kChecksum);
    c = crc_run(c, zero, sizeof zero);
    return ~crc_run(c, packet + kHeader, length - kHeader);
}

}  // namespace

uint32_t crc32c(const void *data, size_t length) {
    return ~crc_run(0xFFFFFFFFu, static_cast<const uint8_t *>(data), length);
}

void sctp_checksum_fill(uint8_t *packet, size_t length) {
    if (length < kHeader) return;
    uint32_t c = packet_crc(packet, length);
    std::memcpy(packet + kChecksum, &c, sizeof c);
}

bool sctp_checksum_ok(const uint8_t *packet, size_t length) {
    if (length < kHeader) return false;
    uint32_t stored;
    std::memcpy(&stored, packet + kChecksum, sizeof stored);
    return stored == packet_crc(packet, length);
}
