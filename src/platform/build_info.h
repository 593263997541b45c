// Version of this build of the library.
#pragma once

#define ZARVEK_VERSION "0.1.0"

extern "C" const char *zarvek_version(void);
