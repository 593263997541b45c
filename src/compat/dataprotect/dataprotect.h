// Stands in for the Windows machine-scope data protection (CryptProtectData
// and CryptUnprotectData with CRYPTPROTECT_LOCAL_MACHINE, no description, no
// extra entropy): bytes are sealed with AES-256-GCM under a machine key, 32
// random bytes in a file under the machine root, made on the first protect
// (mode 0600, owned by whoever made it: root on a real machine). A blob is
// "ZDP1", a 12-byte random nonce, the cipher text and the 16-byte tag. A blob
// from another machine, or one changed in any bit, fails to unprotect.
#pragma once

#include <cstddef>
#include <cstdint>

#define DP_KEY_FILE "var/lib/zarvek/machine.key"  // under the machine root
#define DP_KEY_SIZE 32
#define DP_MAGIC "ZDP1"
#define DP_MAGIC_SIZE 4
#define DP_OVERHEAD (DP_MAGIC_SIZE + 12 + 16)
#define DP_MAX_SIZE (64u << 20)  // largest text either way

struct DpBlob {
    uint8_t *data;  // heap (VKO_Alloc)
    size_t size;
};

// False when the machine key cannot be read or made, or the input is too large.
bool dp_protect(const void *data, size_t size, DpBlob *out);
// False for anything that is not a blob sealed with this machine's key.
bool dp_unprotect(const void *blob, size_t size, DpBlob *out);
// Clears and frees the bytes.
void dp_blob_free(DpBlob *blob);

// Flushes a folder's entries to disk (fsync on the folder), so a rename, link
// or new entry in it survives a power loss; every such flush of the machine
// key and the identity files goes through here. False when it fails.
bool dp_sync_folder(const char *folder);
// Tests: called with each folder before it is flushed (null: none).
void dp_set_sync_observer(void (*observer)(const char *folder));
