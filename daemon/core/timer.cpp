#include "core/timer.h"

#include <sys/signalfd.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

#include "core/log.h"
#include "core/unique_fd.h"

namespace {

UniqueFd timer_fd;

}  // namespace

int timer_init() {
    timer_fd.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC));
    if (!timer_fd.valid()) {
        log_message(LOG_LEVEL_ERROR, "Failed to create timer fd\n");
    }
    itimerspec period{};
    period.it_value.tv_sec = 1;
    period.it_interval.tv_sec = 1;
    if (timerfd_settime(timer_fd.get(), 0, &period, nullptr) != 0) {
        log_message(LOG_LEVEL_ERROR, "Could not start timer\n");
    }
    return timer_fd.get();
}

int timer_read() {
    uint64_t expirations = 0;
    return static_cast<int>(read(timer_fd.get(), &expirations, sizeof(expirations)));
}

void timer_close() {
    timer_fd.reset();
}

int decode_signal(int fd) {
    signalfd_siginfo info{};
    static_assert(sizeof(info) == 128, "one signal record is 128 bytes");
    if (read(fd, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info))) {
        log_message(LOG_LEVEL_ERROR, "failed reading signal event");
    }
    int signal_number = static_cast<int>(info.ssi_signo);
    log_message(LOG_LEVEL_DEBUG, "found signal %d:%s", signal_number, strsignal(signal_number));
    return signal_number;
}
