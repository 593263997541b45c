#include "support/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

namespace {

pa_sample_spec g_spec{PA_SAMPLE_S16LE, 48000, 2};
const auto STAY = (pa_stream_flags_t)(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);

void drop_cb(pa_stream *s, size_t, void *) {
    const void *p;
    size_t n;
    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &p, &n) == 0 && n > 0) pa_stream_drop(s);
}

bool connects(const std::string &path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    snprintf(a.sun_path, sizeof(a.sun_path), "%s", path.c_str());
    bool ok = connect(fd, (sockaddr *)&a, sizeof(a)) == 0;
    close(fd);
    return ok;
}

pa_stream *record_stream(VKO_Pulse *p, const char *name, const char *source, uint32_t input,
                         pa_stream_request_cb_t cb, void *ud) {
    pa_stream *s = pa_stream_new(p->ctx, name, &g_spec, nullptr);
    pa_stream_set_state_callback(s, vko_pulse_stream_state_cb, p);
    pa_stream_set_read_callback(s, cb, ud);
    if (input != UINT32_MAX) pa_stream_set_monitor_stream(s, input);
    pa_buffer_attr ra{(uint32_t)-1, (uint32_t)-1, (uint32_t)-1, (uint32_t)-1,
                      (uint32_t)pa_usec_to_bytes(10000, &g_spec)};
    int err = 0;
    if (pa_stream_connect_record(s, source, &ra, STAY) < 0 || !vko_pulse_wait_stream(p, s, &err)) {
        pa_stream_unref(s);
        return nullptr;
    }
    return s;
}

PulseServer *g_server;
pid_t g_owner;  // the process that started g_server

// A child forked without exec that exits leaves the server to its parent.
void stop_server() {
    if (getpid() != g_owner) return;
    delete g_server;
    g_server = nullptr;
}

}  // namespace

struct PulseServer::Tone {
    pa_stream *stream;
    double freq, amp, phase;
    bool clock;
    uint64_t frames;      // played so far
    uint32_t period, on;  // bursts: on frames of every period, else a steady sine
};

PulseServer *PulseServer::get() {
    static bool tried = false;
    if (!tried) {
        tried = true;
        auto *s = new PulseServer();
        if (s->start()) {
            g_server = s;
            g_owner = getpid();
            atexit(stop_server);
        } else {
            delete s;
        }
    }
    return g_server;
}

bool PulseServer::start() {
    char tmpl[] = "/tmp/zvpa-XXXXXX";
    if (!mkdtemp(tmpl)) return false;
    dir_ = tmpl;
    const std::string sock = dir_ + "/native";
    std::vector<std::string> env = {"PATH=/usr/bin:/bin",
                                    "HOME=" + dir_,
                                    "XDG_RUNTIME_DIR=" + dir_,
                                    "XDG_CONFIG_HOME=" + dir_ + "/config",
                                    "PULSE_RUNTIME_PATH=" + dir_ + "/runtime",
                                    "PULSE_STATE_PATH=" + dir_ + "/state",
                                    "PULSE_CONFIG=/dev/null",
                                    "DBUS_SESSION_BUS_ADDRESS=disabled:"};
    std::vector<std::string> args = {
        "pulseaudio",
        "-n",
        "--daemonize=no",
        "--use-pid-file=no",
        "--exit-idle-time=-1",
        "--disallow-exit",
        "--realtime=no",
        "--high-priority=no",
        "--no-cpu-limit",
        "--log-target=file:" + dir_ + "/log",
        "--log-level=notice",
        "--load=module-null-sink sink_name=testsink rate=48000 channels=2 format=s16le",
        "--load=module-native-protocol-unix socket=" + sock + " auth-anonymous=1 auth-cookie-enabled=0"};
    std::vector<char *> argv, envp;
    for (auto &a : args) argv.push_back(a.data());
    for (auto &e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int n = open("/dev/null", O_RDWR);
        dup2(n, 0), dup2(n, 1), dup2(n, 2);
        execve("/usr/bin/pulseaudio", argv.data(), envp.data());
        _exit(127);
    }
    if (pid_ < 0) return false;
    // A loaded machine may take many seconds to bring the server up.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!connects(sock)) {
        int st;
        if (waitpid(pid_, &st, WNOHANG) == pid_ || std::chrono::steady_clock::now() > deadline) {
            if (kill(pid_, SIGTERM) == 0) waitpid(pid_, nullptr, 0);
            pid_ = -1;
            std::ifstream log(dir_ + "/log");
            std::string said((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
            fprintf(stderr, "pulseaudio did not start; it said:\n%s\n",
                    said.empty() ? "(nothing)" : said.c_str());
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    setenv("PULSE_SERVER", ("unix:" + sock).c_str(), 1);
    setenv("PULSE_COOKIE", (dir_ + "/client-cookie").c_str(), 1);
    // Samples travel through the socket: the shared-memory ring's own
    // synchronisation is invisible to the thread sanitizer.
    std::ofstream(dir_ + "/client.conf") << "enable-shm = no\n";
    setenv("PULSE_CLIENTCONFIG", (dir_ + "/client.conf").c_str(), 1);
    if (vko_pulse_open(&pulse_, "test-fixture") != 0) return false;
    return prime("testsink");
}

PulseServer::~PulseServer() {
    if (pulse_.ml) {
        {
            PulseLock lock(&pulse_);
            for (auto &t : tones_)
                if (t) pa_stream_disconnect(t->stream), pa_stream_unref(t->stream);
            for (pa_stream *s : keepalive_) pa_stream_disconnect(s), pa_stream_unref(s);
        }
        vko_pulse_close(&pulse_);
    }
    for (pid_t p : spawned_) kill_spawned(p);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (!dir_.empty()) {
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }
}

// A null sink renders far ahead of real time until some stream asks for low
// latency; a short-fragment record stream on its monitor for the server's life,
// and one suspend/resume so its clock restarts now, make it deliver promptly.
bool PulseServer::prime(const std::string &sink) {
    PulseLock lock(&pulse_);
    pa_stream *s =
        record_stream(&pulse_, "keepalive", (sink + ".monitor").c_str(), UINT32_MAX, drop_cb, nullptr);
    if (!s) return false;
    keepalive_.push_back(s);
    for (int on = 1; on >= 0; on--) {
        PulseResult r{pulse_.ml, 0};
        if (!vko_pulse_wait(&pulse_, pa_context_suspend_sink_by_name(pulse_.ctx, sink.c_str(), on,
                                                                     vko_pulse_success_cb, &r)) ||
            !r.success)
            return false;
    }
    return true;
}

// pactl reaches the server through PULSE_SERVER, as every client here does.
bool PulseServer::add_sink(const std::string &name) {
    std::string cmd = "pactl load-module module-null-sink sink_name=" + name +
                      " rate=48000 channels=2 format=s16le >/dev/null";
    return system(cmd.c_str()) == 0 && prime(name);
}

bool PulseServer::set_default_sink(const std::string &name) {
    return system(("pactl set-default-sink " + name).c_str()) == 0;
}

uint32_t PulseServer::sink_index(const std::string &name) {
    PulseLock lock(&pulse_);
    VKO_PulseSink s;
    return vko_pulse_sink(&pulse_, name.c_str(), &s) ? s.index : PA_INVALID_INDEX;
}

std::vector<PulseServer::Input> PulseServer::inputs() {
    struct W {
        pa_threaded_mainloop *ml;
        std::vector<Input> list;
    } w{pulse_.ml, {}};
    PulseLock lock(&pulse_);
    pa_operation *op = pa_context_get_sink_input_info_list(
        pulse_.ctx,
        [](pa_context *, const pa_sink_input_info *i, int eol, void *ud) {
            auto *w = (W *)ud;
            if (!eol && i) {
                const char *pid = pa_proplist_gets(i->proplist, PA_PROP_APPLICATION_PROCESS_ID);
                w->list.push_back({i->index, i->sink, i->corked != 0, pid ? (uint32_t)atoi(pid) : 0,
                                   i->name ? i->name : ""});
            }
            pa_threaded_mainloop_signal(w->ml, 0);
        },
        &w);
    vko_pulse_wait(&pulse_, op);
    return w.list;
}

int PulseServer::play_clock(const std::string &sink) {
    return play(sink, std::make_unique<Tone>(Tone{nullptr, 0, 0, 0, true, 0, 0, 0}));
}

int PulseServer::play_tone(const std::string &sink, double freq, double amp) {
    return play(sink, std::make_unique<Tone>(Tone{nullptr, freq, amp, 0, false, 0, 0, 0}));
}

int PulseServer::play_bursts(const std::string &sink, double freq, double amp, uint32_t period, uint32_t on) {
    return play(sink, std::make_unique<Tone>(Tone{nullptr, freq, amp, 0, false, 0, period, on}));
}

int PulseServer::play(const std::string &sink, std::unique_ptr<Tone> t) {
    PulseLock lock(&pulse_);
    pa_stream *s = pa_stream_new(pulse_.ctx, "tone", &g_spec, nullptr);
    pa_stream_set_state_callback(s, vko_pulse_stream_state_cb, &pulse_);
    pa_stream_set_write_callback(
        s,
        [](pa_stream *s, size_t nbytes, void *ud) {
            auto *t = (Tone *)ud;
            std::vector<int16_t> buf(nbytes / 4 * 2);
            for (size_t i = 0; i < buf.size(); i += 2, t->frames++) {
                const bool quiet = t->period && t->frames % t->period >= t->on;
                buf[i] = buf[i + 1] = t->clock ? clock_level((uint32_t)(t->frames / 4800))
                                      : quiet  ? 0
                                               : (int16_t)lrint(t->amp * 32767 * sin(t->phase));
                t->phase = fmod(t->phase + 2 * M_PI * t->freq / 48000, 2 * M_PI);
            }
            pa_stream_write(s, buf.data(), buf.size() * 2, nullptr, 0, PA_SEEK_RELATIVE);
        },
        t.get());
    pa_buffer_attr pa{(uint32_t)-1, (uint32_t)pa_usec_to_bytes(200000, &g_spec), (uint32_t)-1, (uint32_t)-1,
                      (uint32_t)-1};
    int err = 0;
    if (pa_stream_connect_playback(s, sink.c_str(), &pa, STAY, nullptr, nullptr) < 0 ||
        !vko_pulse_wait_stream(&pulse_, s, &err)) {
        pa_stream_unref(s);
        return -1;
    }
    t->stream = s;
    tones_.push_back(std::move(t));
    return (int)tones_.size() - 1;
}

int PulseServer::play_heard_tone(const std::string &sink, double freq, double amp) {
    int id = play_tone(sink, freq, amp);
    PulseRecorder rec(sink + ".monitor");
    for (int i = 0; id >= 0 && i < 40; i++) {  // 2 s of sound, or 40 s of nothing
        auto got = rec.take(2400, 1000);
        if (!got.empty() && tone_amplitude(got.data(), 2400, 2, 0, freq) > amp / 2) return id;
    }
    stop_tone(id);
    return -1;
}

void PulseServer::stop_tone(int id) {
    PulseLock lock(&pulse_);
    if (id < 0 || id >= (int)tones_.size() || !tones_[id]) return;
    pa_stream_set_write_callback(tones_[id]->stream, nullptr, nullptr);
    pa_stream_disconnect(tones_[id]->stream);
    pa_stream_unref(tones_[id]->stream);
    tones_[id].reset();
}

pid_t PulseServer::spawn_tone(const std::string &exe, const std::string &sink, double freq, double amp) {
    // Two seconds of tone, repeated by the shell.
    std::string raw = dir_ + "/tone-" + std::to_string((int)freq) + ".raw";
    std::vector<int16_t> pcm(2 * 96000);
    for (size_t i = 0; i < pcm.size(); i += 2)
        pcm[i] = pcm[i + 1] = (int16_t)lrint(amp * 32767 * sin(2 * M_PI * freq * (double)(i / 2) / 48000));
    std::ofstream(raw, std::ios::binary).write((const char *)pcm.data(), (std::streamsize)pcm.size() * 2);
    std::string bin = dir_ + "/" + exe;
    std::string cmd = "cp /usr/bin/pacat '" + bin + "' && while cat '" + raw + "'; do :; done | '" + bin +
                      "' --raw --format=s16le --rate=48000 --channels=2 --latency-msec=200 -d " + sink;
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        int n = open("/dev/null", O_RDWR);
        dup2(n, 0), dup2(n, 1), dup2(n, 2);
        execl("/bin/sh", "sh", "-c", cmd.c_str(), (char *)nullptr);
        _exit(127);
    }
    if (pid > 0) spawned_.push_back(pid);
    return pid;
}

void PulseServer::kill_spawned(pid_t pid) {
    if (pid <= 0) return;
    kill(-pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    std::erase(spawned_, pid);
}

PulseRecorder::PulseRecorder(const std::string &source, uint32_t input) {
    PulseServer *srv = PulseServer::get();
    if (!srv) return;
    PulseLock lock(srv->pulse());
    stream_ = record_stream(srv->pulse(), "recorder", source.c_str(), input, read_cb, this);
}

PulseRecorder::~PulseRecorder() {
    if (!stream_) return;
    PulseLock lock(PulseServer::get()->pulse());
    pa_stream_set_read_callback(stream_, nullptr, nullptr);
    pa_stream_disconnect(stream_);
    pa_stream_unref(stream_);
}

void PulseRecorder::read_cb(pa_stream *s, size_t, void *self) {
    auto *r = (PulseRecorder *)self;
    const void *p;
    size_t n;
    while (pa_stream_readable_size(s) > 0 && pa_stream_peek(s, &p, &n) == 0 && n > 0) {
        std::lock_guard<std::mutex> g(r->mutex_);
        if (p)
            r->data_.insert(r->data_.end(), (const int16_t *)p, (const int16_t *)p + n / 2);
        else
            r->data_.insert(r->data_.end(), n / 2, 0);
        pa_stream_drop(s);
        r->cond_.notify_all();
    }
}

std::vector<int16_t> PulseRecorder::take(uint32_t frames, int timeout_ms) {
    std::unique_lock<std::mutex> g(mutex_);
    data_.clear();
    if (!cond_.wait_for(g, std::chrono::milliseconds(timeout_ms),
                        [&] { return data_.size() >= frames * 2u; }))
        return {};
    return std::vector<int16_t>(data_.begin(), data_.begin() + frames * 2);
}

std::vector<int16_t> PulseRecorder::take_until(const std::function<bool(const std::vector<int16_t> &)> &done,
                                               int timeout_ms) {
    std::unique_lock<std::mutex> g(mutex_);
    data_.clear();
    if (!cond_.wait_for(g, std::chrono::milliseconds(timeout_ms), [&] { return done(data_); })) return {};
    return data_;
}

double tone_amplitude(const int16_t *x, size_t frames, int channels, int channel, double freq, double rate) {
    double w = 2 * M_PI * freq / rate, cw = 2 * cos(w), s1 = 0, s2 = 0;
    for (size_t i = 0; i < frames; i++) {
        double s0 = x[i * channels + channel] / 32768.0 + cw * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return 2 * sqrt(s1 * s1 + s2 * s2 - cw * s1 * s2) / (double)frames;
}
