#include "support/child.h"

#include <sys/wait.h>
#include <unistd.h>

std::string run_child(const std::function<void()> &body, int *status) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], STDERR_FILENO);
        close(fds[0]);
        close(fds[1]);
        body();
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof(buf))) > 0;) out.append(buf, (size_t)n);
    close(fds[0]);
    *status = -1;
    if (pid > 0) waitpid(pid, status, 0);
    return out;
}
