// WebSocket client: the upgrade and RFC 6455 framing over a libcurl
// connect-only handle. Everything runs on the caller's thread: a read parses
// frames from what has arrived and receives more only when no whole message
// is ready, so a text message followed at once by a close is still returned
// before the close. Log texts keep the names of the original system calls.
#include "platform/websocket.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <string>

#include "platform/crypto.h"
#include "platform/http.h"
#include "platform/http_curl.h"
#include "platform/log.h"
#include "platform/memory.h"

#define WS_BUFFER_STEP 2048
#define WS_RX_SIZE 65536
#define WS_KEEPALIVE_MS 60000
#define WS_WRITE_MS 1000
#define WS_CLOSE_WAIT_MS 1000

enum : uint8_t {
    WS_OP_CONTINUATION = 0x0,
    WS_OP_TEXT = 0x1,
    WS_OP_BINARY = 0x2,
    WS_OP_CLOSE = 0x8,
    WS_OP_PING = 0x9,
    WS_OP_PONG = 0xA,
};

enum : uint16_t {
    WS_CLOSE_NORMAL = 1000,
    WS_CLOSE_PROTOCOL = 1002,
    WS_CLOSE_NO_STATUS = 1005,
    WS_CLOSE_ABNORMAL = 1006,
    WS_CLOSE_BAD_DATA = 1007,
    WS_CLOSE_TOO_BIG = 1009,
    WS_CLOSE_TLS = 1015,
};

enum WsStep { WS_STEP_OK, WS_STEP_TIMEOUT, WS_STEP_ERROR };

struct VKO_WebSocket {
    CURL *curl;
    curl_socket_t fd;

    uint8_t closed;
    uint8_t message_complete;

    // Text of the message being assembled (and, once complete, returned).
    char *buf;
    uint32_t filled;
    uint32_t size;

    // Received bytes not yet parsed: rx[rx_start, rx_end).
    uint8_t *rx;
    size_t rx_start, rx_end;

    // The frame being read: its header is parsed, `remaining` payload bytes follow.
    bool in_frame;
    uint8_t opcode;
    bool fin;
    uint64_t remaining;
    uint8_t ctrl[125];
    uint32_t ctrl_len;

    // A fragmented data message is open; its type is message_opcode.
    bool in_message;
    uint8_t message_opcode;

    bool close_sent;
    uint16_t close_code;
    int64_t last_send;

    // Receives made by the current read; once its deadline passed no further one is.
    uint32_t receives;

    uint8_t *tx;
    size_t tx_cap;
};

static int64_t ws_deadline(int32_t timeout) {
    return timeout < 0 ? -1 : VKO_GetTime() + (int64_t)timeout * 1000000;
}

// Milliseconds left for poll(), -1 without limit.
static int ws_left(int64_t deadline) {
    if (deadline < 0) return -1;
    int64_t left = deadline - VKO_GetTime();
    return left <= 0 ? 0 : (int)((left + 999999) / 1000000);
}

static bool ws_wait(VKO_WebSocket *ws, short events, int64_t deadline) {
    pollfd p = {ws->fd, events, 0};
    int r;
    do {
        r = poll(&p, 1, ws_left(deadline));
    } while (r < 0 && errno == EINTR);
    return r > 0;
}

// Receives at most len bytes into dst. A closed or broken connection marks
// the socket closed and answers OK with nothing read.
static WsStep ws_recv(VKO_WebSocket *ws, void *dst, size_t len, int64_t deadline, size_t *got) {
    *got = 0;
    // Frames that keep arriving (pings) must not hold a read past its time-out.
    if (ws->receives > 0 && deadline >= 0 && VKO_GetTime() >= deadline) return WS_STEP_TIMEOUT;
    ws->receives++;
    for (;;) {
        CURLcode rc = curl_easy_recv(ws->curl, dst, len, got);
        if (rc == CURLE_OK) {
            if (*got == 0) ws->closed = 1;
            return WS_STEP_OK;
        }
        if (rc == CURLE_AGAIN) {
            if (!ws_wait(ws, POLLIN, deadline)) return WS_STEP_TIMEOUT;
            continue;
        }
        if (rc == CURLE_RECV_ERROR || rc == CURLE_GOT_NOTHING || rc == CURLE_UNSUPPORTED_PROTOCOL) {
            ws->closed = 1;
            return WS_STEP_OK;
        }
        VKO_Log("VKO_WebSocketRead", "'WinHttpWebSocketReceive' failed with error 0x%X", (unsigned)rc);
        return WS_STEP_ERROR;
    }
}

static bool ws_send_all(VKO_WebSocket *ws, const uint8_t *data, size_t len, int64_t deadline) {
    while (len > 0) {
        size_t sent = 0;
        CURLcode rc = curl_easy_send(ws->curl, data, len, &sent);
        if (rc == CURLE_AGAIN) {
            if (!ws_wait(ws, POLLOUT, deadline)) return false;
            continue;
        }
        if (rc != CURLE_OK) return false;
        data += sent;
        len -= sent;
    }
    return true;
}

// One masked frame. A frame cut short leaves the stream unusable, so any
// failure closes the socket.
static bool ws_send_frame(VKO_WebSocket *ws, uint8_t opcode, const void *payload, size_t len) {
    size_t need = 14 + len;
    if (need > ws->tx_cap) {
        ws->tx = (uint8_t *)VKO_Realloc(ws->tx, need, 1);
        ws->tx_cap = need;
    }

    uint8_t *p = ws->tx;
    *p++ = 0x80 | opcode;
    if (len < 126) {
        *p++ = 0x80 | (uint8_t)len;
    } else if (len <= 0xFFFF) {
        *p++ = 0x80 | 126;
        *p++ = (uint8_t)(len >> 8);
        *p++ = (uint8_t)len;
    } else {
        *p++ = 0x80 | 127;
        for (int i = 7; i >= 0; i--) *p++ = (uint8_t)((uint64_t)len >> (i * 8));
    }
    uint8_t key[4];
    VKO_GetRandomBytes(key, sizeof(key));
    memcpy(p, key, 4);
    p += 4;

    // Mask eight bytes at a time; the key repeats every four.
    const uint8_t *src = (const uint8_t *)payload;
    uint64_t key8;
    memcpy(&key8, key, 4);
    memcpy((uint8_t *)&key8 + 4, key, 4);
    size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        uint64_t v;
        memcpy(&v, src + i, 8);
        v ^= key8;
        memcpy(p + i, &v, 8);
    }
    for (; i < len; i++) p[i] = src[i] ^ key[i & 3];

    if (!ws_send_all(ws, ws->tx, (size_t)(p - ws->tx) + len, ws_deadline(WS_WRITE_MS))) {
        ws->closed = 1;
        return false;
    }
    ws->last_send = VKO_GetTime();
    return true;
}

static void ws_send_close(VKO_WebSocket *ws, uint16_t code) {
    if (ws->close_sent) return;
    uint8_t payload[2] = {(uint8_t)(code >> 8), (uint8_t)code};
    ws->close_sent = true;
    ws_send_frame(ws, WS_OP_CLOSE, payload, sizeof(payload));
}

// The peer broke the protocol: answer with a close and stop reading.
static void ws_fail(VKO_WebSocket *ws, uint16_t code) {
    VKO_Log("ws_async", "WebSocket error: dwResult:%u, dwError:0x%X", 0u, (unsigned)code);
    ws_send_close(ws, code);
    ws->closed = 1;
}

// Grows the message buffer in steps of 2,048 bytes so that it stays larger
// than the message plus the bytes still to come.
static void ws_reserve(VKO_WebSocket *ws, uint64_t more) {
    uint64_t need = ws->filled + more;
    if (need < ws->size) return;
    uint32_t size = (uint32_t)((need / WS_BUFFER_STEP + 1) * WS_BUFFER_STEP);
    ws->buf = (char *)VKO_Realloc(ws->buf, size, 1);
    ws->size = size;
}

// Parses a frame header from rx; false when more bytes are needed.
static bool ws_parse_header(VKO_WebSocket *ws) {
    const uint8_t *p = ws->rx + ws->rx_start;
    size_t avail = ws->rx_end - ws->rx_start;
    if (avail < 2) return false;

    size_t hlen = 2;
    uint64_t len = p[1] & 0x7F;
    if (len == 126) hlen = 4;
    if (len == 127) hlen = 10;
    if (avail < hlen) return false;
    if (len == 126) len = (uint64_t)p[2] << 8 | p[3];
    if (len == 127) {
        len = 0;
        for (int i = 0; i < 8; i++) len = len << 8 | p[2 + i];
    }
    ws->rx_start += hlen;

    uint8_t opcode = p[0] & 0x0F;
    bool fin = p[0] & 0x80;
    bool control = opcode & 0x08;
    // Servers never mask; no extension was negotiated, so no reserved bits.
    if ((p[1] & 0x80) || (p[0] & 0x70) || (opcode > WS_OP_BINARY && opcode < WS_OP_CLOSE) ||
        opcode > WS_OP_PONG || (control && (!fin || len > 125)) ||
        (opcode == WS_OP_CONTINUATION && !ws->in_message) ||
        ((opcode == WS_OP_TEXT || opcode == WS_OP_BINARY) && ws->in_message)) {
        ws_fail(ws, WS_CLOSE_PROTOCOL);
        return true;
    }

    if (!control) {
        if (opcode != WS_OP_CONTINUATION) ws->message_opcode = opcode;
        ws->in_message = !fin;
        if (ws->message_opcode == WS_OP_TEXT) {
            if (len > VKO_WS_MAX_MESSAGE - ws->filled) {
                ws_fail(ws, WS_CLOSE_TOO_BIG);
                return true;
            }
            ws_reserve(ws, len);
        }
    }
    ws->in_frame = true;
    ws->opcode = opcode;
    ws->fin = fin;
    ws->remaining = len;
    ws->ctrl_len = 0;
    return true;
}

// Whether text is well-formed UTF-8 (RFC 3629): no overlong forms, no
// surrogates, nothing above U+10FFFF.
static bool ws_valid_utf8(const uint8_t *p, size_t n) {
    size_t i = 0;
    while (i < n) {
        uint8_t c = p[i];
        if (c < 0x80) {
            i++;
            continue;
        }
        size_t len;
        uint8_t lo = 0x80, hi = 0xBF;  // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            return false;
        }
        if (n - i < len || p[i + 1] < lo || p[i + 1] > hi) return false;
        for (size_t k = 2; k < len; k++)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += len;
    }
    return true;
}

// Codes an endpoint may never put in a close frame of its own.
static bool ws_close_code_reserved(uint16_t code) {
    return code == WS_CLOSE_NO_STATUS || code == WS_CLOSE_ABNORMAL || code == WS_CLOSE_TLS;
}

static void ws_finish_frame(VKO_WebSocket *ws) {
    ws->in_frame = false;
    switch (ws->opcode) {
        case WS_OP_CLOSE:
            ws->close_code = ws->ctrl_len >= 2 ? (uint16_t)(ws->ctrl[0] << 8 | ws->ctrl[1]) : 0;
            ws_send_close(ws, ws->close_code && !ws_close_code_reserved(ws->close_code)
                                  ? ws->close_code
                                  : (uint16_t)WS_CLOSE_NORMAL);
            ws->closed = 1;
            break;
        case WS_OP_PING:
            ws_send_frame(ws, WS_OP_PONG, ws->ctrl, ws->ctrl_len);
            break;
        case WS_OP_PONG:
            break;
        default:
            if (ws->fin && ws->message_opcode == WS_OP_TEXT) {
                // Fragments are checked together: a character may span two.
                if (!ws_valid_utf8((const uint8_t *)ws->buf, ws->filled)) {
                    ws->filled = 0;
                    ws_fail(ws, WS_CLOSE_BAD_DATA);
                    break;
                }
                ws->message_complete = 1;
            }
            // Binary messages are read and dropped.
            break;
    }
}

// One step of progress: consume buffered bytes, or receive more.
static WsStep ws_step(VKO_WebSocket *ws, int64_t deadline) {
    size_t avail = ws->rx_end - ws->rx_start;

    if (!ws->in_frame) {
        if (!ws_parse_header(ws)) {
            // Need more header bytes: keep the partial header at the front.
            memmove(ws->rx, ws->rx + ws->rx_start, avail);
            ws->rx_start = 0;
            ws->rx_end = avail;
            size_t got = 0;
            WsStep st = ws_recv(ws, ws->rx + avail, WS_RX_SIZE - avail, deadline, &got);
            ws->rx_end += got;
            return st;
        }
        if (ws->in_frame && ws->remaining == 0) ws_finish_frame(ws);
        return WS_STEP_OK;
    }

    bool text = !(ws->opcode & 0x08) && ws->message_opcode == WS_OP_TEXT;
    uint8_t *dst = NULL;
    if (text) dst = (uint8_t *)ws->buf + ws->filled;
    if (ws->opcode & 0x08) dst = ws->ctrl + ws->ctrl_len;

    size_t n = 0;
    if (avail > 0) {
        n = (size_t)(ws->remaining < avail ? ws->remaining : avail);
        if (dst) memcpy(dst, ws->rx + ws->rx_start, n);
        ws->rx_start += n;
    } else {
        ws->rx_start = ws->rx_end = 0;
        // Large text payloads go straight into the message buffer.
        bool direct = text && ws->remaining >= WS_RX_SIZE / 4;
        size_t want = direct ? (size_t)ws->remaining : WS_RX_SIZE;
        WsStep st = ws_recv(ws, direct ? dst : ws->rx, want, deadline, &n);
        if (st != WS_STEP_OK || n == 0) return st;
        if (!direct) {
            ws->rx_end = n;
            return WS_STEP_OK;
        }
    }

    ws->remaining -= n;
    if (text) ws->filled += (uint32_t)n;
    if (ws->opcode & 0x08) ws->ctrl_len += (uint32_t)n;
    if (ws->remaining == 0) ws_finish_frame(ws);
    return WS_STEP_OK;
}

int32_t VKO_WebSocketRead(VKO_WebSocket *ws, int32_t timeout, char *buffer, uint32_t size) {
    int64_t deadline = ws_deadline(timeout);
    ws->receives = 0;

    if (!ws->closed && VKO_TimeDiff(ws->last_send, VKO_GetTime()) >= WS_KEEPALIVE_MS)
        ws_send_frame(ws, WS_OP_PING, NULL, 0);

    for (;;) {
        if (ws->closed) return VKO_WS_CLOSED;

        if (ws->message_complete) {
            if (ws->filled >= size) {
                VKO_Log("VKO_WebSocketRead", "WebSocket read buffer is not large enough for message + 1");
                return VKO_WS_ERROR;
            }
            memcpy(buffer, ws->buf, ws->filled);
            buffer[ws->filled] = '\0';
            ws->message_complete = 0;
            ws->filled = 0;
            return VKO_WS_OK;
        }

        WsStep st = ws_step(ws, deadline);
        if (st == WS_STEP_TIMEOUT) return VKO_WS_TIMEOUT;
        if (st == WS_STEP_ERROR) return VKO_WS_ERROR;
    }
}

bool VKO_WebSocketWrite(VKO_WebSocket *ws, const char *text) {
    if (ws->closed) return false;
    return ws_send_frame(ws, WS_OP_TEXT, text, strlen(text));
}

uint16_t VKO_WebSocketGetCloseCode(VKO_WebSocket *ws) {
    return ws->close_code;
}

// --- connect ------------------------------------------------------------------

static void ws_free(VKO_WebSocket *ws) {
    if (ws->curl) curl_easy_cleanup(ws->curl);
    VKO_Free(ws->buf);
    VKO_Free(ws->rx);
    VKO_Free(ws->tx);
    VKO_Free(ws);
}

// Value of a header in the reply head (name matched without case), or "".
static std::string ws_header(const std::string &head, const char *name) {
    size_t nlen = strlen(name);
    for (size_t at = head.find("\r\n"); at != std::string::npos && at + 2 < head.size();) {
        size_t start = at + 2, end = head.find("\r\n", start);
        if (end == std::string::npos) break;
        if (end - start > nlen && head[start + nlen] == ':' && strncasecmp(&head[start], name, nlen) == 0) {
            size_t v = head.find_first_not_of(" \t", start + nlen + 1);
            return v < end ? head.substr(v, end - v) : "";
        }
        at = end;
    }
    return "";
}

// Sends the upgrade request and checks the reply; bytes after the reply head
// stay in rx as the first frames.
static bool ws_upgrade(VKO_WebSocket *ws, const NetArgs *args, int32_t timeout, uint16_t *status) {
    uint8_t nonce[16];
    char key[32], accept[32];
    uint8_t digest[20];

    VKO_GetRandomBytes(nonce, sizeof(nonce));
    VKO_BytesToBase64(nonce, sizeof(nonce), key, sizeof(key));

    std::string req = "GET " + args->path + " HTTP/1.1\r\nHost: " + args->host;
    if (args->port != (args->secure ? 443 : 80)) req += ":" + std::to_string(args->port);
    req += "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: ";
    req += key;
    req += "\r\nSec-WebSocket-Version: 13\r\nUser-Agent: " + args->user_agent + "\r\n";
    for (curl_slist *h = args->headers; h; h = h->next) {
        size_t len = strlen(h->data);
        if (len > 0 && h->data[len - 1] == ':') continue;  // curl's header removals
        req += h->data;
        req += "\r\n";
    }
    req += "\r\n";

    int64_t deadline = timeout > 0 ? ws_deadline(timeout) : -1;
    if (!ws_send_all(ws, (const uint8_t *)req.data(), req.size(), deadline)) return false;

    // The reply head, at most 16 KiB.
    std::string head;
    size_t end = std::string::npos;
    while (end == std::string::npos) {
        if (ws->rx_end >= 16384) return false;
        size_t got = 0;
        if (ws_recv(ws, ws->rx + ws->rx_end, 16384 - ws->rx_end, deadline, &got) != WS_STEP_OK || ws->closed)
            return false;
        ws->rx_end += got;
        head.assign((const char *)ws->rx, ws->rx_end);
        end = head.find("\r\n\r\n");
    }
    head.resize(end + 2);
    ws->rx_start = end + 4;

    unsigned code = 0;
    if (sscanf(head.c_str(), "HTTP/%*u.%*u %u", &code) != 1 || code == 0 || code > 999) return false;
    if (status) *status = (uint16_t)code;
    if (code != 101) return false;

    std::string material = std::string(key) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    VKO_CryptoHash(VKO_HASH_SHA1, material.data(), material.size(), NULL, 0, digest, sizeof(digest));
    VKO_BytesToBase64(digest, sizeof(digest), accept, sizeof(accept));
    return strcasecmp(ws_header(head, "Upgrade").c_str(), "websocket") == 0 &&
           VKO_Strcasestr(ws_header(head, "Connection").c_str(), "upgrade") &&
           ws_header(head, "Sec-WebSocket-Accept") == accept;
}

VKO_WebSocket *VKO_WebSocketConnect(const char *url, const char *headers, const char *proxy, int32_t timeout,
                                    uint16_t *status) {
    NetArgs args;
    if (!net_make_args(url, headers, &args)) return NULL;

    VKO_WebSocket *ws = (VKO_WebSocket *)VKO_Alloc(1, sizeof(VKO_WebSocket));
    ws->rx = (uint8_t *)VKO_Alloc(WS_RX_SIZE, 1);
    ws->size = WS_BUFFER_STEP;
    ws->buf = (char *)VKO_Alloc(ws->size, 1);
    ws->last_send = VKO_GetTime();
    ws->curl = net_curl_open(&args, proxy, timeout);

    bool ok = ws->curl != NULL;
    if (ok) {
        curl_easy_setopt(ws->curl, CURLOPT_CONNECT_ONLY, 1L);
        if (proxy && proxy[0]) curl_easy_setopt(ws->curl, CURLOPT_HTTPPROXYTUNNEL, 1L);
        ok = curl_easy_perform(ws->curl) == CURLE_OK &&
             curl_easy_getinfo(ws->curl, CURLINFO_ACTIVESOCKET, &ws->fd) == CURLE_OK &&
             ws->fd != CURL_SOCKET_BAD;
    }
    if (ok) ok = ws_upgrade(ws, &args, timeout, status);
    net_free_args(&args);

    if (!ok) {
        ws_free(ws);
        return NULL;
    }
    return ws;
}

void VKO_WebSocketDestroy(VKO_WebSocket **ws) {
    if (!ws || !*ws) return;
    VKO_WebSocket *ctx = *ws;

    if (!ctx->closed) {
        ws_send_close(ctx, WS_CLOSE_NORMAL);
        // Wait for the peer's close; messages still arriving are dropped.
        int64_t deadline = ws_deadline(WS_CLOSE_WAIT_MS);
        ctx->receives = 0;
        while (!ctx->closed && ws_step(ctx, deadline) == WS_STEP_OK) {
            ctx->message_complete = 0;
            if (!ctx->in_frame && !ctx->in_message) ctx->filled = 0;
        }
    }

    ws_free(ctx);
    *ws = NULL;
}
