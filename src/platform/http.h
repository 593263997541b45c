// HTTP(S) client on libcurl: one synchronous request that returns the whole
// body, and an asynchronous front end that runs requests on a process-wide
// thread pool and lets the caller poll them by slot index (0 means none).
#pragma once

#include <cstdint>

#define VKO_HTTP_USER_AGENT "libvekora/v4.0"
#define VKO_HTTP_BODY_LIMIT 0x40000000u  // 1 GiB
// An image request's body: a picture file (avatar, thumbnail).
#define VKO_HTTP_IMAGE_BODY_LIMIT (16u << 20)
// A compressed body decodes to at most this many times the bytes received,
// beyond a first MiB that any response may decode to.
#define VKO_HTTP_INFLATE_RATIO 100u
#define VKO_HTTP_INFLATE_FLOOR (1u << 20)
// Redirects followed before the request fails.
#define VKO_HTTP_MAX_REDIRECTS 10

// Results of VKO_HttpAsyncPoll
enum VKO_HttpAsyncResult : uint32_t {
    VKO_HTTP_ASYNC_OK = 0,
    VKO_HTTP_ASYNC_NONE = 1,  // handle 0, or its slot holds no request
    VKO_HTTP_ASYNC_RUNNING = 2,
    VKO_HTTP_ASYNC_FAILED = 3,  // also: no pool
};

// URL schemes ws/wss map to http/https. Headers are "Name: value" lines ended
// by LF (CR LF accepted); a "User-Agent" line sets the user agent. timeout is
// in ms for connecting and for each wait for data; 0 waits without limit and
// a negative one takes the defaults (60 s to connect, 30 s per wait). Any
// status counts as a response: true once the whole body was read. The
// response (caller frees with VKO_Free) has a NUL after its data; an empty
// body gives NULL and size 0. The status is written when headers arrived.
// A body beyond the limit, a compressed body that inflates beyond the ratio,
// or more than VKO_HTTP_MAX_REDIRECTS redirects fail the request.
bool VKO_HttpRequest(const char *url, const char *method, const char *headers, const void *body,
                     uint32_t bodySize, const char *proxy, int32_t timeout, void **response,
                     uint32_t *responseSize, uint16_t *status);

// Creates the pool once; later calls do nothing until it is destroyed.
void VKO_HttpAsyncCreate(uint32_t numThreads);
// Blocks until every running request has ended, then frees everything.
void VKO_HttpAsyncDestroy(void);

// Releases the request the handle held, starts the new one and stores its
// handle (0 when no slot is free). Without a pool nothing happens. With image
// set, a 2xx body is decoded to RGBA and the size becomes (height << 16) | width;
// such a body may hold VKO_HTTP_IMAGE_BODY_LIMIT bytes at most.
void VKO_HttpAsyncRequest(uint32_t *handle, const char *url, const char *method, const char *headers,
                          const void *body, uint32_t bodySize, const char *proxy, int32_t timeout,
                          bool image);

// A VKO_HttpAsyncResult; the outputs are set for OK and FAILED and stay owned
// by the request until it is cleared or the handle reused.
uint32_t VKO_HttpAsyncPoll(uint32_t handle, void **response, uint32_t *responseSize, uint16_t *status);

// Releases the request (now, or when it ends) and sets the handle to 0.
void VKO_HttpAsyncClear(uint32_t *handle);

// Tests: lowers the body limit (0 restores 1 GiB).
void VKO_HttpSetBodyLimit(uint32_t limit);
