#include "video/fragment_sync.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "core/fault_hooks.h"
#include "core/storage_worker.h"
#include "core/unique_fd.h"

namespace {

// How often the open fragment goes to storage; the most a power cut may take of it, together
// with the muxer's index update period.
constexpr std::chrono::milliseconds kSyncPeriod{1000};

// The fragment being followed: used on the worker only.
std::string current;

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

void sync_current() {
    if (!current.empty()) {
        sync_path(current, true);
    }
}

// On the worker: the fragment before gets its last sync, the new one its folder entry.
int switch_to(const std::string &path) {
    sync_current();
    current = path;
    if (!current.empty()) {
        sync_path(folder_of(current), false);
    }
    return 0;
}

}  // namespace

void fragment_sync_follow(const std::string &path) {
    storage_run([path] { return switch_to(path); });
    storage_every(kSyncPeriod, sync_current);
}

void fragment_sync_stop() {
    storage_run([] { return switch_to(std::string()); });
    storage_every(kSyncPeriod, {});
}
