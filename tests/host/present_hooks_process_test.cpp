// The OpenGL present hook in a separate, unmodified OpenGL program: a small
// library preloaded into it installs the hook and sends every captured frame
// back through a pipe, while the program draws numbered pictures under the
// test's Xvfb.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/image.h"
#include "platform/memory.h"
#include "support/ximage_rgba.h"
#include "support/xvfb.h"

// Xlib after everything else: its macros clash with the test framework.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

extern char **environ;

namespace {

struct Frame {
    uint32_t window = 0, width = 0, height = 0;
    int32_t code = 0;
    std::vector<uint8_t> rgba;
};

// Waits up to 20 s for each piece of what the program writes.
bool readable(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 20000) == 1;
}

bool read_all(int fd, void *data, size_t size) {
    uint8_t *p = (uint8_t *)data;
    while (size) {
        if (!readable(fd)) return false;
        ssize_t n = read(fd, p, size);
        if (n <= 0) return false;
        p += n, size -= (size_t)n;
    }
    return true;
}

// One line of the program's output, without its end.
bool read_line(int fd, std::string *line) {
    line->clear();
    char c = 0;
    while (read_all(fd, &c, 1)) {
        if (c == '\n') return true;
        *line += c;
    }
    return false;
}

bool read_frame(int fd, Frame *f) {
    uint32_t h[5];
    if (!read_all(fd, h, sizeof(h)) || h[0] != 0x5246565Au) return false;
    f->window = h[1], f->width = h[2], f->height = h[3], f->code = (int32_t)h[4];
    if (f->width > 4096 || f->height > 4096) return false;
    f->rgba.resize((size_t)f->width * f->height * 4);
    return read_all(fd, f->rgba.data(), f->rgba.size());
}

// The sanitizer runtimes this test runs with: a preloaded instrumented
// library needs them ahead of it.
std::string sanitizer_runtimes() {
    std::string out;
    dl_iterate_phdr(
        [](dl_phdr_info *info, size_t, void *opaque) {
            std::string name = info->dlpi_name ? info->dlpi_name : "";
            if (name.find("/libasan.so") != std::string::npos ||
                name.find("/libtsan.so") != std::string::npos ||
                name.find("/libubsan.so") != std::string::npos)
                *(std::string *)opaque += name + ":";
            return 0;
        },
        &out);
    return out;
}

// The frame number the picture's top row carries, or -1.
int frame_number(const uint8_t *rgba, uint32_t pitch) {
    int n = 0;
    for (int bit = 0; bit < 8; bit++) {
        const uint8_t *p = rgba + (size_t)4 * pitch + (bit * 8 + 4) * 4;  // the square's middle
        bool white = p[0] == 255 && p[1] == 255 && p[2] == 255, black = !p[0] && !p[1] && !p[2];
        if (!white && !black) return -1;
        n = n * 2 + white;
    }
    return n;
}

bool is_rgb(const uint8_t *p, uint8_t r, uint8_t g, uint8_t b) {
    return p[0] == r && p[1] == g && p[2] == b;
}

// The test program under the test's Xvfb, with the hook preloaded or loaded
// at run time. It ends when its standard input closes, so also when the test
// is killed.
struct Program {
    pid_t pid = 0;
    int data = -1, control = -1, out = -1;
    int wrapped = -1;  // with the swap wrapper: one byte per call of it
    // Set before start: frames go nowhere instead of to `data`, and these
    // settings replace the environment's of the same names.
    bool discard_frames = false;
    std::vector<std::string> env_extra;

    // preload: the hook library preloaded; else loaded by the program itself
    // after frame `after` (0: before the first).
    // wrap: the swap wrapper preloaded ahead of everything else of ours.
    // swap_from: the library the program fetches its swap from (the program
    // built to swap through a pointer).
    bool start(const char *exe, int frames, int w, int h, bool preload, int after, bool wrap = false,
               const char *swap_from = nullptr) {
        int d[2], c[2], o[2], v[2] = {-1, -1};
        if (pipe2(d, O_CLOEXEC) || pipe2(c, O_CLOEXEC) || pipe2(o, O_CLOEXEC)) return false;
        if (wrap && pipe2(v, O_CLOEXEC)) return false;
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, c[0], 0);
        posix_spawn_file_actions_adddup2(&fa, o[1], 1);
        if (discard_frames)
            posix_spawn_file_actions_addopen(&fa, 3, "/dev/null", O_WRONLY, 0);
        else
            posix_spawn_file_actions_adddup2(&fa, d[1], 3);
        if (wrap) posix_spawn_file_actions_adddup2(&fa, v[1], 4);
        std::vector<std::string> env_text;
        auto replaced = [&](const char *e) {
            if (strncmp(e, "LD_PRELOAD=", 11) == 0) return true;
            for (const std::string &x : env_extra)
                if (strncmp(e, x.c_str(), x.find('=') + 1) == 0) return true;
            return false;
        };
        for (char **e = environ; *e; e++)
            if (!replaced(*e)) env_text.push_back(*e);
        env_text.insert(env_text.end(), env_extra.begin(), env_extra.end());
        env_text.push_back("LD_PRELOAD=" + sanitizer_runtimes() +
                           (wrap ? std::string(ZARVEK_SWAP_WRAPPER) + ":" : "") +
                           (preload ? ZARVEK_HOOK_PRELOAD : ""));
        if (wrap) env_text.push_back("ZARVEK_WRAP_FD=4");
        if (swap_from) env_text.push_back(std::string("ZARVEK_SWAP_FROM=") + swap_from);
        if (!preload) {
            env_text.push_back(std::string("ZARVEK_HOOK_DLOPEN=") + ZARVEK_HOOK_PRELOAD);
            env_text.push_back("ZARVEK_HOOK_DLOPEN_AFTER=" + std::to_string(after));
        }
        env_text.push_back("ZARVEK_HOOK_FRAMES_FD=3");
        std::vector<char *> env;
        for (auto &e : env_text) env.push_back(e.data());
        env.push_back(nullptr);
        std::string n = std::to_string(frames), ws = std::to_string(w), hs = std::to_string(h);
        char *argv[] = {(char *)exe, n.data(), ws.data(), hs.data(), nullptr};
        int r = posix_spawn(&pid, exe, &fa, nullptr, argv, env.data());
        posix_spawn_file_actions_destroy(&fa);
        close(c[0]);
        close(o[1]);
        close(d[1]);
        if (wrap) close(v[1]);
        data = d[0], control = c[1], out = o[0], wrapped = v[0];
        if (r != 0) pid = 0;
        return r == 0;
    }

    // Standard input closed: the program ends normally (hook removed); its
    // exit status.
    int finish() {
        if (control >= 0) close(control);
        control = -1;
        int status = -1;
        if (pid > 0 && waitpid(pid, &status, 0) != pid) status = -1;
        pid = 0;
        return status;
    }

    ~Program() {
        if (pid > 0) {
            finish();
        }
        if (data >= 0) close(data);
        if (out >= 0) close(out);
        if (wrapped >= 0) close(wrapped);
    }
};

// The frames the program's presents delivered, all of them good pictures
// numbered first.. in order, of the program's size.
void expect_frames(int fd, int first, int last, int w, int h, std::vector<Frame> *got) {
    for (int i = first; i <= last; i++) {
        SCOPED_TRACE(i);
        Frame f;
        ASSERT_TRUE(read_frame(fd, &f));
        ASSERT_EQ(f.code, 0);
        ASSERT_EQ(f.width, (uint32_t)w);
        ASSERT_EQ(f.height, (uint32_t)h);
        EXPECT_EQ(frame_number(f.rgba.data(), w * 4), i);
        EXPECT_TRUE(is_rgb(&f.rgba[((size_t)20 * w + 80) * 4], 255, 0, 0));  // top half red
        EXPECT_TRUE(is_rgb(&f.rgba[((size_t)50 * w + 10) * 4], 0, 0, 255));  // bottom half blue
        got->push_back(std::move(f));
    }
}

// The program, its standard input closed, ends by itself with status 0.
void expect_clean_exit(Program &p) {
    int status = p.finish();
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

// A run of the program at 96 x 64 with the hook preloaded or loaded after
// frame `after`: the frames from the next one on arrive whole and in order,
// then the program exits cleanly.
void expect_captured_run(const char *exe, int frames, bool preload, int after,
                         const char *swap_from = nullptr) {
    const int w = 96, h = 64;
    Program p;
    ASSERT_TRUE(p.start(exe, frames, w, h, preload, after, false, swap_from));
    std::vector<Frame> got;
    expect_frames(p.data, after + 1, frames, w, h, &got);
    expect_clean_exit(p);
}

}  // namespace

TEST(PresentHooksProcess, FramesOfAnotherProgramArriveInOrderAndStillReachTheScreen) {
    ASSERT_FALSE(xvfb_display().empty());
    const int frames = 6, w = 96, h = 64;
    Program p;
    ASSERT_TRUE(p.start(ZARVEK_GLX_FRAMES, frames, w, h, true, 0));

    // Every present of the program, in order, with its picture top row first.
    std::vector<Frame> got;
    expect_frames(p.data, 1, frames, w, h, &got);
    ASSERT_EQ(got.size(), (size_t)frames);

    // The program's window id, and what its last real swap put on screen once
    // the program says that swap reached the server (the hook hands a frame on
    // before the swap it captured).
    std::string line;
    ASSERT_TRUE(read_line(p.out, &line));
    Window win = (Window)strtoul(line.c_str(), nullptr, 10);
    EXPECT_EQ(got[0].window, (uint32_t)win);
    ASSERT_TRUE(read_line(p.out, &line));
    ASSERT_EQ(line, "swapped");
    Display *dpy = XOpenDisplay(nullptr);
    ASSERT_NE(dpy, nullptr);
    XImage *img = XGetImage(dpy, win, 0, 0, w, h, AllPlanes, ZPixmap);
    ASSERT_NE(img, nullptr);
    std::vector<uint8_t> shot = ximage_rgba(img, w, h);
    XDestroyImage(img);
    XCloseDisplay(dpy);
    EXPECT_EQ(frame_number(shot.data(), w * 4), frames);
    EXPECT_EQ(shot, got.back().rgba);
    if (const char *dir = getenv("ZARVEK_SCREENSHOTS")) {
        size_t size = 0;
        void *png = VKO_CompressImage(VKO_IMAGE_PNG, shot.data(), w, h, &size);
        FILE *fp = fopen((std::string(dir) + "/present_hook_glx_program.png").c_str(), "wb");
        if (fp && png) fwrite(png, 1, size, fp);
        if (fp) fclose(fp);
        VKO_Free(png);
    }

    expect_clean_exit(p);
    Frame extra;
    EXPECT_FALSE(read_frame(p.data, &extra));  // nothing after the last frame
}

// The library loaded at run time (as an injector does): the hooks it attached
// are still removed at exit, after this library's own statics went.
TEST(PresentHooksProcess, HookLoadedAtRunTimeIsRemovedAtExit) {
    ASSERT_FALSE(xvfb_display().empty());
    expect_captured_run(ZARVEK_GLX_FRAMES, 3, false, 0);
}

// A program linked the GLVND way (libOpenGL and libGLX) with every import
// bound at start, the hook preloaded; and the same program with the hook
// loaded after its second present, when its import was long bound.
TEST(PresentHooksProcess, GlvndProgramIsCapturedBoundEarlyOrHookedLate) {
    ASSERT_FALSE(xvfb_display().empty());
    {
        SCOPED_TRACE("preloaded");
        expect_captured_run(ZARVEK_GLX_FRAMES_GLVND, 5, true, 0);
    }
    {
        SCOPED_TRACE("loaded after the second present");
        expect_captured_run(ZARVEK_GLX_FRAMES_GLVND, 5, false, 2);
    }
}

// A wrapper of glXSwapBuffers preloaded ahead of the hook (as frame-rate
// overlays are) keeps running on every present while the hook captures
// them; the import was not yet bound when the hook was attached.
TEST(PresentHooksProcess, PreloadedSwapWrapperStillRunsUnderTheHook) {
    ASSERT_FALSE(xvfb_display().empty());
    const int frames = 4, w = 96, h = 64;
    Program p;
    ASSERT_TRUE(p.start(ZARVEK_GLX_FRAMES, frames, w, h, true, 0, true));
    std::vector<Frame> got;
    expect_frames(p.data, 1, frames, w, h, &got);
    std::string line;
    ASSERT_TRUE(read_line(p.out, &line));  // the window id
    ASSERT_TRUE(read_line(p.out, &line));
    ASSERT_EQ(line, "swapped");
    char calls[64] = {};
    ssize_t n = 0;
    pollfd pf = {p.wrapped, POLLIN, 0};
    if (poll(&pf, 1, 0) == 1) n = read(p.wrapped, calls, sizeof(calls));
    EXPECT_EQ(n, frames);
    expect_clean_exit(p);
}

// A program with no swap import of its own, swapping through a pointer it
// fetched with dlsym from libGL (as programs that load GL at run time do):
// its frames are captured, libGL's export forwarding through the hooked
// libGLX.
TEST(PresentHooksProcess, SwapThroughAPointerFetchedFromLibGlIsCaptured) {
    ASSERT_FALSE(xvfb_display().empty());
    expect_captured_run(ZARVEK_GLX_FRAMES_FETCHED, 3, true, 0, "libGL.so.1");
}

// A program that destroys its context and makes the next: a new context often
// gets the gone one's address, and its first texture and buffer the names
// the hook's objects had in the gone one. The hook must neither write the
// frame into them nor take them for its own. (The allocator keeps no freed
// memory back here, so that addresses come again as they do in programs.)
TEST(PresentHooksProcess, NewContextAtAGoneOnesAddressKeepsItsObjects) {
    ASSERT_FALSE(xvfb_display().empty());
    Program p;
    p.discard_frames = true;
    const char *asan = getenv("ASAN_OPTIONS");
    p.env_extra.push_back(std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":quarantine_size_mb=0");
    ASSERT_TRUE(p.start(ZARVEK_GLX_CONTEXTS, 40, 64, 48, true, 0));
    std::string line;
    ASSERT_TRUE(read_line(p.out, &line));
    int reused = -1, spoiled = -1;
    ASSERT_EQ(sscanf(line.c_str(), "reused %d spoiled %d", &reused, &spoiled), 2) << line;
    EXPECT_EQ(spoiled, 0) << "of " << reused;
    expect_clean_exit(p);
    if (reused == 0) GTEST_SKIP() << "no context got a gone one's address";
}
