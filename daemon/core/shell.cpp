#include "core/shell.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

namespace {

// Only async-signal-safe calls from here on: the child of a threaded process.
void close_inherited_descriptors(int descriptor_limit) {
#ifdef SYS_close_range
    if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) {
        return;
    }
#endif
    for (int fd = 3; fd < descriptor_limit; ++fd) {
        close(fd);
    }
}

[[noreturn]] void exec_shell(const char *command, int descriptor_limit) {
    setpgid(0, 0);
    close_inherited_descriptors(descriptor_limit);
    // The daemon blocks its stop signals and SIGCHLD (they come through a descriptor) and
    // ignores SIGPIPE; the command must not inherit either.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &default_action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    _exit(127);
}

}  // namespace

pid_t spawn_shell_command(const char *command) {
    long limit = sysconf(_SC_OPEN_MAX);
    pid_t child = fork();
    if (child == 0) {
        exec_shell(command, limit > 0 ? static_cast<int>(limit) : 1024);
    }
    if (child > 0) {
        // Also here: the group must exist before anyone may kill it, whoever runs first.
        setpgid(child, child);
    }
    return child < 0 ? -1 : child;
}
