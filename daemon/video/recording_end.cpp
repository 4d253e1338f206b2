#include "video/recording_end.h"

#include <unistd.h>

#include <optional>
#include <set>
#include <vector>

#include "core/files.h"
#include "core/storage_worker.h"
#include "video/empty_fragments.h"
#include "video/registry.h"

namespace {

// The split sink numbers fragments from 0 to 99.
constexpr int kMaxFragments = 100;

// Main thread only: the recording being written, and those whose end the worker has not done.
std::optional<std::string> record_location;
std::multiset<std::string> ending;

std::string folder_of(const std::string &path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// On the worker. Listed before the empty ones go, so that a removed first fragment does not
// hide the others.
int end_recording(const std::string &location) {
    std::vector<std::string> fragments;
    for (int number = 0; number < kMaxFragments; ++number) {
        std::string path = fragment_path(location, number);
        if (access(path.c_str(), F_OK) != 0) {
            break;
        }
        fragments.push_back(std::move(path));
    }
    remove_empty_fragments(location);
    for (const std::string &path : fragments) {
        flush_file(path.c_str());
    }
    flush_file(folder_of(fragment_path(location, 0)).c_str());
    return 0;
}

}  // namespace

void recording_named(const std::string &location) {
    record_location = location;
}

bool recording_ending(const std::string &location) {
    return ending.count(location) != 0;
}

void media_record_ended() {
    if (!record_location) {
        return;
    }
    std::string location = std::move(*record_location);
    record_location.reset();
    ending.insert(location);
    storage_run([location] { return end_recording(location); },
                [location](int) { ending.erase(ending.find(location)); });
}

void flush_file_and_folder(const std::string &path) {
    flush_file(path.c_str());
    flush_file(folder_of(path).c_str());
}
