// The control socket: a Unix-domain stream server whose clients send one request per
// readiness and get exactly one reply on the same connection. Connections never block the
// main loop: a reply the socket cannot take at once waits in the client's queue, and a
// connection whose reply is owed (its command waits for pipelines or outside work) is not read
// until the reply has gone, so its replies keep the order of its requests.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct socket_server {
    int fd;
    int family;
    int type;
    sockaddr_un address;
};

struct socket_client {
    int fd = -1;
    sockaddr_un address{};
    // Reply bytes the connection has not taken yet, in order.
    std::string unsent;
    // Names the connection in replies that come later: a record's address may be reused.
    uint64_t serial = 0;
    bool reply_owed = false;
};

// Largest request, terminator included.
constexpr size_t SOCKET_RECV_SIZE = 2048;
// A client that leaves more reply bytes than this unread is dropped.
constexpr size_t SOCKET_MAX_UNSENT = 64 * 1024;

std::unique_ptr<socket_server> socket_init(int family, int type);
// Ends the process when a daemon already answers on `path`: its socket file must not be taken.
void socket_refuse_if_served(const char *path);
// Creates the socket and binds it to `path`, replacing a stale socket (never one that a daemon
// still serves, nor a file that is no socket). The file is 0660 with group "mrvdc" when that
// group exists, else 0600. Failure ends the process.
void socket_bind(socket_server *server, const char *path);
// Failure ends the process.
void socket_listen(socket_server *server);
// Serves on a socket that already listens (handed over by the service manager).
void socket_adopt(socket_server *server, int listening_fd);
int socket_accept(int listening_fd, socket_client *client);
// One receive of at most `size` bytes, copied into `buffer` as zero-terminated text.
ssize_t socket_recv(socket_client *client, char *buffer, size_t size);
ssize_t socket_send(socket_client *client, const char *text, size_t length);
void socket_client_close(socket_client *client);
void socket_close(socket_server *server);

// Accepts one connection and registers it with the event aggregator; returns 0. A failed
// accept is a warning; when descriptors run out the listening socket is left unwatched until
// `socket_resume_accepting` has run a second later, so the loop does not spin on it.
int accept_client_connection(socket_server *server);
// Called every timer tick: watches the listening socket again after such a pause.
void socket_resume_accepting(socket_server *server);
// Serves a ready connection with the events poll reported: sends queued reply bytes when it is
// writable, answers one request when it is readable. 0, or 1 when the client is gone (closed by
// the peer or dropped for not reading; its descriptor is closed, the caller unregisters it and
// then releases the record).
int serve_client(socket_client *client, short revents);
// Serves one request of a client: 0 when answered (or queued), 1 when the client is gone.
int accept_client_message(socket_client *client);
// Releases the record of a closed client.
void socket_client_release(socket_client *client);
