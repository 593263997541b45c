// Text-message WebSocket client (RFC 6455) on libcurl's connect-only mode:
// curl resolves, connects (through a proxy tunnel when given) and does TLS;
// the upgrade and the framing are ours. One thread reads and writes a socket.
#pragma once

#include <cstdint>

struct VKO_WebSocket;

// Results of VKO_WebSocketRead
enum VKO_WebSocketResult : int32_t {
    VKO_WS_OK = 0,       // a whole text message, NUL-terminated
    VKO_WS_CLOSED = 1,   // closed by the peer, the connection or a protocol error
    VKO_WS_TIMEOUT = 2,  // nothing complete within the time-out
    VKO_WS_ERROR = 3,    // the buffer is too small (the message stays) or a receive failed
};

// Largest message accepted; a longer one closes the connection with 1009.
#define VKO_WS_MAX_MESSAGE (64u << 20)

// URL ws, wss, http or https; headers and user agent as for VKO_HttpRequest.
// Each stage (connect, upgrade reply) may take timeout ms. NULL on failure;
// the status of the upgrade reply is written only when one arrived.
VKO_WebSocket *VKO_WebSocketConnect(const char *url, const char *headers, const char *proxy, int32_t timeout,
                                    uint16_t *status);

// Sends a close with status 1000 (unless one was already exchanged), waits up
// to 1,000 ms for the peer's close, frees and NULLs the pointer.
void VKO_WebSocketDestroy(VKO_WebSocket **ws);

int32_t VKO_WebSocketRead(VKO_WebSocket *ws, int32_t timeout, char *buffer, uint32_t size);

// Sends the text as one message within 1,000 ms.
bool VKO_WebSocketWrite(VKO_WebSocket *ws, const char *text);

// The peer's close status; 0 when none was received.
uint16_t VKO_WebSocketGetCloseCode(VKO_WebSocket *ws);
