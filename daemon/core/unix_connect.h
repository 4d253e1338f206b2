// A client connection to a Unix-domain stream socket, for the tools that talk to the daemon.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>

#include "core/unique_fd.h"

// Connected descriptor, or an invalid one (errno tells why).
inline UniqueFd unix_connect(const std::string &path) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd.valid() || path.size() >= sizeof(address.sun_path)) {
        return UniqueFd();
    }
    memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0) {
        return UniqueFd();
    }
    return fd;
}
