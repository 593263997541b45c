#include "platform/build_info.h"

extern "C" const char *zarvek_version(void) {
    return ZARVEK_VERSION;
}
