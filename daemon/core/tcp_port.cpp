#include "core/tcp_port.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include "core/unique_fd.h"

bool tcp_port_is_free(int port) {
    UniqueFd probe(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.valid()) {
        return true;  // Let the stream's own bind say what is wrong.
    }
    int reuse = 1;
    setsockopt(probe.get(), SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return bind(probe.get(), reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
}
