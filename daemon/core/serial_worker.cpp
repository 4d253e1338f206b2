#include "core/serial_worker.h"

#include <utility>

#include "core/loop_tasks.h"

void SerialWorker::run(std::function<int()> work, std::function<void(int)> done) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(Job{std::move(work), std::move(done)});
        quit_ = false;
    }
    start();
    wake_.notify_one();
}

void SerialWorker::every(std::chrono::milliseconds period, std::function<void()> tick) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        period_ = period;
        tick_ = std::move(tick);
        due_ = Clock::now() + period;
        quit_ = false;
    }
    start();
    wake_.notify_one();
}

void SerialWorker::finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    wake_.notify_one();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void SerialWorker::start() {
    if (!thread_.joinable()) {
        thread_ = std::thread([this] { serve(); });
    }
}

// Runs jobs, and the tick whenever it is due between them, until told to quit with no job left.
void SerialWorker::serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        auto ready = [this] { return quit_ || !jobs_.empty() || tick_due(); };
        if (tick_) {
            wake_.wait_until(lock, due_, ready);
        } else {
            wake_.wait(lock, ready);
        }
        if (tick_due()) {
            due_ = Clock::now() + period_;
            std::function<void()> tick = tick_;
            lock.unlock();
            tick();
            lock.lock();
            continue;
        }
        if (jobs_.empty()) {
            if (quit_) {
                return;
            }
            continue;
        }
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        int result = job.work();
        if (job.done) {
            loop_post([done = std::move(job.done), result] { done(result); });
        }
        lock.lock();
    }
}
