#include "core/loop_tasks.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include "core/log.h"
#include "core/unique_fd.h"

namespace {

UniqueFd event_fd;
std::mutex queue_mutex;
std::deque<std::function<void()>> queue;

}  // namespace

int loop_tasks_init() {
    event_fd.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!event_fd.valid()) {
        log_message(LOG_LEVEL_ERROR, "Failed to create the task descriptor");
    }
    return event_fd.get();
}

void loop_post(std::function<void()> task) {
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        queue.push_back(std::move(task));
    }
    uint64_t one = 1;
    if (event_fd.valid() && write(event_fd.get(), &one, sizeof(one)) < 0) {
        // The counter is full, so the loop is already woken.
    }
}

void loop_run_posted() {
    uint64_t count = 0;
    if (read(event_fd.get(), &count, sizeof(count)) < 0) {
        // Nothing announced: a task posted before the last run was taken then.
    }
    std::deque<std::function<void()>> ready;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        ready.swap(queue);
    }
    for (std::function<void()> &task : ready) {
        task();
    }
}

void loop_tasks_close() {
    // Dropped outside the lock: a task that goes may end an operation that posts again.
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> lock(queue_mutex);
        dropped.swap(queue);
    }
    dropped.clear();
    event_fd.reset();
}
