#include "core/pid_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace {

UniqueFd open_not_following(const std::string &path, int flags) {
    return UniqueFd(open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, 0640));
}

}  // namespace

UniqueFd pid_file_lock(const std::string &path) {
    UniqueFd fd = open_not_following(path, O_RDWR | O_CREAT);
    if (!fd.valid() || lockf(fd.get(), F_TLOCK, 0) != 0) {
        return UniqueFd();
    }
    // Truncated only once it is ours: a shorter PID must not leave digits of the old one.
    std::string text = std::to_string(getpid()) + "\n";
    if (ftruncate(fd.get(), 0) != 0 ||
        pwrite(fd.get(), text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
        return UniqueFd();
    }
    return fd;
}

void pid_file_remove(const std::string &path, UniqueFd locked) {
    if (!locked.valid()) {
        locked = open_not_following(path, O_RDWR);
        if (!locked.valid() || lockf(locked.get(), F_TLOCK, 0) != 0) {
            return;
        }
    }
    // Removed while the lock is held: once released, another daemon may have taken the file.
    unlink(path.c_str());
    locked.reset();
}
