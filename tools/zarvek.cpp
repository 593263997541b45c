// Command-line entry to the library's demonstrations.
#include <cstdio>
#include <cstring>

#include "platform/build_info.h"

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("zarvek %s\n", zarvek_version());
        return 0;
    }
    std::printf("zarvek %s\n", zarvek_version());
    return 0;
}
