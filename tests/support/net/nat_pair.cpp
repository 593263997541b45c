#include "support/net/nat_pair.h"

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/crypto.h"
#include "platform/dtls.h"
#include "platform/log.h"
#include "platform/thread.h"

namespace {

void random_hex(char *out, size_t bytes) {
    std::vector<uint8_t> b(bytes);
    VKO_GetRandomBytes(b.data(), b.size());
    for (size_t i = 0; i < bytes; i++) std::snprintf(out + 2 * i, 3, "%02x", b[i]);
}

void make_creds(Creds *c, uint32_t proto, VKO_Cert *cert) {
    std::memset(c, 0, sizeof *c);
    random_hex(c->ice_ufrag, 4);
    random_hex(c->ice_pwd, 16);
    if (proto == NAT_PROTO_SCTP) {
        VKO_CertGetFingerprint(cert, c->fingerprint, sizeof c->fingerprint);
    } else {
        random_hex(c->fingerprint, 32);
        random_hex(c->aes256, 127);
    }
}

void in_place(const NatPlace &place, const std::function<void()> &fn) {
    if (place)
        place(fn);
    else
        fn();
}

}  // namespace

void nat_pair_free_record(TransportRecord **record) {
    if (!*record) return;
    (*record)->close((*record)->ctx);
    VKO_MutexDestroy(&(*record)->send_lock);
    delete *record;
    *record = nullptr;
}

NatPair::NatPair() {
    pump_ = std::thread([this] { pump(); });
}

NatPair::~NatPair() {
    close();
}

void NatPair::on_candidate(const char *, const char *ip, uint16_t port, uint8_t lan, uint8_t from_stun,
                           uint8_t sync, void *opaque) {
    Side *from = static_cast<Side *>(opaque);
    NatPair *p = from->pair;
    std::lock_guard<std::mutex> lock(p->mutex_);
    p->queue_.push_back({from->host ? &p->client : &p->host, ip, port, lan, from_stun, sync});
    p->cond_.notify_all();
}

void NatPair::on_connected(const GuestInfo *, TransportRecord *record, void *opaque) {
    Side *s = static_cast<Side *>(opaque);
    std::lock_guard<std::mutex> lock(s->pair->mutex_);
    s->record = record;
    if (s->pair->host.record && s->pair->client.record) s->pair->opened_ns = VKO_GetTime();
    s->pair->cond_.notify_all();
}

void NatPair::on_failed(const GuestInfo *, int32_t code, void *opaque) {
    Side *s = static_cast<Side *>(opaque);
    std::lock_guard<std::mutex> lock(s->pair->mutex_);
    s->failed = code;
    s->pair->cond_.notify_all();
}

void NatPair::pump() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
        cond_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        while (!queue_.empty()) {
            Cand c = queue_.front();
            queue_.pop_front();
            NatManager *to = c.to->nat;
            if (!c.sync && !c.to->first_candidate_ns) c.to->first_candidate_ns = VKO_GetTime();
            lock.unlock();
            if (to) nat_add_candidate(to, attempt_.c_str(), c.ip.c_str(), c.port, c.lan, c.from_stun, c.sync);
            lock.lock();
        }
    }
}

bool NatPair::start(uint32_t proto, const std::string &servers, const NatPlace &host_place,
                    const NatPlace &client_place) {
    host.place = host_place;
    client.place = client_place;
    if (proto == NAT_PROTO_SCTP) {
        client_cert_ = VKO_CertCreate();
        host_cert_ = VKO_CertCreate();
    }
    Creds client_creds, host_creds;
    make_creds(&client_creds, proto, client_cert_);
    make_creds(&host_creds, proto, host_cert_);
    GuestInfo info{};
    std::snprintf(info.name, sizeof info.name, "guest");
    NatCallbacks cb{on_candidate, on_connected, on_failed};

    nat_create(&host.nat, NAT_MODE_HOST, servers.c_str(), 0, 0);
    nat_create(&client.nat, NAT_MODE_CLIENT, servers.c_str(), 0, 0);
    in_place(host.place, [&] { nat_start(host.nat, &cb, &host); });
    in_place(client.place, [&] { nat_start(client.nat, &cb, &client); });

    // As signaling does: the client offers, the host approves, the client hears the answer.
    bool ok = nat_add_peer(client.nat, attempt_.c_str(), proto, &client_creds, &info, client_cert_, 1) == 1 &&
              nat_add_peer(host.nat, attempt_.c_str(), proto, &client_creds, &info, nullptr, 1) == 1;
    client_cert_ = nullptr;  // the attempts own them now
    in_place(host.place, [&] { nat_begin_p2p(host.nat, attempt_.c_str(), 0, &host_creds, host_cert_); });
    host_cert_ = nullptr;
    in_place(client.place, [&] { nat_begin_p2p(client.nat, attempt_.c_str(), 0, &host_creds, nullptr); });
    begin_ns = VKO_GetTime();
    return ok;
}

bool NatPair::wait(uint32_t timeout_ms, bool every_side) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cond_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        bool h = host.record || host.failed, c = client.record || client.failed;
        return (host.record && client.record) || (every_side ? h && c : host.failed || client.failed);
    });
}

bool NatPair::candidates_exchanged() {
    std::lock_guard<std::mutex> lock(mutex_);
    return host.first_candidate_ns && client.first_candidate_ns;
}

bool NatPair::exchange() {
    if (!host.record || !client.record) return false;
    const char hello[] = "hello from the host", reply[] = "and back from the client";
    char buf[64];
    uint32_t len = 0;
    TransportRecord *h = host.record, *c = client.record;
    if (h->send(h->ctx, 0, nullptr, 0, hello, sizeof hello, 2000) != 0) return false;
    if (c->recv(c->ctx, 0, buf, sizeof buf, &len, 5000) != 0 || len != sizeof hello ||
        std::memcmp(buf, hello, len) != 0)
        return false;
    if (c->send(c->ctx, 0, nullptr, 0, reply, sizeof reply, 2000) != 0) return false;
    return h->recv(h->ctx, 0, buf, sizeof buf, &len, 5000) == 0 && len == sizeof reply &&
           std::memcmp(buf, reply, len) == 0;
}

void NatPair::close() {
    // The pump first: it calls into the managers.
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        cond_.notify_all();
    }
    if (pump_.joinable()) pump_.join();
    nat_destroy(&host.nat);
    nat_destroy(&client.nat);
    nat_pair_free_record(&host.record);
    nat_pair_free_record(&client.record);
    VKO_CertDestroy(&client_cert_);
    VKO_CertDestroy(&host_cert_);
}
