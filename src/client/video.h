// The client's software video decoder: H.264 access units in, pictures out as
// the renderers read them (one render description and its planes laid one
// after another). Used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/gfx/gfx.h"

struct ClientVideoDecoder;

ClientVideoDecoder *client_video_decoder_create(void);
void client_video_decoder_destroy(ClientVideoDecoder **dec);

// Decodes one access unit. 1: a new picture, *desc and *image describe it
// (the planes stay valid until the next call); 0: nothing to show yet, or the
// unit was damaged (the last good picture stays the one to show, and pictures
// resume at the next key frame); negative: the decoder failed.
int32_t client_video_decode(ClientVideoDecoder *dec, const uint8_t *data, size_t size, VKO_RenderDesc *desc,
                            const void **image);

// Access units the decoder refused or marked damaged since creation.
uint64_t client_video_errors(const ClientVideoDecoder *dec);
