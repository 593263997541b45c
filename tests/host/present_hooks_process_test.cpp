// The OpenGL present hook in a separate, unmodified OpenGL program: a small
// library preloaded into it installs the hook and sends every captured frame
// back through a pipe, while the program draws numbered pictures under the
// test's Xvfb.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <link.h>
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

bool read_all(int fd, void *data, size_t size) {
    uint8_t *p = (uint8_t *)data;
    while (size) {
        ssize_t n = read(fd, p, size);
        if (n <= 0) return false;
        p += n, size -= (size_t)n;
    }
    return true;
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

}  // namespace

TEST(PresentHooksProcess, FramesOfAnotherProgramArriveInOrderAndStillReachTheScreen) {
    ASSERT_FALSE(xvfb_display().empty());
    const int frames = 6, w = 96, h = 64;
    int data[2], control[2], out[2];
    ASSERT_EQ(pipe2(data, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(control, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, control[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, data[1], 3);
    std::vector<std::string> env_text;
    for (char **e = environ; *e; e++)
        if (strncmp(*e, "LD_PRELOAD=", 11) != 0) env_text.push_back(*e);
    env_text.push_back("LD_PRELOAD=" + sanitizer_runtimes() + ZARVEK_HOOK_PRELOAD);
    env_text.push_back("ZARVEK_HOOK_FRAMES_FD=3");
    std::vector<char *> env;
    for (auto &e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    std::string n = std::to_string(frames), ws = std::to_string(w), hs = std::to_string(h);
    char *argv[] = {(char *)ZARVEK_GLX_FRAMES, n.data(), ws.data(), hs.data(), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, ZARVEK_GLX_FRAMES, &fa, nullptr, argv, env.data()), 0);
    posix_spawn_file_actions_destroy(&fa);
    close(control[0]);
    close(out[1]);
    close(data[1]);

    // Every present of the program, in order, with its picture top row first.
    std::vector<Frame> got;
    for (int i = 0; i < frames; i++) {
        Frame f;
        if (!read_frame(data[0], &f)) break;
        got.push_back(f);
    }
    ASSERT_EQ(got.size(), (size_t)frames);
    for (int i = 0; i < frames; i++) {
        SCOPED_TRACE(i);
        const Frame &f = got[i];
        ASSERT_EQ(f.code, 0);
        ASSERT_EQ(f.width, (uint32_t)w);
        ASSERT_EQ(f.height, (uint32_t)h);
        EXPECT_EQ(frame_number(f.rgba.data(), w * 4), i + 1);
        EXPECT_TRUE(is_rgb(&f.rgba[((size_t)20 * w + 80) * 4], 255, 0, 0));  // top half red
        EXPECT_TRUE(is_rgb(&f.rgba[((size_t)50 * w + 10) * 4], 0, 0, 255));  // bottom half blue
    }

    // The program's window id, and what its last real swap put on screen.
    char line[64] = {};
    ASSERT_GT(read(out[0], line, sizeof(line) - 1), 0);
    Window win = (Window)strtoul(line, nullptr, 10);
    EXPECT_EQ(got[0].window, (uint32_t)win);
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

    // Standard input closed: the program ends normally, hook removed.
    close(control[1]);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    Frame extra;
    EXPECT_FALSE(read_frame(data[0], &extra));  // nothing after the last frame
    close(data[0]);
    close(out[0]);
}
