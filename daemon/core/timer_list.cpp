#include "core/timer_list.h"

#include <sys/timerfd.h>
#include <unistd.h>

#include <map>
#include <utility>

#include "core/log.h"
#include "core/unique_fd.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Timer {
    TimerId id;
    std::function<void()> callback;
};

UniqueFd timer_fd;
// Ordered by deadline; equal deadlines keep the order they were set in.
std::multimap<Clock::time_point, Timer> timers;
TimerId last_id = 0;

// Arms the descriptor for the earliest deadline, or disarms it when none is left.
void arm() {
    itimerspec when{};
    if (!timers.empty()) {
        auto delay = std::chrono::duration_cast<std::chrono::nanoseconds>(timers.begin()->first -
                                                                          Clock::now());
        // Zero would disarm it: a deadline already passed fires at once.
        long long nanoseconds = delay.count() > 0 ? delay.count() : 1;
        when.it_value.tv_sec = static_cast<time_t>(nanoseconds / 1000000000LL);
        when.it_value.tv_nsec = static_cast<long>(nanoseconds % 1000000000LL);
    }
    timerfd_settime(timer_fd.get(), 0, &when, nullptr);
}

}  // namespace

int timer_list_init() {
    timer_fd.reset(timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK));
    if (!timer_fd.valid()) {
        log_message(LOG_LEVEL_ERROR, "Failed to create the deadline timer");
    }
    arm();
    return timer_fd.get();
}

TimerId timer_after(std::chrono::milliseconds delay, std::function<void()> callback) {
    TimerId id = ++last_id;
    timers.emplace(Clock::now() + delay, Timer{id, std::move(callback)});
    if (timer_fd.valid()) {
        arm();
    }
    return id;
}

void timer_cancel(TimerId id) {
    for (auto entry = timers.begin(); entry != timers.end(); ++entry) {
        if (entry->second.id == id) {
            timers.erase(entry);
            return;
        }
    }
}

void timer_list_run_due() {
    uint64_t expirations = 0;
    if (read(timer_fd.get(), &expirations, sizeof(expirations)) < 0) {
        // Woken for a deadline that was cancelled or rearmed meanwhile: nothing is due.
    }
    // A callback may set or cancel timers: take one due timer at a time.
    while (!timers.empty() && timers.begin()->first <= Clock::now()) {
        std::function<void()> callback = std::move(timers.begin()->second.callback);
        timers.erase(timers.begin());
        callback();
    }
    arm();
}

void timer_list_close() {
    // Taken out first: a callback that goes may end an operation that sets or cancels timers.
    std::multimap<Clock::time_point, Timer> dropped;
    dropped.swap(timers);
    dropped.clear();
    timer_fd.reset();
}
