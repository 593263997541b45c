// Captures what the platform library logs, for assertions on exact texts.
#pragma once

#include <mutex>
#include <string>
#include <vector>

class LogCapture {
   public:
    LogCapture();
    ~LogCapture();

    std::vector<std::string> lines();
    bool contains(const std::string &text);
    void clear();

   private:
    static void callback(const char *msg, void *opaque);

    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Log callback for death tests: writes each line to stderr, where EXPECT_EXIT
// can match it.
void log_to_stderr(const char *msg, void *opaque);

// Death-test check: stmt ends the process with exit code 1 after logging a
// line matching text to stderr.
#define EXPECT_FATAL(stmt, text)                 \
    EXPECT_EXIT(                                 \
        {                                        \
            VKO_SetLogFunc(log_to_stderr, NULL); \
            stmt;                                \
        },                                       \
        ::testing::ExitedWithCode(1), text)
