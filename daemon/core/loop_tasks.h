// Work that other threads (the storage worker, GStreamer's streaming threads) hand to the main
// thread: queued under a lock, announced through an eventfd, run by the main loop in the order
// posted.
#pragma once

#include <functional>

// Creates the eventfd; the caller registers it with the event aggregator (EA_LOOP_TASKS).
int loop_tasks_init();
// From any thread.
void loop_post(std::function<void()> task);
// On the main thread: runs every task posted so far.
void loop_run_posted();
// Drops what was posted and not run; at exit.
void loop_tasks_close();
