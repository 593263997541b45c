// The host settings record as JSON between the host and client processes:
// the virtual device switches and the three video streams.
#pragma once

#include <cstdint>

#include "util/config_records.h"

// New JSON text (caller frees with VKO_Free).
char *host_config_to_json(const HostConfig *config, int32_t host_os);

// Fills out from text over base (the schema's defaults when null). Any error
// leaves out equal to base: never a half-filled record. With host_os given,
// it receives the last stream entry's "hostOS" (0 when missing).
void host_config_from_json(HostConfig *out, const char *text, const HostConfig *base, int32_t *host_os);
