// A private PulseAudio server for tests that need sound: a null sink
// "testsink" (48 kHz, stereo, s16le) that runs in real time from the start.
// One server per test binary: PulseServer::get() starts it on first use and
// points this process's clients at it (PULSE_SERVER); it stops when that
// process exits (a child forked without exec leaves it running). All
// streams made here stay on their sink (a change of the default sink moves
// only the code under test).
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pulse.h"

class PulseServer {
   public:
    // nullptr (reason on stderr) when no server could be started.
    static PulseServer *get();
    ~PulseServer();

    VKO_Pulse *pulse() { return &pulse_; }

    // Another null sink, primed like testsink.
    bool add_sink(const std::string &name);
    bool set_default_sink(const std::string &name);
    uint32_t sink_index(const std::string &name);

    struct Input {
        uint32_t index;
        uint32_t sink;
        bool corked;
        uint32_t pid;  // 0 when the client gave none
        std::string name;
    };
    std::vector<Input> inputs();

    // A sine (same on both channels) from this process into sink; returns an id.
    int play_tone(const std::string &sink, double freq, double amp);
    // As play_tone, returning once the tone is heard on the sink's monitor (-1 if never).
    int play_heard_tone(const std::string &sink, double freq, double amp);
    void stop_tone(int id);
    // Bursts of a sine: on frames of tone at the start of every period frames, silence between.
    int play_bursts(const std::string &sink, double freq, double amp, uint32_t period, uint32_t on);
    // A signal that tells when it was played: both channels hold
    // clock_level(tenths of a second since it began); returns a tone id.
    int play_clock(const std::string &sink);
    static int16_t clock_level(uint32_t tenths) { return (int16_t)(-30000 + 100 * (int)(tenths % 290)); }
    // The tenths a sample of the clock stands for, or -1 for silence.
    static int clock_tenths(int16_t v) { return v > -900 ? -1 : (int)lround((v + 30000) / 100.0); }

    // A sine played by another process: a shell (the returned pid, leader of
    // its own process group) pipes the tone into a copy of pacat named exe.
    pid_t spawn_tone(const std::string &exe, const std::string &sink, double freq, double amp);
    void kill_spawned(pid_t pid);

   private:
    PulseServer() = default;
    bool start();
    bool prime(const std::string &sink);

    struct Tone;
    int play(const std::string &sink, std::unique_ptr<Tone> t);
    pid_t pid_ = -1;
    std::string dir_;
    VKO_Pulse pulse_{};
    std::vector<pa_stream *> keepalive_;
    std::vector<std::unique_ptr<Tone>> tones_;
    std::vector<pid_t> spawned_;
};

// Records a source, or the monitor of one sink input (its signal before the
// sink's volume and mute), as 48 kHz stereo s16.
class PulseRecorder {
   public:
    explicit PulseRecorder(const std::string &source, uint32_t input = UINT32_MAX);
    ~PulseRecorder();
    bool ok() const { return stream_ != nullptr; }
    // Drops what arrived so far, then waits for frames new frames (empty on
    // time-out; a loaded machine may run the server seconds late).
    std::vector<int16_t> take(uint32_t frames, int timeout_ms = 30000);
    // Drops what arrived so far, then keeps what arrives until done (called
    // with all of it as it grows) says so; empty on time-out.
    std::vector<int16_t> take_until(const std::function<bool(const std::vector<int16_t> &)> &done,
                                    int timeout_ms = 30000);

   private:
    static void read_cb(pa_stream *s, size_t, void *self);
    pa_stream *stream_ = nullptr;
    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<int16_t> data_;
};

// Amplitude of the freq component of one channel (Goertzel; 1.0 = full scale).
double tone_amplitude(const int16_t *samples, size_t frames, int channels, int channel, double freq,
                      double rate = 48000);
