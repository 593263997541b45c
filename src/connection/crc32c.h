// CRC-32C (Castagnoli), the checksum of SCTP packets. usrsctp runs with its
// checksum offloaded so that the links' threads compute it outside the lock
// that serialises the library: every packet leaving the library gets its
// checksum here before sealing, and every packet entering it is checked here
// first. On the wire nothing changes.
#pragma once

#include <cstddef>
#include <cstdint>

// The finished checksum of length bytes, as usrsctp_crc32c answers it.
uint32_t crc32c(const void *data, size_t length);

// An SCTP packet's checksum field (bytes 8-11 of the common header) filled in
// from the rest of the packet. Packets shorter than the header are left.
void sctp_checksum_fill(uint8_t *packet, size_t length);

// True when the packet is at least a common header long and its checksum
// field matches the packet.
bool sctp_checksum_ok(const uint8_t *packet, size_t length);
