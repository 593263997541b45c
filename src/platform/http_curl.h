// What the HTTP and WebSocket clients share: the URL scheme mapping, the
// header-block parser and the set-up of a libcurl handle (user agent, proxy,
// TLS 1.2 with verification, connect time-out).
#pragma once

#include <cstdint>
#include <string>

#include <curl/curl.h>

struct NetArgs {
    std::string url;  // scheme, host, explicit port, path and query
    std::string host;
    std::string path;  // path with query
    uint16_t port = 0;
    bool secure = false;
    std::string user_agent;
    curl_slist *headers = nullptr;  // the parsed header block, one entry per line
};

// "wss" (any case) -> "https", else "ws" -> "http"; other URLs unchanged.
std::string net_map_scheme(const char *url);

// Parses URL and header text; false (logged) when the URL cannot be parsed.
bool net_make_args(const char *url, const char *headers, NetArgs *args);
void net_free_args(NetArgs *args);

// An easy handle for the arguments with every common option set; connect
// time-out in ms (0 none, negative the default).
CURL *net_curl_open(const NetArgs *args, const char *proxy, int32_t timeout);
