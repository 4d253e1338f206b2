#include "core/control_socket.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <unordered_map>

#include "core/event_aggregator.h"
#include "core/log.h"
#include "protocol/commands.h"

namespace {

// The records of the connected clients, by address; each is the data word of its
// aggregator entry.
std::unordered_map<socket_client *, std::unique_ptr<socket_client>> clients;

}  // namespace

std::unique_ptr<socket_server> socket_init(int family, int type) {
    auto server = std::make_unique<socket_server>();
    server->fd = -1;
    server->family = family;
    server->type = type;
    memset(&server->address, 0, sizeof(server->address));
    return server;
}

void socket_bind(socket_server *server, const char *path) {
    server->fd = socket(server->family, server->type, 0);
    if (server->fd < 0) {
        log_message(LOG_LEVEL_ERROR, "Failed to create server file socket");
    }
    unlink(path);
    fcntl(server->fd, F_SETFL, fcntl(server->fd, F_GETFL) | O_NONBLOCK);
    server->address.sun_family = AF_UNIX;
    strncpy(server->address.sun_path, path, sizeof(server->address.sun_path) - 1);
    int result =
        bind(server->fd, reinterpret_cast<sockaddr *>(&server->address), sizeof(server->address));
    if (result != 0) {
        log_message(LOG_LEVEL_ERROR, "Failed to bind server file socket: ret: %d, errno=%d", result,
                    errno);
    }
}

void socket_listen(socket_server *server) {
    if (listen(server->fd, 1) != 0) {
        log_message(LOG_LEVEL_ERROR, "Failed to listen to server file socket");
    }
}

int socket_accept(int listening_fd, socket_client *client) {
    socklen_t length = sizeof(client->address);
    client->fd = accept(listening_fd, reinterpret_cast<sockaddr *>(&client->address), &length);
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
    return send(client->fd, text, length, 0);
}

void socket_client_close(socket_client *client) {
    if (client) {
        close(client->fd);
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
    memset(client.get(), 0, sizeof(*client));
    if (socket_accept(server->fd, client.get()) <= 0) {
        log_message(LOG_LEVEL_ERROR, "failed to accept client connection");
    }
    socket_client *record = client.get();
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

int accept_client_message(socket_client *client) {
    char buffer[SOCKET_RECV_SIZE];
    ssize_t received = socket_recv(client, buffer, sizeof(buffer));
    if (received <= 0) {
        socket_client_close(client);
        return 1;
    }
    log_message(LOG_LEVEL_DEBUG, "IPC in: %s", buffer);
    std::optional<std::string> reply = process_ipc(buffer);
    if (!reply) {
        log_message(LOG_LEVEL_ERROR, "Failed to decode the IPC message");
    }
    log_message(LOG_LEVEL_DEBUG, "IPC out: %s", reply->c_str());
    if (socket_send(client, reply->data(), reply->size()) <= 0) {
        log_message(LOG_LEVEL_WARN, "Failed to send data through client socket");
    }
    return 0;
}

void socket_client_release(socket_client *client) {
    clients.erase(client);
}
