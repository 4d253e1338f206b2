#include "video/fragment_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "core/fault_hooks.h"
#include "core/unique_fd.h"

namespace {

// How often the open fragment goes to storage; the most a power cut may take of it, together
// with the muxer's index update period.
constexpr std::chrono::milliseconds kSyncPeriod{1000};

std::string folder_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void sync_path(const std::string &path, bool data_only) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.valid()) {
        data_only ? fdatasync(fd.get()) : fsync(fd.get());
    }
    if (int delay = fault_sync_delay_ms()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    }
}

// The worker and what the main thread hands it. The main thread only ever holds the lock to
// swap a path; the syncs run outside it.
class FragmentSyncer {
public:
    ~FragmentSyncer() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            quit_ = true;
        }
        wake_.notify_one();
        if (worker_.joinable()) {
            worker_.join();
        }
    }

    void follow(const std::string &path) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            next_ = path;
            changed_ = true;
        }
        if (!worker_.joinable()) {
            worker_ = std::thread([this] { run(); });
        }
        wake_.notify_one();
    }

    void stop() { follow(std::string()); }

private:
    void run() {
        std::string current;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!quit_) {
            wake_.wait_for(lock, kSyncPeriod, [this] { return quit_ || changed_; });
            bool changed = std::exchange(changed_, false);
            std::string previous = current;
            if (changed) {
                current = next_;
            }
            lock.unlock();
            if (changed && !previous.empty()) {
                sync_path(previous, true);
            }
            if (changed && !current.empty()) {
                sync_path(folder_of(current), false);
            }
            if (!current.empty()) {
                sync_path(current, true);
            }
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::string next_;
    bool changed_ = false;
    bool quit_ = false;
    // Last: started after every member it uses, joined before they go.
    std::thread worker_;
};

FragmentSyncer syncer;

}  // namespace

void fragment_sync_follow(const std::string &path) {
    syncer.follow(path);
}

void fragment_sync_stop() {
    syncer.stop();
}
