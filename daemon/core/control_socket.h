// The control socket: a Unix-domain stream server whose clients send one request per
// readiness and get exactly one reply on the same connection.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <memory>

struct socket_server {
    int fd;
    int family;
    int type;
    sockaddr_un address;
};

struct socket_client {
    int fd;
    sockaddr_un address;
};

// Largest request, terminator included.
constexpr size_t SOCKET_RECV_SIZE = 2048;

std::unique_ptr<socket_server> socket_init(int family, int type);
// Creates the socket and binds it to `path`, replacing a stale socket file. Failure ends the
// process.
void socket_bind(socket_server *server, const char *path);
// Failure ends the process.
void socket_listen(socket_server *server);
int socket_accept(int listening_fd, socket_client *client);
// One receive of at most `size` bytes, copied into `buffer` as zero-terminated text.
ssize_t socket_recv(socket_client *client, char *buffer, size_t size);
ssize_t socket_send(socket_client *client, const char *text, size_t length);
void socket_client_close(socket_client *client);
void socket_close(socket_server *server);

// Accepts one connection and registers it with the event aggregator. 0, or ends the process.
int accept_client_connection(socket_server *server);
// Serves one request of a client: 0 when answered, 1 when the client closed (its descriptor is
// closed; the caller unregisters it and then releases the record).
int accept_client_message(socket_client *client);
// Releases the record of a closed client.
void socket_client_release(socket_client *client);
