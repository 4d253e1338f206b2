// A client connection to a Unix-domain stream socket, for the tools that talk to the daemon.
#pragma once

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cstring>
#include <string>

#include "core/unique_fd.h"

// Connected descriptor, or an invalid one (errno tells why). With a positive `timeout_ms`,
// connecting to a listener whose backlog is full, and later sends, give up after that long
// (errno EAGAIN).
inline UniqueFd unix_connect(const std::string &path, int timeout_ms = 0) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd.valid() || path.size() >= sizeof(address.sun_path)) {
        return UniqueFd();
    }
    if (timeout_ms > 0) {
        timeval limit{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        return UniqueFd();
    }
    return fd;
}
