#include "core/storage_worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "core/loop_tasks.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Job {
    std::function<int()> work;
    std::function<void(int)> done;
};

class StorageWorker {
public:
    ~StorageWorker() { finish(); }

    void run(Job job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            jobs_.push_back(std::move(job));
            quit_ = false;
        }
        start();
        wake_.notify_one();
    }

    void every(std::chrono::milliseconds period, std::function<void()> tick) {
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

    void finish() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    void start() {
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { serve(); });
        }
    }

    bool tick_due() const { return tick_ && Clock::now() >= due_; }

    // Runs jobs, and the tick whenever it is due between them, until told to quit with no job
    // left.
    void serve() {
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

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> jobs_;
    std::function<void()> tick_;
    std::chrono::milliseconds period_{0};
    Clock::time_point due_;
    bool quit_ = false;
    // Last: started after every member it uses, joined before they go.
    std::thread thread_;
};

StorageWorker worker;

}  // namespace

void storage_run(std::function<int()> job, std::function<void(int result)> done) {
    worker.run(Job{std::move(job), std::move(done)});
}

void storage_every(std::chrono::milliseconds period, std::function<void()> tick) {
    worker.every(period, std::move(tick));
}

void storage_finish() {
    worker.finish();
}
