#include "core/storage_worker.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "core/loop_tasks.h"

namespace {

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
        if (!thread_.joinable()) {
            thread_ = std::thread([this] { serve(); });
        }
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
    // Runs jobs until told to quit with none left.
    void serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return quit_ || !jobs_.empty(); });
            if (jobs_.empty()) {
                return;
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
    bool quit_ = false;
    // Last: started after every member it uses, joined before they go.
    std::thread thread_;
};

StorageWorker worker;

}  // namespace

void storage_run(std::function<int()> job, std::function<void(int result)> done) {
    worker.run(Job{std::move(job), std::move(done)});
}

void storage_finish() {
    worker.finish();
}
