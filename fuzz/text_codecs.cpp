// UTF-8/UTF-16 conversion and hex reading on arbitrary bytes: never out of
// bounds, always terminated, and what converts cleanly converts back.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/memory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;

    // First byte picks the destination size, the rest is the text.
    uint32_t room = data[0];
    std::vector<char> text((const char *)data + 1, (const char *)data + size);
    text.push_back('\0');

    std::vector<char16_t> wide(room ? room : 1);
    bool ok = VKO_MultiToWide(text.data(), wide.data(), room);
    if (room > 0 && std::find(wide.begin(), wide.end(), 0) == wide.end()) __builtin_trap();

    if (ok) {
        std::vector<char> back(strlen(text.data()) + 1);
        if (!VKO_WideToMulti(wide.data(), back.data(), (uint32_t)back.size())) __builtin_trap();
        if (strcmp(back.data(), text.data()) != 0) __builtin_trap();
    }

    // Through the scratch ring, within the sizes it can hold.
    size_t n = strlen(text.data());
    if (n < 2048) {
        std::vector<char16_t> full(n + 1);
        bool valid = VKO_MultiToWide(text.data(), full.data(), (uint32_t)full.size());
        char *m = VKO_WideToMultiTLocal(VKO_MultiToWideTLocal(text.data()));
        if (valid && strcmp(m, text.data()) != 0) __builtin_trap();
    }

    // The same bytes read as UTF-16 units.
    std::vector<char16_t> units((size - 1) / 2 + 1);
    memcpy(units.data(), data + 1, (size - 1) / 2 * 2);
    std::vector<char> multi(room ? room : 1);
    VKO_WideToMulti(units.data(), multi.data(), room);
    char *heap = VKO_WideToMultiAlloc(units.data());
    VKO_Free(heap);

    std::vector<uint8_t> bytes(room);
    VKO_HexToBytes(text.data(), bytes.data(), bytes.size());

    return 0;
}
