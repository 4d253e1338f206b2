// Owning handle of a file descriptor: closes it on destruction.
#pragma once

#include <unistd.h>

#include <utility>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    // The descriptor number, for poll and the event aggregator; ownership stays here.
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the current descriptor and takes `fd`; returns the result of the close (0 if none).
    int reset(int fd = -1) {
        int result = 0;
        if (fd_ >= 0) {
            result = ::close(fd_);
        }
        fd_ = fd;
        return result;
    }

private:
    int fd_ = -1;
};
