#include "platform/audio.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/pulse_server.h"

namespace {

std::vector<int16_t> tone(uint32_t frames, double freq = 1000, double amp = 0.5) {
    std::vector<int16_t> v(2 * frames);
    for (uint32_t i = 0; i < frames; i++)
        v[2 * i] = v[2 * i + 1] = (int16_t)lrint(amp * 32767 * sin(2 * M_PI * freq * i / 48000));
    return v;
}

// Our playback stream as the server sees it (the only input from this process
// that is not a fixture tone).
PulseServer::Input ours(PulseServer *srv) {
    for (auto &i : srv->inputs())
        if (i.name == "playback") return i;
    return {PA_INVALID_INDEX, PA_INVALID_INDEX, false, 0, ""};
}

class Playback : public ::testing::Test {
   protected:
    void SetUp() override {
        srv = PulseServer::get();
        ASSERT_NE(srv, nullptr);
        ASSERT_TRUE(srv->set_default_sink("testsink"));
    }
    PulseServer *srv = nullptr;
};

}  // namespace

// 48 kHz with 20 and 100 ms: starts at 960 queued frames, resets when the
// server runs dry and starts again only with 960 frames queued.
TEST_F(Playback, StartsAtTheMinimumAndRestartsAfterRunningDry) {
    VKO_Audio *a = VKO_AudioCreate(48000, 20, 100, 2, nullptr, 0);
    ASSERT_NE(a, nullptr);
    auto pcm = tone(480);
    VKO_AudioQueue(a, pcm.data(), 480);
    EXPECT_TRUE(ours(srv).corked);
    VKO_AudioQueue(a, pcm.data(), 479);
    EXPECT_TRUE(ours(srv).corked);
    VKO_AudioQueue(a, pcm.data(), 1);
    EXPECT_FALSE(ours(srv).corked);

    // 20 ms play out (as soon as the server gets to it); a call that finds
    // the buffer empty resets. Calls with nothing to add look until one does.
    bool reset = false;
    for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
         !reset && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        VKO_AudioQueue(a, pcm.data(), 0);
        reset = ours(srv).corked;
    }
    ASSERT_TRUE(reset) << "the server never played the buffer out";
    VKO_AudioQueue(a, pcm.data(), 480);
    EXPECT_TRUE(ours(srv).corked) << "starts again only with the minimum queued";
    VKO_AudioQueue(a, pcm.data(), 480);
    EXPECT_FALSE(ours(srv).corked);
    VKO_AudioDestroy(&a);
    EXPECT_EQ(a, nullptr);
}

// Past the maximum the buffer is emptied; a short packet after that does not
// start playback (the rule counts what is queued after the reset). A test
// thread held up for over 25 ms between the calls finds less than the
// maximum left; it tries again, on top of what is queued.
TEST_F(Playback, OverflowResetsAndWaitsForTheMinimumAgain) {
    VKO_Audio *a = VKO_AudioCreate(48000, 20, 100, 2, nullptr, 0);
    ASSERT_NE(a, nullptr);
    auto pcm = tone(3000);
    bool reset = false;
    for (int attempt = 0; attempt < 20 && !reset; attempt++) {
        VKO_AudioQueue(a, pcm.data(), 3000);
        VKO_AudioQueue(a, pcm.data(), 3000);
        EXPECT_FALSE(ours(srv).corked);
        VKO_AudioQueue(a, pcm.data(), 480);  // ~6,000 queued > 4,800
        reset = ours(srv).corked;
    }
    EXPECT_TRUE(reset);
    VKO_AudioQueue(a, pcm.data(), 480);
    EXPECT_FALSE(ours(srv).corked);
    VKO_AudioDestroy(&a);
}

// A change of the default sink reopens the stream there (our streams never
// move by themselves); the tone is then read back from the new sink's monitor.
TEST_F(Playback, FollowsTheDefaultSink) {
    ASSERT_TRUE(srv->add_sink("othersink"));
    VKO_Audio *a = VKO_AudioCreate(48000, 20, 100, 2, nullptr, 0);
    ASSERT_NE(a, nullptr);
    auto pcm = tone(960);
    VKO_AudioQueue(a, pcm.data(), 960);
    EXPECT_EQ(ours(srv).sink, srv->sink_index("testsink"));
    ASSERT_TRUE(srv->set_default_sink("othersink"));
    PulseRecorder rec("othersink.monitor");
    bool moved = false;
    for (int i = 0; i < 200 && !moved; i++) {  // the notice arrives on the loop thread
        VKO_AudioQueue(a, pcm.data(), 480);
        moved = ours(srv).sink == srv->sink_index("othersink");
        if (!moved) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(moved);
    // The new sink from about when the tone is queued until some 100 ms
    // stretch holds the tone and nothing else, whenever the server plays it
    // (a server held up renders the time it lost as silence first). A server
    // too slow to answer how much is queued has the tone refused (as if the
    // buffer were full), so it is queued again every two seconds.
    double heard = 0, other = 1;
    size_t at = 0;
    std::atomic<bool> listening{false}, found{false};
    auto tone_in = [&](const std::vector<int16_t> &got) {
        listening = true;
        for (; !found && 2 * (at + 4800) <= got.size(); at += 1200) {
            heard = tone_amplitude(got.data() + 2 * at, 4800, 2, 0, 1000);
            other = tone_amplitude(got.data() + 2 * at, 4800, 2, 0, 440);
            found = std::abs(heard - 0.5) < 0.05 && other < 0.01;
        }
        return found.load();
    };
    std::thread listen([&] { rec.take_until(tone_in, 60000); });
    while (!listening) std::this_thread::yield();
    auto second = tone(24000);
    for (int i = 0; i < 30 && !found; i++) {
        VKO_AudioQueue(a, second.data(), 24000);
        for (int w = 0; w < 400 && !found; w++) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    listen.join();
    EXPECT_NEAR(heard, 0.5, 0.05);
    EXPECT_LT(other, 0.01);
    VKO_AudioDestroy(&a);
    ASSERT_TRUE(srv->set_default_sink("testsink"));
}

// A change of the default source (the other data flow) counts as a device
// change too: the next queue call opens the stream again.
TEST_F(Playback, DefaultSourceChangeReopensTheStream) {
    ASSERT_TRUE(srv->add_sink("othersink"));
    ASSERT_EQ(system("pactl set-default-source testsink.monitor"), 0);
    VKO_Audio *a = VKO_AudioCreate(48000, 20, 100, 2, nullptr, 0);
    ASSERT_NE(a, nullptr);
    auto pcm = tone(480);
    VKO_AudioQueue(a, pcm.data(), 480);
    const uint32_t first = ours(srv).index;
    ASSERT_NE(first, PA_INVALID_INDEX);
    ASSERT_EQ(system("pactl set-default-source othersink.monitor"), 0);
    bool reopened = false;
    for (int i = 0; i < 2000 && !reopened; i++) {  // the notice arrives on the loop thread
        VKO_AudioQueue(a, pcm.data(), 480);
        const uint32_t now = ours(srv).index;
        reopened = now != first && now != PA_INVALID_INDEX;
        if (!reopened) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(reopened);
    EXPECT_EQ(ours(srv).sink, srv->sink_index("testsink"));  // the output stays where it was
    VKO_AudioDestroy(&a);
    ASSERT_EQ(system("pactl set-default-source testsink.monitor"), 0);
}

TEST_F(Playback, FailuresAreLoggedAndDestroyChecksTheThread) {
    LogCapture log;
    EXPECT_EQ(VKO_AudioCreate(48000, 20, 100, 2, "no-such-sink", 0), nullptr);
    EXPECT_TRUE(log.contains("audio_device_create: 'IMMDeviceEnumerator_GetDevice' failed with HRESULT 0x5"));
    VKO_Audio *a = VKO_AudioCreate(48000, 20, 100, 2, "no-such-sink", 1);  // falls back to the default
    ASSERT_NE(a, nullptr);
    std::thread([&] { VKO_AudioDestroy(&a); }).join();
    EXPECT_EQ(a, nullptr);
    EXPECT_TRUE(
        log.contains("VKO_AudioDestroy: VKO_Audio context should not be destroyed on a different thread from "
                     "where it was created"));
}

// The test's sound server is the process's: a child forked without exec that
// exits normally (running the exit handlers) leaves it to its parent.
TEST_F(Playback, ForkedChildLeavesTheServerRunning) {
    const uint32_t sink = srv->sink_index("testsink");
    ASSERT_NE(sink, PA_INVALID_INDEX);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        alarm(60);  // an exit handler that hangs ends here
        exit(0);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    EXPECT_EQ(system("pactl info >/dev/null 2>&1"), 0) << "the server ended with the child";
    EXPECT_EQ(srv->sink_index("testsink"), sink);
    EXPECT_TRUE(srv->set_default_sink("testsink"));
}
