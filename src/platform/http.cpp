// HTTP client on libcurl's easy interface. Log texts keep the names of the
// original system calls so logs read the same on every platform.
//
// Asynchronous requests: the pool pointer is guarded by g_http_lock (a global
// lock word). Each request record is owned by the pool slot that runs it: the
// worker writes status, response and result before the slot turns FINISHED
// under the slot's mutex, and the caller's thread reads them only after
// polling FINISHED. Releasing a slot hands the record to http_async_free,
// called by the pool either at once (finished) or by the worker when it ends.
#include "platform/http.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/http_curl.h"
#include "platform/image.h"
#include "platform/log.h"
#include "platform/memory.h"
#include "platform/thread.h"

static std::atomic<uint32_t> g_body_limit{VKO_HTTP_BODY_LIMIT};

void VKO_HttpSetBodyLimit(uint32_t limit) {
    g_body_limit = limit ? limit : VKO_HTTP_BODY_LIMIT;
}

static void net_global_init(void) {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// --- shared with the WebSocket client ---------------------------------------

std::string net_map_scheme(const char *url) {
    if (strncasecmp(url, "wss", 3) == 0) return std::string("https") + (url + 3);
    if (strncasecmp(url, "ws", 2) == 0) return std::string("http") + (url + 2);
    return url;
}

// Each line: a name ended by ' ' or ':', then the value after that delimiter
// with leading blanks skipped. The first line without both ends the block.
static void net_parse_headers(const char *text, NetArgs *args) {
    bool have_accept = false, have_expect = false, have_type = false;

    for (const char *line = text; line && *line;) {
        const char *end = strchr(line, '\n');
        std::string l = end ? std::string(line, end) : std::string(line);
        line = end ? end + 1 : NULL;

        size_t start = l.find_first_not_of(" :");
        if (start == std::string::npos) break;
        size_t delim = l.find_first_of(" :", start);
        if (delim == std::string::npos) break;
        std::string name = l.substr(start, delim - start);
        size_t vstart = l.find_first_not_of(" \t", delim + 1);
        if (vstart == std::string::npos) break;
        std::string value = l.substr(vstart);
        // The kept CR would end a curl header line early.
        while (!value.empty() && value.back() == '\r') value.pop_back();

        if (strcasecmp(name.c_str(), "User-Agent") == 0) {
            if (args->user_agent.empty()) args->user_agent = value;
            continue;
        }
        have_accept |= strcasecmp(name.c_str(), "Accept") == 0;
        have_expect |= strcasecmp(name.c_str(), "Expect") == 0;
        have_type |= strcasecmp(name.c_str(), "Content-Type") == 0;
        std::string h = name + ": " + value;
        args->headers = curl_slist_append(args->headers, h.c_str());
    }

    // curl adds these by itself; the requests carry only what the caller gave.
    if (!have_accept) args->headers = curl_slist_append(args->headers, "Accept:");
    if (!have_expect) args->headers = curl_slist_append(args->headers, "Expect:");
    if (!have_type) args->headers = curl_slist_append(args->headers, "Content-Type:");
    if (args->user_agent.empty()) args->user_agent = VKO_HTTP_USER_AGENT;
}

bool net_make_args(const char *url, const char *headers, NetArgs *args) {
    std::string mapped = net_map_scheme(url ? url : "");
    char *scheme = NULL, *host = NULL, *path = NULL, *query = NULL, *full = NULL;
    bool ok = false;

    CURLU *u = curl_url();
    CURLUcode rc = curl_url_set(u, CURLUPART_URL, mapped.c_str(), 0);
    if (rc == CURLUE_OK) rc = curl_url_get(u, CURLUPART_SCHEME, &scheme, 0);
    if (rc == CURLUE_OK && strcmp(scheme, "http") != 0 && strcmp(scheme, "https") != 0)
        rc = CURLUE_UNSUPPORTED_SCHEME;
    if (rc == CURLUE_OK) rc = curl_url_get(u, CURLUPART_HOST, &host, 0);
    if (rc != CURLUE_OK) {
        VKO_Log("net_make_args", "'WinHttpCrackUrl' failed to parse '%s' with error 0x%X", url ? url : "",
                (unsigned)rc);
        goto except;
    }

    args->secure = strcmp(scheme, "https") == 0;
    {
        char *port = NULL;
        if (curl_url_get(u, CURLUPART_PORT, &port, 0) == CURLUE_OK) {
            args->port = (uint16_t)atoi(port);
            curl_free(port);
        } else {
            args->port = args->secure ? 443 : 80;
            curl_url_set(u, CURLUPART_PORT, args->secure ? "443" : "80", 0);
        }
    }
    curl_url_get(u, CURLUPART_PATH, &path, 0);
    args->host = host;
    args->path = path ? path : "/";
    if (curl_url_get(u, CURLUPART_QUERY, &query, 0) == CURLUE_OK) args->path += std::string("?") + query;
    curl_url_get(u, CURLUPART_URL, &full, 0);
    args->url = full ? full : mapped;
    net_parse_headers(headers, args);
    ok = true;

except:
    curl_free(scheme);
    curl_free(host);
    curl_free(path);
    curl_free(query);
    curl_free(full);
    curl_url_cleanup(u);
    return ok;
}

void net_free_args(NetArgs *args) {
    curl_slist_free_all(args->headers);
    args->headers = NULL;
}

CURL *net_curl_open(const NetArgs *args, const char *proxy, int32_t timeout) {
    net_global_init();
    CURL *curl = curl_easy_init();
    if (!curl) return NULL;

    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_URL, args->url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, args->user_agent.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, args->headers);
    curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, (long)CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    // Exactly TLS 1.2, verified against the system's CAs, or the file that
    // OpenSSL's SSL_CERT_FILE names.
    curl_easy_setopt(curl, CURLOPT_SSLVERSION,
                     (long)CURL_SSLVERSION_TLSv1_2 | (long)CURL_SSLVERSION_MAX_TLSv1_2);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    const char *ca = getenv("SSL_CERT_FILE");
    if (ca && ca[0]) curl_easy_setopt(curl, CURLOPT_CAINFO, ca);
    // A named proxy when given, else the environment's (the system default).
    if (proxy && proxy[0]) curl_easy_setopt(curl, CURLOPT_PROXY, proxy);
    if (timeout > 0) curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, (long)timeout);
    if (timeout < 0) curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 60000L);

    return curl;
}

// --- synchronous request ----------------------------------------------------

namespace {
struct HttpBody {
    CURL *curl = NULL;
    uint8_t *data = NULL;
    size_t size = 0, capacity = 0;
    uint32_t limit = VKO_HTTP_BODY_LIMIT;
    bool over = false;
    // Idle limit: no bytes moved for this long fails the request (0: none).
    int64_t idle_ticks = 0;
    int64_t last_move = 0;
    curl_off_t last_total = -1;
};
}  // namespace

static size_t http_write(char *ptr, size_t size, size_t nmemb, void *opaque) {
    HttpBody *body = (HttpBody *)opaque;
    size_t chunk = size * nmemb;

    if (chunk > body->limit || body->size + chunk > body->limit) {
        body->over = true;
        return 0;
    }
    // A compressed body may decode to at most a bounded multiple of what
    // arrived: a small response must not become a huge one.
    curl_off_t received = 0;
    if (curl_easy_getinfo(body->curl, CURLINFO_SIZE_DOWNLOAD_T, &received) != CURLE_OK) received = 0;
    uint64_t inflated = (uint64_t)std::max<curl_off_t>(received, 0) * VKO_HTTP_INFLATE_RATIO;
    if (body->size + chunk > std::max<uint64_t>(inflated, VKO_HTTP_INFLATE_FLOOR)) {
        body->over = true;
        return 0;
    }
    if (body->size + chunk + 1 > body->capacity) {
        size_t cap = body->capacity ? body->capacity : 16384;
        while (cap < body->size + chunk + 1) cap *= 2;
        // Doubling never goes past what the limit lets the body hold.
        cap = std::min<size_t>(cap, (size_t)body->limit + 1);
        body->data = (uint8_t *)VKO_Realloc(body->data, cap, 1);
        body->capacity = cap;
    }
    memcpy(body->data + body->size, ptr, chunk);
    body->size += chunk;
    body->data[body->size] = 0;

    return chunk;
}

static int http_progress(void *opaque, curl_off_t, curl_off_t dlnow, curl_off_t, curl_off_t ulnow) {
    HttpBody *body = (HttpBody *)opaque;
    int64_t now = VKO_GetTime();

    if (dlnow + ulnow != body->last_total) {
        body->last_total = dlnow + ulnow;
        body->last_move = now;
        return 0;
    }
    return body->idle_ticks > 0 && now - body->last_move > body->idle_ticks;
}

// The request with a body limit of the caller's need (never above the global one).
static bool http_request(const char *url, const char *method, const char *headers, const void *body,
                         uint32_t bodySize, const char *proxy, int32_t timeout, uint32_t limit,
                         void **response, uint32_t *responseSize, uint16_t *status) {
    NetArgs args;
    HttpBody out;
    CURLcode rc = CURLE_OK;
    long code = 0;

    *response = NULL;
    *responseSize = 0;
    if (!net_make_args(url, headers, &args)) return false;

    CURL *curl = net_curl_open(&args, proxy, timeout);
    if (!curl) {
        net_free_args(&args);
        return false;
    }

    out.curl = curl;
    out.limit = std::min(limit, g_body_limit.load());
    out.idle_ticks = (timeout > 0 ? timeout : timeout < 0 ? 30000 : 0) * (int64_t)1000000;
    out.last_move = VKO_GetTime();
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, http_write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &out);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, http_progress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &out);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "gzip");
    // Redirects are followed, never from https down to http, and only so
    // many: a server pointing at itself must not hold the request forever.
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXREDIRS, (long)VKO_HTTP_MAX_REDIRECTS);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, args.secure ? "https" : "http,https");

    method = method && method[0] ? method : "GET";
    if (strcmp(method, "HEAD") == 0) {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else {
        if (body || strcmp(method, "GET") != 0) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body ? body : "");
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, (curl_off_t)(body ? bodySize : 0));
        }
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    }

    rc = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
    if (code > 0 && status) *status = (uint16_t)code;

    curl_easy_cleanup(curl);
    net_free_args(&args);

    if (rc != CURLE_OK || code <= 0) {
        VKO_Free(out.data);
        return false;
    }
    *response = out.data;
    *responseSize = (uint32_t)out.size;
    return true;
}

bool VKO_HttpRequest(const char *url, const char *method, const char *headers, const void *body,
                     uint32_t bodySize, const char *proxy, int32_t timeout, void **response,
                     uint32_t *responseSize, uint16_t *status) {
    return http_request(url, method, headers, body, bodySize, proxy, timeout, VKO_HTTP_BODY_LIMIT, response,
                        responseSize, status);
}

// --- asynchronous requests --------------------------------------------------

namespace {
struct http_async_request {
    uint32_t result;
    int32_t timeout;
    uint8_t image;
    char *url;
    char *method;
    char *headers;
    void *body;
    uint32_t body_size;
    char *proxy;
    uint16_t status;
    void *response;
    uint32_t response_size;
};
}  // namespace

static uint32_t g_http_lock;
static VKO_ThreadPool *g_http_pool;

static void http_async_free(void *opaque) {
    http_async_request *req = (http_async_request *)opaque;

    // URL, headers and body may carry credentials.
    VKO_SecureFree(req->url, strlen(req->url));
    VKO_SecureFree(req->headers, strlen(req->headers));
    VKO_SecureFree(req->body, req->body_size);
    VKO_Free(req->method);
    VKO_Free(req->proxy);
    VKO_Free(req->response);
    VKO_Free(req);
}

static void http_async_worker(void *opaque) {
    http_async_request *req = (http_async_request *)opaque;
    void *response = NULL;
    uint32_t size = 0;

    // An image is only ever a picture file: its body needs far less than a download.
    bool ok = http_request(req->url, req->method, req->headers, req->body, req->body_size, req->proxy,
                           req->timeout, req->image ? VKO_HTTP_IMAGE_BODY_LIMIT : VKO_HTTP_BODY_LIMIT,
                           &response, &size, &req->status);

    if (ok && req->image && req->status >= 200 && req->status <= 299 && response) {
        uint32_t w = 0, h = 0;
        void *rgba = VKO_DecompressImage(response, size, &w, &h);
        VKO_Free(response);
        response = NULL;
        size = 0;
        // The packed size holds 16 bits per side: a larger image cannot be
        // described to the caller, so it counts as a failed decode.
        if (rgba && w <= 0xFFFF && h <= 0xFFFF) {
            response = rgba;
            size = h << 16 | w;
        } else {
            VKO_Free(rgba);
        }
    }

    req->response = response;
    req->response_size = size;
    req->result = ok ? VKO_HTTP_ASYNC_OK : VKO_HTTP_ASYNC_FAILED;
}

void VKO_HttpAsyncCreate(uint32_t numThreads) {
    VKO_GlobalLock(&g_http_lock);
    if (!g_http_pool) g_http_pool = VKO_ThreadPoolCreate(numThreads);
    VKO_GlobalUnlock(&g_http_lock);
}

void VKO_HttpAsyncDestroy(void) {
    VKO_GlobalLock(&g_http_lock);
    VKO_ThreadPoolDestroy(&g_http_pool, http_async_free);
    VKO_GlobalUnlock(&g_http_lock);
}

void VKO_HttpAsyncRequest(uint32_t *handle, const char *url, const char *method, const char *headers,
                          const void *body, uint32_t bodySize, const char *proxy, int32_t timeout,
                          bool image) {
    VKO_GlobalLock(&g_http_lock);
    if (g_http_pool) {
        if (*handle) VKO_ThreadPoolDetach(g_http_pool, *handle, http_async_free);

        http_async_request *req = (http_async_request *)VKO_Alloc(1, sizeof(http_async_request));
        req->timeout = timeout;
        req->image = image;
        req->url = VKO_Strdup(url ? url : "");
        req->method = VKO_Strdup(method ? method : "GET");
        req->headers = VKO_Strdup(headers ? headers : "");
        if (body) req->body = VKO_Dup(body, bodySize);
        req->body_size = body ? bodySize : 0;
        req->proxy = proxy ? VKO_Strdup(proxy) : NULL;

        *handle = VKO_ThreadPoolDispatch(g_http_pool, http_async_worker, req);
        if (*handle == 0) {
            VKO_Log("VKO_HttpAsyncRequest", "Failed to start %s", req->url);
            http_async_free(req);
        }
    }
    VKO_GlobalUnlock(&g_http_lock);
}

uint32_t VKO_HttpAsyncPoll(uint32_t handle, void **response, uint32_t *responseSize, uint16_t *status) {
    uint32_t r = VKO_HTTP_ASYNC_FAILED;

    VKO_GlobalLock(&g_http_lock);
    if (g_http_pool) {
        void *opaque = NULL;
        VKO_ThreadState state =
            handle ? VKO_ThreadPoolPoll(g_http_pool, handle, &opaque) : VKO_THREAD_STATE_FREE;
        if (state == VKO_THREAD_STATE_FINISHED && opaque) {
            http_async_request *req = (http_async_request *)opaque;
            *response = req->response;
            *responseSize = req->response_size;
            *status = req->status;
            r = req->result;
        } else {
            r = state == VKO_THREAD_STATE_RUNNING ? VKO_HTTP_ASYNC_RUNNING : VKO_HTTP_ASYNC_NONE;
        }
    }
    VKO_GlobalUnlock(&g_http_lock);

    return r;
}

void VKO_HttpAsyncClear(uint32_t *handle) {
    VKO_GlobalLock(&g_http_lock);
    if (g_http_pool && *handle) VKO_ThreadPoolDetach(g_http_pool, *handle, http_async_free);
    *handle = 0;
    VKO_GlobalUnlock(&g_http_lock);
}
