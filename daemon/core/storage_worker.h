// The storage worker: one thread that does what may wait on storage, the panel or Redis, in
// the order it was handed over, so the main loop never does. Each job's result comes back to
// the main thread through the loop's task queue. Between jobs the thread runs one periodic
// task (the sync of the recording that is being written).
#pragma once

#include <chrono>
#include <functional>

// Runs `job` on the worker after every job handed over before it; `done`, when given, then
// runs on the main thread with the job's result.
void storage_run(std::function<int()> job, std::function<void(int result)> done = {});
// Runs `tick` on the worker every `period` from now, between jobs, until it is replaced; an
// empty `tick` ends it.
void storage_every(std::chrono::milliseconds period, std::function<void()> tick);
// Waits until every job handed over so far has run, then stops the thread: at exit only, so
// that what was handed over (the last configuration, a recording's end) reaches storage.
void storage_finish();
