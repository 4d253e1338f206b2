#include "core/shell.h"

#include <spawn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

extern char **environ;

namespace {

// The child starts in a process group of its own, with only the standard descriptors, an
// empty signal mask and SIGPIPE at its default: the daemon blocks its stop signals and SIGCHLD
// (they come through a descriptor) and ignores SIGPIPE; the command must not inherit either.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))

// The daemon's memory is shared with the child until its exec instead of copied: copying the
// page tables of a process with its pipelines loaded holds the loop 10 to 25 ms.
class SpawnSettings {
public:
    SpawnSettings() {
        posix_spawn_file_actions_init(&actions_);
        posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
        posix_spawnattr_init(&attributes_);
        sigset_t none;
        sigemptyset(&none);
        posix_spawnattr_setsigmask(&attributes_, &none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes_, &defaults);
        posix_spawnattr_setpgroup(&attributes_, 0);
        posix_spawnattr_setflags(
            &attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    ~SpawnSettings() {
        posix_spawnattr_destroy(&attributes_);
        posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSettings(const SpawnSettings &) = delete;
    SpawnSettings &operator=(const SpawnSettings &) = delete;
    const posix_spawn_file_actions_t *actions() const { return &actions_; }
    const posix_spawnattr_t *attributes() const { return &attributes_; }

private:
    posix_spawn_file_actions_t actions_;
    posix_spawnattr_t attributes_;
};

pid_t start_shell(const char *command) {
    SpawnSettings settings;
    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                          const_cast<char *>(command), nullptr};
    pid_t child = -1;
    int error =
        posix_spawn(&child, "/bin/sh", settings.actions(), settings.attributes(), argv, environ);
    return error == 0 ? child : -1;
}

#else

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
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigaction(SIGPIPE, &default_action, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execl("/bin/sh", "sh", "-c", command, static_cast<char *>(nullptr));
    _exit(127);
}

pid_t start_shell(const char *command) {
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

#endif

}  // namespace

pid_t spawn_shell_command(const char *command) {
    return start_shell(command);
}
