// A signaling server stand-in on the loopback WebSocket server: peers are
// keyed by their session id (the query's session_id), and a message "to" a
// session id is relayed to that session's connection with "from" added:
// offer -> offer_relay (with the sender's user record and permissions),
// answer -> answer_relay, candex -> candex_relay, offer_cancel ->
// offer_cancel_relay. "conn_update" is stored. The server can push "close"
// and "sdk" messages, close a session's socket with a code, and refuse the
// upgrade for a session. Tests and the tools start it in-process.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/net/ws_server.h"

class SignalServer {
   public:
    // What the server knows of a session's user.
    struct User {
        std::string name = "user";
        uint32_t id = 1;
        bool is_owner = false, skip_approval = false;
        bool gamepad = true, keyboard = true, mouse = true;
        int refuse = 0;  // upgrade status other than 101 refuses
    };

    SignalServer();
    ~SignalServer();
    // ca NULL serves plain ws.
    bool start(const TestCA *ca = nullptr);
    void stop();
    uint16_t port() const { return ws_.port(); }

    void set_user(const std::string &session, const User &user);
    // Queues a message for a session's connection (dropped when none).
    void push(const std::string &session, const std::string &text);
    void push_close(const std::string &session, const std::string &reason);
    void push_sdk(const std::string &session, const std::string &payload_json);
    // Ends the session's connection with a close frame of this code.
    void drop(const std::string &session, uint16_t code);

    // What arrived from a session, in order; its upgrade queries; its last conn_update.
    std::vector<std::string> received(const std::string &session);
    std::vector<std::string> queries(const std::string &session);
    std::string conn_update(const std::string &session);
    // When each upgrade request of a session arrived, in ms since start.
    std::vector<double> query_times(const std::string &session);
    // Waits until pred holds (it may call the getters above); false after timeout_ms.
    bool wait(const std::function<bool()> &pred, int timeout_ms = 10000);

   private:
    struct Session;
    void serve(WsPeer &peer);
    void relay(const std::string &from, const std::string &text);
    Session &session(const std::string &id);

    WsServer ws_;
    std::chrono::steady_clock::time_point started_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, std::unique_ptr<Session>> sessions_;
};

// The session_id value of a request target such as "/?session_id=a&role=b".
std::string signal_query_value(const std::string &target, const std::string &name);
