#include "core/control_socket.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>

#include "core/event_aggregator.h"
#include "core/log.h"
#include "core/loop_tasks.h"
#include "core/unique_fd.h"
#include "protocol/commands.h"

namespace {

using Clock = std::chrono::steady_clock;

// The group whose members may drive the sight through the socket.
constexpr const char *kClientGroup = "mrvdc";

// How long the listening socket stays unwatched after an accept found no descriptor free.
constexpr auto kAcceptPause = std::chrono::seconds(1);

// The records of the connected clients, by address; each is the data word of its
// aggregator entry.
std::unordered_map<socket_client *, std::unique_ptr<socket_client>> clients;

// Serial of the last connection accepted.
uint64_t last_serial = 0;

bool accepting_paused = false;
Clock::time_point paused_since;

sockaddr_un unix_address(const char *path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path, sizeof(address.sun_path) - 1);
    return address;
}

// True when something accepts connections on `path`; a refused connection means a stale file.
bool is_served(const char *path) {
    UniqueFd probe(socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    sockaddr_un address = unix_address(path);
    if (!probe.valid()) {
        return false;
    }
    if (connect(probe.get(), reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) {
        return true;
    }
    // A listener whose backlog is full is busy, not gone.
    return errno == EAGAIN;
}

// Only a socket left by an earlier daemon is removed: any other file at the path stays, and
// the bind then fails.
void remove_stale_socket(const char *path) {
    struct stat info {};
    if (lstat(path, &info) != 0) {
        return;
    }
    if (!S_ISSOCK(info.st_mode)) {
        log_message(LOG_LEVEL_WARN, "%s is not a socket: left in place", path);
        return;
    }
    unlink(path);
}

// Members of the clients' group may connect; without that group only root may.
void open_to_client_group(const char *path) {
    const group *clients_group = getgrnam(kClientGroup);
    if (!clients_group) {
        return;
    }
    if (fchownat(AT_FDCWD, path, static_cast<uid_t>(-1), clients_group->gr_gid,
                 AT_SYMLINK_NOFOLLOW) != 0 ||
        chmod(path, 0660) != 0) {
        log_message(LOG_LEVEL_WARN, "Failed to open %s to group %s: %s", path, kClientGroup,
                    strerror(errno));
    }
}

bool out_of_descriptors(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void handle_accept_failure(socket_server *server, int error) {
    // The peer gave up before its connection was taken, or a signal came in: nothing lost.
    if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR) {
        return;
    }
    log_message(LOG_LEVEL_WARN, "failed to accept client connection: %s", strerror(error));
    if (out_of_descriptors(error)) {
        // The connection stays queued, so the socket stays readable: polling it now would only
        // fail again at once.
        ea_unregister_event(server->fd);
        accepting_paused = true;
        paused_since = Clock::now();
    }
}

// Sends what the connection takes of the queued reply bytes, and watches it for writability
// while some remain.
void send_unsent(socket_client *client) {
    while (!client->unsent.empty()) {
        ssize_t count = socket_send(client, client->unsent.data(), client->unsent.size());
        if (count > 0) {
            client->unsent.erase(0, static_cast<size_t>(count));
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            log_message(LOG_LEVEL_WARN, "Failed to send data through client socket");
            client->unsent.clear();
        }
    }
    ea_watch_writable(client->fd, !client->unsent.empty());
}

socket_client *client_of_serial(uint64_t serial) {
    for (const auto &entry : clients) {
        if (entry.second->serial == serial) {
            return entry.second.get();
        }
    }
    return nullptr;
}

// Queues a reply and sends what the connection takes; 1 when the client is dropped for leaving
// too much unread.
int queue_reply(socket_client *client, const std::string &reply) {
    log_message(LOG_LEVEL_DEBUG, "IPC out: %s", reply.c_str());
    client->unsent += reply;
    send_unsent(client);
    if (client->unsent.size() > SOCKET_MAX_UNSENT) {
        log_message(LOG_LEVEL_WARN, "dropping client on fd %d: %zu reply bytes left unread",
                    client->fd, client->unsent.size());
        socket_client_close(client);
        return 1;
    }
    return 0;
}

// A reply that came after its request's handler returned: the connection is read again. One
// whose client has gone meanwhile is dropped.
void deliver_later(uint64_t serial, const std::string &reply) {
    socket_client *client = client_of_serial(serial);
    if (!client || client->fd < 0) {
        log_message(LOG_LEVEL_DEBUG, "reply for a client that has gone: %s", reply.c_str());
        return;
    }
    client->reply_owed = false;
    int fd = client->fd;
    if (queue_reply(client, reply) != 0) {
        // Its entry may still wait in the batch being dispatched: the record goes after it.
        ea_unregister_event(fd);
        loop_post([client] { socket_client_release(client); });
        return;
    }
    ea_watch_readable(fd, true);
}

}  // namespace

std::unique_ptr<socket_server> socket_init(int family, int type) {
    auto server = std::make_unique<socket_server>();
    server->fd = -1;
    server->family = family;
    server->type = type;
    memset(&server->address, 0, sizeof(server->address));
    return server;
}

void socket_refuse_if_served(const char *path) {
    if (is_served(path)) {
        log_message(LOG_LEVEL_ERROR, "another mrvdc is serving on %s", path);
    }
}

void socket_bind(socket_server *server, const char *path) {
    // Non-blocking, so that a readiness report never leaves the loop waiting in accept.
    server->fd = socket(server->family, server->type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (server->fd < 0) {
        log_message(LOG_LEVEL_ERROR, "Failed to create server file socket");
    }
    socket_refuse_if_served(path);
    remove_stale_socket(path);
    server->address = unix_address(path);
    // Created owner-only, so the file is never open to anyone before its group is set.
    mode_t mask = umask(0177);
    int result =
        bind(server->fd, reinterpret_cast<sockaddr *>(&server->address), sizeof(server->address));
    int bind_errno = errno;
    umask(mask);
    if (result != 0) {
        errno = bind_errno;
        log_message(LOG_LEVEL_ERROR, "Failed to bind server file socket: ret: %d, errno=%d", result,
                    errno);
    }
    open_to_client_group(path);
}

void socket_adopt(socket_server *server, int listening_fd) {
    server->fd = listening_fd;
    socklen_t length = sizeof(server->address);
    getsockname(listening_fd, reinterpret_cast<sockaddr *>(&server->address), &length);
    log_message(LOG_LEVEL_INFO, "Serving the control socket %s passed by the service manager",
                server->address.sun_path);
}

void socket_listen(socket_server *server) {
    if (listen(server->fd, 1) != 0) {
        log_message(LOG_LEVEL_ERROR, "Failed to listen to server file socket");
    }
}

int socket_accept(int listening_fd, socket_client *client) {
    socklen_t length = sizeof(client->address);
    client->fd = accept4(listening_fd, reinterpret_cast<sockaddr *>(&client->address), &length,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client->fd >= 0) {
        log_message(LOG_LEVEL_DEBUG, "Client socket connected");
    }
    return client->fd;
}

ssize_t socket_recv(socket_client *client, char *buffer, size_t size) {
    memset(buffer, 0, size);
    std::string scratch(size, '\0');
    ssize_t count = recv(client->fd, scratch.data(), size, 0);
    if (count > 0) {
        // Text up to the first zero byte, at most size-1 characters.
        strncpy(buffer, scratch.c_str(), size - 1);
    }
    return count;
}

ssize_t socket_send(socket_client *client, const char *text, size_t length) {
    return send(client->fd, text, length, MSG_NOSIGNAL);
}

void socket_client_close(socket_client *client) {
    if (client && client->fd >= 0) {
        close(client->fd);
        client->fd = -1;
    }
}

void socket_close(socket_server *server) {
    if (server && server->fd >= 0) {
        close(server->fd);
        server->fd = -1;
    }
}

int accept_client_connection(socket_server *server) {
    auto client = std::make_unique<socket_client>();
    if (socket_accept(server->fd, client.get()) < 0) {
        handle_accept_failure(server, errno);
        return 0;
    }
    socket_client *record = client.get();
    record->serial = ++last_serial;
    if (ea_register_event(record->fd, EA_CLIENT_SOCKET, reinterpret_cast<uintptr_t>(record)) != 0) {
        // A full table must not stop the sight: turn this connection away, serve the others.
        log_message(LOG_LEVEL_WARN, "too many clients: refused connection on fd %d", record->fd);
        socket_client_close(record);
        return 0;
    }
    clients.emplace(record, std::move(client));
    log_message(LOG_LEVEL_DEBUG, "registered a new client connection");
    return 0;
}

void socket_resume_accepting(socket_server *server) {
    if (!accepting_paused || Clock::now() - paused_since < kAcceptPause) {
        return;
    }
    if (ea_register_event(server->fd, EA_SERVER_SOCKET, reinterpret_cast<uintptr_t>(server)) == 0) {
        accepting_paused = false;
        log_message(LOG_LEVEL_INFO, "accepting client connections again");
    }
}

int serve_client(socket_client *client, short revents) {
    if (client->fd < 0) {
        // Dropped by a late reply within this batch; its record is released after it.
        return 0;
    }
    if (revents & POLLOUT) {
        send_unsent(client);
    }
    if (client->reply_owed && (revents & (POLLHUP | POLLERR))) {
        // Gone while its command runs: requests it left unread are not served, and the reply
        // finds no connection.
        socket_client_close(client);
        return 1;
    }
    if (revents & ~POLLOUT) {
        return accept_client_message(client);
    }
    return 0;
}

int accept_client_message(socket_client *client) {
    char buffer[SOCKET_RECV_SIZE];
    ssize_t received = socket_recv(client, buffer, sizeof(buffer));
    if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return 0;
    }
    if (received <= 0) {
        socket_client_close(client);
        return 1;
    }
    log_message(LOG_LEVEL_DEBUG, "IPC in: %s", buffer);
    client->reply_owed = true;
    ea_watch_readable(client->fd, false);
    // While the handler runs, its reply goes to this record directly; `status` is written only
    // then. A reply that comes later finds the connection by its serial.
    auto in_handler = std::make_shared<bool>(true);
    int status = 0;
    process_ipc(buffer,
                [client, serial = client->serial, in_handler, &status](const std::string &reply) {
                    if (!*in_handler) {
                        deliver_later(serial, reply);
                        return;
                    }
                    client->reply_owed = false;
                    ea_watch_readable(client->fd, true);
                    status = queue_reply(client, reply);
                });
    *in_handler = false;
    return status;
}

void socket_client_release(socket_client *client) {
    clients.erase(client);
}
