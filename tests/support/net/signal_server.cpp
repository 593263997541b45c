#include "support/net/signal_server.h"

#include <chrono>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

struct SignalServer::Session {
    User user;
    std::deque<std::string> outbox;
    uint16_t drop_code = 0;
    std::vector<std::string> received, queries;
    std::vector<double> query_times;
    std::string conn_update;
};

SignalServer::SignalServer() = default;

SignalServer::~SignalServer() {
    stop();
}

std::string signal_query_value(const std::string &target, const std::string &name) {
    size_t q = target.find('?');
    if (q == std::string::npos) return "";
    std::string query = "&" + target.substr(q + 1);
    size_t at = query.find("&" + name + "=");
    if (at == std::string::npos) return "";
    at += name.size() + 2;
    return query.substr(at, query.find('&', at) - at);
}

bool SignalServer::start(const TestCA *ca) {
    started_ = std::chrono::steady_clock::now();
    return ws_.start([this](WsPeer &p) { serve(p); }, ca,
                     [this](const WsPeer &p) {
                         std::lock_guard<std::mutex> g(mutex_);
                         Session &s = session(signal_query_value(p.target, "session_id"));
                         s.queries.push_back(p.target);
                         s.query_times.push_back(std::chrono::duration<double, std::milli>(
                                                     std::chrono::steady_clock::now() - started_)
                                                     .count());
                         changed_.notify_all();
                         return s.user.refuse ? s.user.refuse : 101;
                     });
}

void SignalServer::stop() {
    ws_.stop();
}

SignalServer::Session &SignalServer::session(const std::string &id) {
    auto &s = sessions_[id];
    if (!s) s.reset(new Session);
    return *s;
}

void SignalServer::set_user(const std::string &id, const User &user) {
    std::lock_guard<std::mutex> g(mutex_);
    session(id).user = user;
}

void SignalServer::push(const std::string &id, const std::string &text) {
    std::lock_guard<std::mutex> g(mutex_);
    session(id).outbox.push_back(text);
}

void SignalServer::push_close(const std::string &id, const std::string &reason) {
    push(id, "{\"version\":1,\"action\":\"close\",\"payload\":{\"reason\":\"" + reason + "\"}}");
}

void SignalServer::push_sdk(const std::string &id, const std::string &payload_json) {
    push(id, "{\"version\":1,\"action\":\"sdk\",\"payload\":" + payload_json + "}");
}

void SignalServer::drop(const std::string &id, uint16_t code) {
    std::lock_guard<std::mutex> g(mutex_);
    session(id).drop_code = code;
}

std::vector<std::string> SignalServer::received(const std::string &id) {
    std::lock_guard<std::mutex> g(mutex_);
    return session(id).received;
}

std::vector<std::string> SignalServer::queries(const std::string &id) {
    std::lock_guard<std::mutex> g(mutex_);
    return session(id).queries;
}

std::vector<double> SignalServer::query_times(const std::string &id) {
    std::lock_guard<std::mutex> g(mutex_);
    return session(id).query_times;
}

std::string SignalServer::conn_update(const std::string &id) {
    std::lock_guard<std::mutex> g(mutex_);
    return session(id).conn_update;
}

bool SignalServer::wait(const std::function<bool()> &pred, int timeout_ms) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::unique_lock<std::mutex> g(mutex_);
        changed_.wait_for(g, std::chrono::milliseconds(20));
    }
    return true;
}

// One connection: the socket is used by this thread only (TLS objects are
// not shared between threads); other threads leave messages in the outbox.
void SignalServer::serve(WsPeer &peer) {
    std::string id = signal_query_value(peer.target, "session_id");
    while (!ws_.stopping()) {
        std::deque<std::string> out;
        uint16_t drop = 0;
        {
            std::lock_guard<std::mutex> g(mutex_);
            Session &s = session(id);
            out.swap(s.outbox);
            drop = s.drop_code;
            s.drop_code = 0;
        }
        for (const std::string &m : out) peer.send_frame(1, m);
        if (drop) {
            peer.send_close(drop);
            std::string ignored;
            peer.recv(ignored, 1000);
            return;
        }

        std::string msg;
        WsPeer::Kind k = peer.recv(msg, 10);
        if (k == WsPeer::TIMEOUT || k == WsPeer::PING || k == WsPeer::PONG) continue;
        if (k != WsPeer::TEXT) {
            if (k == WsPeer::CLOSE) peer.send_close(peer.close_code);
            return;
        }
        {
            std::lock_guard<std::mutex> g(mutex_);
            session(id).received.push_back(msg);
            changed_.notify_all();
        }
        relay(id, msg);
    }
}

void SignalServer::relay(const std::string &from, const std::string &text) {
    rapidjson::Document in;
    if (in.Parse(text.c_str()).HasParseError() || !in.IsObject() || !in.HasMember("action") ||
        !in["action"].IsString() || !in.HasMember("payload") || !in["payload"].IsObject())
        return;
    std::string action = in["action"].GetString();
    const rapidjson::Value &p = in["payload"];

    std::lock_guard<std::mutex> g(mutex_);
    if (action == "conn_update") {
        session(from).conn_update = text;
        changed_.notify_all();
        return;
    }
    if (!p.HasMember("to") || !p["to"].IsString()) return;
    if (action != "offer" && action != "answer" && action != "candex" && action != "offer_cancel") return;

    rapidjson::Document out;
    out.SetObject();
    auto &a = out.GetAllocator();
    rapidjson::Value payload(rapidjson::kObjectType);
    payload.AddMember("from", rapidjson::Value(from.c_str(), a), a);
    if (p.HasMember("attempt_id")) payload.AddMember("attempt_id", rapidjson::Value(p["attempt_id"], a), a);
    if (action == "offer") {
        const User &u = session(from).user;
        payload.AddMember("is_owner", u.is_owner, a);
        payload.AddMember("skip_approval", u.skip_approval, a);
        rapidjson::Value perms(rapidjson::kObjectType), user(rapidjson::kObjectType);
        perms.AddMember("gamepad", u.gamepad, a);
        perms.AddMember("keyboard", u.keyboard, a);
        perms.AddMember("mouse", u.mouse, a);
        user.AddMember("name", rapidjson::Value(u.name.c_str(), a), a);
        user.AddMember("id", u.id, a);
        payload.AddMember("permissions", perms, a);
        payload.AddMember("user", user, a);
    }
    if (action == "answer" && p.HasMember("approved"))
        payload.AddMember("approved", rapidjson::Value(p["approved"], a), a);
    if (action != "offer_cancel" && p.HasMember("data"))
        payload.AddMember("data", rapidjson::Value(p["data"], a), a);
    out.AddMember("version", 1, a);
    out.AddMember("action", rapidjson::Value((action + "_relay").c_str(), a), a);
    out.AddMember("payload", payload, a);

    rapidjson::StringBuffer sb;
    rapidjson::Writer<rapidjson::StringBuffer> w(sb);
    out.Accept(w);
    session(p["to"].GetString()).outbox.push_back(sb.GetString());
}
