#include "platform/dtls.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Types of the records in a datagram; empty unless every record carries
// version 0xFEFD and the lengths add up
std::vector<uint8_t> record_types(const Bytes &d) {
    std::vector<uint8_t> types;
    size_t off = 0;
    while (off + 13 <= d.size()) {
        if (d[off + 1] != 0xFE || d[off + 2] != 0xFD) return {};
        types.push_back(d[off]);
        off += 13 + (size_t)(d[off + 11] << 8 | d[off + 12]);
    }
    return off == d.size() ? types : std::vector<uint8_t>{};
}

// One side of a link: a loopback UDP socket, its session and every datagram
// the session handed to the write function.
struct Endpoint {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in self = {}, peer = {};
    VKO_DTLS *dtls = nullptr;
    VKO_DTLSResult state = VKO_DTLS_CONTINUE;
    std::vector<Bytes> sent, received, app;
    size_t drop_first = 0;  // this many of the first sent datagrams are lost
    int drop_ccs = 0;       // this many datagrams carrying a CCS record are lost
    bool fail_write = false;

    Endpoint() {
        self.sin_family = AF_INET;
        self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(self);
        bind(fd, (sockaddr *)&self, sizeof(self));
        getsockname(fd, (sockaddr *)&self, &len);
    }

    ~Endpoint() {
        VKO_DTLSDestroy(&dtls);
        close(fd);
    }

    void send_raw(const void *data, size_t size) {
        EXPECT_EQ(sendto(fd, data, size, 0, (sockaddr *)&peer, sizeof(peer)), (ssize_t)size);
    }

    // Next datagram within ms, empty when none; an endpoint with no peer yet
    // answers whoever spoke first
    Bytes recv(int ms) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) return {};
        Bytes b(65536);
        sockaddr_in from = {};
        socklen_t len = sizeof(from);
        ssize_t n = recvfrom(fd, b.data(), b.size(), 0, (sockaddr *)&from, &len);
        b.resize(n > 0 ? n : 0);
        if (n > 0 && peer.sin_port == 0) peer = from;
        return b;
    }
};

bool endpoint_write(const void *data, size_t size, void *opaque) {
    Endpoint *e = (Endpoint *)opaque;
    if (e->fail_write) return false;

    e->sent.emplace_back((const uint8_t *)data, (const uint8_t *)data + size);
    if (e->sent.size() <= e->drop_first) return true;
    auto types = record_types(e->sent.back());
    if (e->drop_ccs > 0 && std::find(types.begin(), types.end(), 20) != types.end()) {
        e->drop_ccs--;
        return true;
    }

    return sendto(e->fd, data, size, 0, (sockaddr *)&e->peer, sizeof(e->peer)) == (ssize_t)size;
}

// The openssl tool's version-flexible peers write their client hello and the
// server's hello-verify request with the DTLS 1.0 record version, which the
// classifier (0xFEFD only) does not take
bool is_flexible_hello(const Bytes &p) {
    return p.size() > 13 && p[0] == 22 && p[1] == 0xFE && p[2] == 0xFF && (p[13] == 1 || p[13] == 3);
}

void feed(Endpoint &e, const Bytes &pkt, bool foreign = false) {
    if (VKO_IsDTLSHandshake(pkt.data(), pkt.size()) || (foreign && is_flexible_hello(pkt))) {
        e.received.push_back(pkt);
        VKO_DTLSResult r = VKO_DTLSHandshake(e.dtls, pkt.data(), pkt.size(), endpoint_write, &e);
        if (e.state != VKO_DTLS_ERROR) e.state = r;
    } else if (VKO_IsDTLSApplicationData(pkt.data(), pkt.size())) {
        e.app.push_back(pkt);
    }
}

// Runs the sessions over their sockets, driving retransmissions, until all
// completed or one failed. The limit only guards against a hang.
void drive(std::vector<Endpoint *> eps, bool foreign = false, int limit_ms = 60000) {
    for (auto *e : eps) e->state = VKO_DTLSHandshake(e->dtls, NULL, 0, endpoint_write, e);

    auto end = Clock::now() + std::chrono::milliseconds(limit_ms);
    auto busy = [&] {
        bool all_ok = true;
        for (auto *e : eps) {
            if (e->state == VKO_DTLS_ERROR) return false;
            all_ok = all_ok && e->state == VKO_DTLS_OK;
        }
        return !all_ok && Clock::now() < end;
    };

    while (busy()) {
        for (auto *e : eps) {
            Bytes pkt = e->recv(10);
            if (!pkt.empty()) feed(*e, pkt, foreign);
            if (e->state == VKO_DTLS_CONTINUE)
                e->state = VKO_DTLSHandshake(e->dtls, NULL, 0, endpoint_write, e);
        }
    }
}

// One record of plain text, empty when refused
Bytes seal(Endpoint &e, const std::string &text) {
    uint8_t rec[2000];
    size_t n = 0;
    return VKO_DTLSEncrypt(e.dtls, text.data(), text.size(), rec, sizeof(rec), &n) ? Bytes(rec, rec + n)
                                                                                   : Bytes();
}

std::string open_record(Endpoint &e, const Bytes &rec) {
    char out[2000];
    size_t n = 0;
    return VKO_DTLSDecrypt(e.dtls, rec.data(), rec.size(), out, sizeof(out), &n) ? std::string(out, n)
                                                                                 : "<refused>";
}

bool encrypt_send(Endpoint &from, const std::string &text) {
    Bytes rec = seal(from, text);
    if (!VKO_IsDTLSApplicationData(rec.data(), rec.size()) || record_types(rec).size() != 1) return false;
    from.send_raw(rec.data(), rec.size());
    return true;
}

// Next application record on the socket, decrypted
std::string recv_decrypt(Endpoint &to) {
    auto end = Clock::now() + std::chrono::seconds(20);
    while (to.app.empty() && Clock::now() < end) {
        Bytes b = to.recv(100);
        if (!b.empty()) feed(to, b);
    }
    if (to.app.empty()) return "<none>";
    Bytes pkt = to.app.front();
    to.app.erase(to.app.begin());
    return open_record(to, pkt);
}

std::string fingerprint(const VKO_Cert *cert) {
    char fp[VKO_FINGERPRINT_SIZE];
    VKO_CertGetFingerprint(cert, fp, sizeof(fp));
    return fp;
}

// A child process with its standard input and merged output on pipes
struct Process {
    pid_t pid = -1;
    int in = -1, out = -1;
    std::string output;

    explicit Process(const std::vector<std::string> &args) {
        int pin[2], pout[2];
        if (pipe(pin) != 0 || pipe(pout) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(pin[0], 0);
            dup2(pout[1], 1);
            dup2(pout[1], 2);
            std::vector<char *> argv;
            for (auto &a : args) argv.push_back((char *)a.c_str());
            argv.push_back(nullptr);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        close(pin[0]);
        close(pout[1]);
        in = pin[1];
        out = pout[0];
    }

    ~Process() {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        close(in);
        close(out);
    }

    bool wait_for(const std::string &text) {
        auto end = Clock::now() + std::chrono::seconds(30);
        while (output.find(text) == output.npos && Clock::now() < end) {
            pollfd p = {out, POLLIN, 0};
            char buf[4096];
            ssize_t n = poll(&p, 1, 20) > 0 ? read(out, buf, sizeof(buf)) : 0;
            if (n > 0) output.append(buf, n);
        }
        return output.find(text) != output.npos;
    }

    void say(const std::string &text) {
        EXPECT_EQ(write(in, text.data(), text.size()), (ssize_t)text.size());
    }
};

// A key and certificate made by the openssl tool, with the tool's own SHA-256
// fingerprint written in our form
struct ToolCert {
    TempDir tmp;
    std::string cert = tmp.file("cert.pem"), key = tmp.file("key.pem"), fp;

    ToolCert() {
        std::string req = "openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=tool -days 1 -keyout " + key +
                          " -out " + cert + " 2>/dev/null";
        FILE *f = system(req.c_str()) == 0
                      ? popen(("openssl x509 -noout -fingerprint -sha256 -in " + cert).c_str(), "r")
                      : NULL;
        char line[256] = {0};
        if (f && fgets(line, sizeof(line), f) && strchr(line, '='))  // "sha256 Fingerprint=AB:CD:..."
            fp = "sha-256 " + std::string(strchr(line, '=') + 1, 95);
        if (f) pclose(f);
    }
};

class DTLS : public ::testing::Test {
   protected:
    // RSA key generation is slow under the sanitizers: make the certificates once
    static void SetUpTestSuite() {
        for (auto &c : certs) c = VKO_CertCreate();
    }

    static void TearDownTestSuite() {
        for (auto &c : certs) VKO_CertDestroy(&c);
    }

    static VKO_Cert *certs[3];
    VKO_Cert *server_cert = certs[0], *client_cert = certs[1], *other_cert = certs[2];
    Endpoint client, server;

    // A client and a server over a socket pair; an empty expected
    // fingerprint skips the check
    static void link(Endpoint &c, Endpoint &s, const std::string &client_expects,
                     const std::string &server_expects) {
        c.peer = s.self;
        s.peer = c.self;
        c.dtls = VKO_DTLSCreate(certs[1], client_expects.empty() ? NULL : client_expects.c_str(), 1212);
        s.dtls = VKO_DTLSCreate(certs[0], server_expects.empty() ? NULL : server_expects.c_str(), 1212,
                                VKO_DTLS_SERVER);
        ASSERT_NE(c.dtls, nullptr);
        ASSERT_NE(s.dtls, nullptr);
    }

    // Each side expects the other's certificate
    void make_pair() { link(client, server, fingerprint(server_cert), fingerprint(client_cert)); }
};

VKO_Cert *DTLS::certs[3];

}  // namespace

TEST(DTLSClassifier, Bytes) {
    const uint8_t cases[][4] = {{22, 0xFE, 0xFD, 1}, {20, 0xFE, 0xFD, 1}, {23, 0xFE, 0xFD, 2},
                                {22, 0xFE, 0xFF, 0}, {21, 0xFE, 0xFD, 0}, {0x00, 0x01, 0x00, 0}};
    for (auto &c : cases) {
        EXPECT_EQ(VKO_IsDTLSHandshake(c, 3), c[3] == 1) << (int)c[0];
        EXPECT_EQ(VKO_IsDTLSApplicationData(c, 3), c[3] == 2) << (int)c[0];
    }
    EXPECT_FALSE(VKO_IsDTLSHandshake(cases[0], 2));
    EXPECT_FALSE(VKO_IsDTLSApplicationData(cases[2], 2));
}

// Two of our sessions, client and server role, over real loopback sockets
TEST_F(DTLS, HandshakeAndDataBothWays) {
    std::string fp = fingerprint(server_cert);
    ASSERT_EQ(fp.size(), 103u);
    EXPECT_EQ(fp.rfind("sha-256 ", 0), 0u);
    EXPECT_EQ(std::count(fp.begin(), fp.end(), ':'), 31);
    EXPECT_EQ(fp.find_first_not_of("0123456789ABCDEF:", 8), fp.npos);
    EXPECT_NE(fp, fingerprint(client_cert));
    char small[20];
    VKO_CertGetFingerprint(server_cert, small, sizeof(small));
    EXPECT_EQ(std::string(small), fp.substr(0, 16));

    make_pair();
    LogCapture log;

    // A second start inside the retransmission time-out sends nothing
    EXPECT_EQ(VKO_DTLSHandshake(client.dtls, NULL, 0, endpoint_write, &client), VKO_DTLS_CONTINUE);
    EXPECT_EQ(VKO_DTLSHandshake(client.dtls, NULL, 0, endpoint_write, &client), VKO_DTLS_CONTINUE);
    EXPECT_EQ(client.sent.size(), 1u);

    // No records before the handshake is complete
    uint8_t out[4000];
    size_t n = 0;
    EXPECT_FALSE(VKO_DTLSEncrypt(client.dtls, "x", 1, out, sizeof(out), &n));

    drive({&client, &server});
    ASSERT_EQ(client.state, VKO_DTLS_OK);
    ASSERT_EQ(server.state, VKO_DTLS_OK);

    for (int i = 0; i < 5; i++) {
        std::string a = "from the client " + std::to_string(i), b = "from the server " + std::to_string(i);
        ASSERT_TRUE(encrypt_send(client, a));
        ASSERT_EQ(recv_decrypt(server), a);
        ASSERT_TRUE(encrypt_send(server, b));
        ASSERT_EQ(recv_decrypt(client), b);
    }

    // Every handshake datagram of both ends is one to the classifier, and
    // every record in it has version 0xFEFD
    for (Endpoint *e : {&client, &server}) {
        for (auto &d : e->sent) {
            auto types = record_types(d);
            EXPECT_TRUE(VKO_IsDTLSHandshake(d.data(), d.size()));
            EXPECT_FALSE(types.empty());
            for (uint8_t t : types) EXPECT_TRUE(t == 20 || t == 22) << (int)t;
        }
    }
    EXPECT_TRUE(log.lines().empty());

    // Above the largest message: the size message, nothing written; the
    // largest fills a datagram of at most mtu + 64 bytes
    std::string huge(1500, 'h');
    EXPECT_FALSE(VKO_DTLSEncrypt(client.dtls, huge.data(), huge.size(), out, sizeof(out), &n));
    ASSERT_EQ(log.lines().size(), 1u);
    std::string line = log.lines()[0];
    ASSERT_EQ(line.rfind("VKO_DTLSEncrypt: DTLS message size is too large (1500 > ", 0), 0u);
    std::string full(std::stoul(line.substr(line.find(" > ") + 3)), 'm');
    ASSERT_TRUE(encrypt_send(client, full));
    EXPECT_EQ(recv_decrypt(server), full);
    EXPECT_FALSE(VKO_DTLSEncrypt(client.dtls, "abc", 3, out, 20, &n));
    EXPECT_EQ(log.lines().back().rfind("VKO_DTLSEncrypt: Output buffer is too small (20 < ", 0), 0u);

    // A tampered or replayed record is refused
    Bytes rec = seal(client, "secret"), tampered = rec;
    tampered.back() ^= 1;
    EXPECT_EQ(open_record(server, tampered), "<refused>");
    EXPECT_EQ(open_record(server, rec), "secret");
    EXPECT_EQ(open_record(server, rec), "<refused>");
}

TEST_F(DTLS, WrongFingerprintIsRefused) {
    LogCapture log;

    // The client expects another server certificate: a result, not logged
    link(client, server, fingerprint(other_cert), fingerprint(client_cert));
    drive({&client, &server}, false, 20000);
    EXPECT_EQ(client.state, VKO_DTLS_ERROR);
    EXPECT_NE(server.state, VKO_DTLS_OK);
    for (auto &l : log.lines()) EXPECT_EQ(l.rfind("VKO_DTLSHandshake", 0), l.npos) << l;

    // Differing only in letter case is a different fingerprint
    std::string lower = fingerprint(server_cert);
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    Endpoint c2, s2;
    link(c2, s2, lower, "");
    drive({&c2, &s2}, false, 20000);
    EXPECT_EQ(c2.state, VKO_DTLS_ERROR);

    // The server expects another client certificate: it never completes the
    // handshake, and a refused session seals nothing
    Endpoint c3, s3;
    link(c3, s3, fingerprint(server_cert), fingerprint(other_cert));
    drive({&c3, &s3}, false, 20000);
    EXPECT_EQ(s3.state, VKO_DTLS_ERROR);
    EXPECT_NE(c3.state, VKO_DTLS_OK);
    uint8_t out[2000];
    size_t n = 0;
    EXPECT_FALSE(VKO_DTLSEncrypt(s3.dtls, "x", 1, out, sizeof(out), &n));

    // A write function that fails ends the step; a server needs a certificate
    Endpoint c4;
    c4.dtls = VKO_DTLSCreate(client_cert, NULL, 1212);
    c4.fail_write = true;
    EXPECT_EQ(VKO_DTLSHandshake(c4.dtls, NULL, 0, endpoint_write, &c4), VKO_DTLS_ERROR);
    EXPECT_EQ(VKO_DTLSCreate(NULL, NULL, 1212, VKO_DTLS_SERVER), nullptr);
    EXPECT_EQ(log.lines().back().rfind("VKO_DTLSCreate: 'AcquireCredentialsHandle' failed with error 0x", 0),
              0u);
}

// One lost datagram does not stall the handshake
TEST_F(DTLS, LostFlightsAreRetransmitted) {
    // The client's hello is lost and sent again, in a record with a new number
    make_pair();
    client.drop_first = 1;
    drive({&client, &server});
    ASSERT_EQ(client.state, VKO_DTLS_OK);
    ASSERT_EQ(server.state, VKO_DTLS_OK);
    EXPECT_EQ(Bytes(client.sent[0].begin() + 13, client.sent[0].end()),
              Bytes(client.sent[1].begin() + 13, client.sent[1].end()));
    EXPECT_TRUE(encrypt_send(client, "after a lost hello"));
    EXPECT_EQ(recv_decrypt(server), "after a lost hello");

    // The server's last flight is lost after it completed: the client sends
    // its flight again and the completed server answers it
    Endpoint c2, s2;
    link(c2, s2, fingerprint(server_cert), fingerprint(client_cert));
    s2.drop_ccs = 1;
    drive({&c2, &s2});
    EXPECT_EQ(c2.state, VKO_DTLS_OK);
    EXPECT_EQ(s2.drop_ccs, 0);
    EXPECT_TRUE(encrypt_send(s2, "after a lost finish"));
    EXPECT_EQ(recv_decrypt(c2), "after a lost finish");
}

// A forged record of epoch 1 with an unused sequence number and a body too
// short for the cipher is dropped before OpenSSL sees it, in either role and
// whether it comes as data or to the handshake; failures log a real code
TEST_F(DTLS, ForgedShortRecordDoesNotEndTheSession) {
    make_pair();
    drive({&client, &server});
    ASSERT_EQ(client.state, VKO_DTLS_OK);
    ASSERT_EQ(server.state, VKO_DTLS_OK);
    LogCapture log;

    for (uint8_t type : {23, 22}) {
        const uint8_t forged[21] = {type, 0xFE, 0xFD, 0, 1, 0, 0, 0, 0, 0x40, 0,
                                    0,    8,    1,    2, 3, 4, 5, 6, 7, 8};
        for (Endpoint *e : {&client, &server}) {
            if (type == 23) {
                EXPECT_EQ(open_record(*e, Bytes(forged, forged + sizeof(forged))), "<refused>");
            } else {
                EXPECT_EQ(VKO_DTLSHandshake(e->dtls, forged, sizeof(forged), endpoint_write, e), VKO_DTLS_OK);
            }
        }
        ASSERT_TRUE(encrypt_send(client, "up"));
        EXPECT_EQ(recv_decrypt(server), "up");
        ASSERT_TRUE(encrypt_send(server, "down"));
        EXPECT_EQ(recv_decrypt(client), "down");
    }

    Bytes tampered = seal(client, "x");
    tampered.back() ^= 1;
    EXPECT_EQ(open_record(server, tampered), "<refused>");
    ASSERT_FALSE(log.lines().empty());
    for (auto &l : log.lines()) EXPECT_EQ(l.find("error 0x0"), l.npos) << l;
}

// One session sealing on one thread while another thread opens on it
TEST_F(DTLS, ConcurrentSealAndOpen) {
    make_pair();
    drive({&client, &server});
    ASSERT_EQ(client.state, VKO_DTLS_OK);
    ASSERT_EQ(server.state, VKO_DTLS_OK);

    const int count = 300;
    std::vector<Bytes> to_client, to_server;
    for (int i = 0; i < count; i++) to_client.push_back(seal(server, "down " + std::to_string(i)));

    int opened = 0;
    std::thread reader([&] {
        for (int i = 0; i < count; i++)
            opened += open_record(client, to_client[i]) == "down " + std::to_string(i);
    });
    for (int i = 0; i < count; i++) to_server.push_back(seal(client, "up " + std::to_string(i)));
    reader.join();

    EXPECT_EQ(opened, count);
    for (int i = 0; i < count; i++) EXPECT_EQ(open_record(server, to_server[i]), "up " + std::to_string(i));
}

// Our client against the openssl tool's DTLS 1.2 server in its own process
TEST_F(DTLS, ClientAgainstOpensslServer) {
    ToolCert tool;
    ASSERT_EQ(tool.fp.size(), 103u) << "openssl req/x509 failed";

    // A free port: ours, closed just before the server binds it
    uint16_t port = ntohs(Endpoint().self.sin_port);
    Process proc({"openssl", "s_server", "-dtls1_2", "-accept", "127.0.0.1:" + std::to_string(port), "-cert",
                  tool.cert, "-key", tool.key, "-Verify", "1", "-naccept", "1"});
    ASSERT_TRUE(proc.wait_for("ACCEPT")) << proc.output;

    client.peer.sin_family = AF_INET;
    client.peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    client.peer.sin_port = htons(port);
    client.dtls = VKO_DTLSCreate(client_cert, tool.fp.c_str(), 1212);
    drive({&client}, true);
    ASSERT_EQ(client.state, VKO_DTLS_OK) << proc.output;

    // It saw our certificate: "CN=" and 32 lower-case hex digits
    ASSERT_TRUE(proc.wait_for("depth=0 CN = ")) << proc.output;
    std::string cn = proc.output.substr(proc.output.find("depth=0 CN = ") + 13, 33);
    EXPECT_EQ(cn.find_first_not_of("0123456789abcdef"), 32u) << cn;

    ASSERT_TRUE(encrypt_send(client, "ping from zarvek\n"));
    EXPECT_TRUE(proc.wait_for("ping from zarvek")) << proc.output;
    proc.say("pong from openssl\n");
    EXPECT_EQ(recv_decrypt(client), "pong from openssl\n");

    // All its handshake datagrams but the hello-verify request classify as such
    for (auto &d : client.received) EXPECT_TRUE(VKO_IsDTLSHandshake(d.data(), d.size()) || d[13] == 3);
}

// Our server role against the openssl tool's DTLS 1.2 client
TEST_F(DTLS, ServerAgainstOpensslClient) {
    ToolCert tool;
    ASSERT_EQ(tool.fp.size(), 103u);
    server.dtls = VKO_DTLSCreate(server_cert, tool.fp.c_str(), 1212, VKO_DTLS_SERVER);

    Process proc({"openssl", "s_client", "-dtls1_2", "-connect",
                  "127.0.0.1:" + std::to_string(ntohs(server.self.sin_port)), "-cert", tool.cert, "-key",
                  tool.key});
    drive({&server}, true);
    ASSERT_EQ(server.state, VKO_DTLS_OK) << proc.output;

    ASSERT_TRUE(proc.wait_for("Verification")) << proc.output;
    proc.say("hello from openssl\n");
    EXPECT_EQ(recv_decrypt(server), "hello from openssl\n");
    ASSERT_TRUE(encrypt_send(server, "hello from zarvek\n"));
    EXPECT_TRUE(proc.wait_for("hello from zarvek")) << proc.output;
}
