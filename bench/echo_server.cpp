// bench_echo_server: the floor of the control-socket benchmark. A Unix-domain stream server
// built like the daemon's (one thread, one poll over the listening socket and the connections,
// one receive and one send per request) that answers each request with its own bytes, so what
// it costs is the kernel's socket round trip and nothing else.
// Usage: bench_echo_server SOCKET_PATH   (runs until SIGTERM or SIGINT)
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

#include "core/unique_fd.h"

namespace {

volatile sig_atomic_t stopping = 0;

void request_stop(int) {
    stopping = 1;
}

UniqueFd listen_on(const char *path) {
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (!fd.valid() || strlen(path) >= sizeof(address.sun_path)) {
        return UniqueFd();
    }
    strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
    unlink(path);
    if (bind(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) != 0 ||
        listen(fd.get(), 64) != 0) {
        return UniqueFd();
    }
    return fd;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s SOCKET_PATH\n", argv[0]);
        return 2;
    }
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    UniqueFd server = listen_on(argv[1]);
    if (!server.valid()) {
        perror("bench_echo_server: listen");
        return 1;
    }
    std::vector<UniqueFd> connections;
    std::vector<pollfd> watched;
    char buffer[2048];
    while (!stopping) {
        watched.assign(1, pollfd{server.get(), POLLIN, 0});
        for (const UniqueFd &connection : connections) {
            watched.push_back(pollfd{connection.get(), POLLIN, 0});
        }
        if (poll(watched.data(), watched.size(), -1) < 0) {
            continue;  // interrupted by the stop signal
        }
        if (watched[0].revents & POLLIN) {
            UniqueFd connection(accept(server.get(), nullptr, nullptr));
            if (connection.valid()) {
                connections.push_back(std::move(connection));
            }
        }
        // Connections accepted just now are not in `watched`; they are polled next time.
        size_t polled = watched.size() - 1;
        std::vector<bool> closed(polled, false);
        for (size_t index = 0; index < polled; ++index) {
            if (watched[index + 1].revents == 0) {
                continue;
            }
            int fd = watched[index + 1].fd;
            ssize_t count = recv(fd, buffer, sizeof(buffer), 0);
            if (count <= 0 || send(fd, buffer, static_cast<size_t>(count), 0) <= 0) {
                closed[index] = true;
            }
        }
        for (size_t index = polled; index-- > 0;) {
            if (closed[index]) {
                connections.erase(connections.begin() + static_cast<long>(index));
            }
        }
    }
    unlink(argv[1]);
    return 0;
}
