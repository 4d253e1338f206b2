// A thread that runs jobs one at a time in the order they were handed over, and between them
// one periodic task; each job's result comes back to the main thread through the loop's task
// queue. The daemon's workers (storage, pipeline state changes) are each one of these.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

class SerialWorker {
public:
    SerialWorker() = default;
    SerialWorker(const SerialWorker &) = delete;
    SerialWorker &operator=(const SerialWorker &) = delete;
    ~SerialWorker() { finish(); }

    // Runs `work` after every job handed over before it; `done`, when given, then runs on the
    // main thread with its result. The thread starts with the first job.
    void run(std::function<int()> work, std::function<void(int)> done = {});
    // Runs `tick` every `period` from now, between jobs, until replaced; an empty one ends it.
    void every(std::chrono::milliseconds period, std::function<void()> tick);
    // Waits until every job handed over so far has run, then stops the thread.
    void finish();

private:
    using Clock = std::chrono::steady_clock;
    struct Job {
        std::function<int()> work;
        std::function<void(int)> done;
    };

    void start();
    bool tick_due() const { return tick_ && Clock::now() >= due_; }
    void serve();

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
