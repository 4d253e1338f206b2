// Deadlines of the main loop: one timerfd, armed for the earliest of a list of one-shot
// timers. Each timer runs its callback on the main thread once it is due, unless cancelled.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

using TimerId = uint64_t;

// Creates the descriptor; the caller registers it with the event aggregator (EA_DEADLINE).
int timer_list_init();
// A timer due `delay` from now; never 0.
TimerId timer_after(std::chrono::milliseconds delay, std::function<void()> callback);
// Cancels a timer that has not run; an unknown or spent identifier is ignored.
void timer_cancel(TimerId id);
// Runs every callback that is due, in order of their deadlines, and arms the descriptor for
// the next one.
void timer_list_run_due();
// Drops every timer that has not run; at exit.
void timer_list_close();
