#include "core/service_manager.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include "core/log.h"

int service_inherited_control_socket() {
    // Taken once: the variables are cleared so that the programs the daemon runs see none.
    int count = sd_listen_fds(1);
    if (count <= 0) {
        return -1;
    }
    int fd = SD_LISTEN_FDS_START;
    if (count > 1 || sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0) {
        log_message(LOG_LEVEL_WARN,
                    "Ignoring %d inherited descriptors: not one listening "
                    "Unix stream socket",
                    count);
        for (int extra = fd; extra < fd + count; ++extra) {
            close(extra);
        }
        return -1;
    }
    // Non-blocking like a socket of our own, so a readiness report never waits in accept.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}

void service_notify_ready() {
    sd_notify(0, "READY=1");
}

void service_notify_stopping() {
    sd_notify(0, "STOPPING=1");
}

void service_watchdog_alive() {
    sd_notify(0, "WATCHDOG=1");
}
