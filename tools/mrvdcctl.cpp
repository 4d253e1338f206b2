// mrvdcctl: sends one command to the mrvdc daemon over its control socket and prints the
// reply's data. Exit status 0 for a success reply, 1 for a failure reply, 2 when the daemon
// cannot be reached, does not answer in time or answers something that is not a reply.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/unique_fd.h"
#include "core/unix_connect.h"

namespace {

constexpr const char *kDefaultSocket = "/run/mrvdc.socket";
constexpr size_t kMaxReply = 65536;
constexpr int kExitUnreachable = 2;
constexpr double kDefaultTimeout = 10.0;

void print_usage(FILE *out) {
    fprintf(out,
            "Usage: mrvdcctl [--socket PATH] [--timeout SECONDS] COMMAND [DATA]\n"
            "\n"
            "Sends COMMAND (with DATA, if given) to the mrvdc daemon and prints the data of its\n"
            "reply. Lists take their arguments separated by ',' (\"\\,\" is a literal comma).\n"
            "\n"
            "  --socket PATH       control socket of the daemon (default %s)\n"
            "  --timeout SECONDS   give up when no reply has come within this time (default %g)\n"
            "  --help              print this help\n"
            "\n"
            "Examples:\n"
            "  mrvdcctl get_zoom\n"
            "  mrvdcctl enable_record 1\n"
            "  mrvdcctl set_origin 512.5,384\n"
            "\n"
            "The commands are listed by 'mrvdc --help'.\n"
            "Exit status: 0 the command succeeded, 1 it failed, 2 the daemon could not be reached\n"
            "or did not answer in time.\n",
            kDefaultSocket, kDefaultTimeout);
}

bool send_all(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t count = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (count <= 0) {
            return false;
        }
        done += static_cast<size_t>(count);
    }
    return true;
}

// Parses a positive number of seconds into milliseconds; 0 when the text is not one.
int parse_timeout_ms(const char *text) {
    char *end = nullptr;
    double seconds = strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(seconds) || seconds <= 0 || seconds > 86400) {
        return 0;
    }
    return std::max(1, static_cast<int>(std::lround(seconds * 1000)));
}

// True when the first reply bytes are there; false when `timeout_ms` passed without any.
bool wait_for_reply(int fd, int timeout_ms) {
    pollfd ready{fd, POLLIN, 0};
    int result;
    do {
        result = poll(&ready, 1, timeout_ms);
    } while (result < 0 && errno == EINTR);
    return result != 0;
}

// The daemon answers each request with one send; a long reply may still arrive in pieces, so
// read until the peer pauses after the reply has started.
std::string receive_reply(int fd) {
    std::string reply;
    char chunk[4096];
    ssize_t count = recv(fd, chunk, sizeof(chunk), 0);
    while (count > 0 && reply.size() < kMaxReply) {
        reply.append(chunk, static_cast<size_t>(count));
        count = recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            usleep(20000);
            count = recv(fd, chunk, sizeof(chunk), MSG_DONTWAIT);
        }
    }
    return reply;
}

// Prints the data of a reply "ctype:cmd:dtype:data" and turns its ctype into the exit status.
int report_reply(const std::string &reply) {
    size_t first = reply.find(':');
    size_t second = first == std::string::npos ? first : reply.find(':', first + 1);
    size_t third = second == std::string::npos ? second : reply.find(':', second + 1);
    if (third == std::string::npos || (reply[0] != 'r' && reply[0] != 'e')) {
        fprintf(stderr, "mrvdcctl: unexpected reply from the daemon: %s\n", reply.c_str());
        return kExitUnreachable;
    }
    if (reply[second + 1] == 's') {
        std::string data = reply.substr(third + 1);
        fputs(data.c_str(), stdout);
        if (!data.empty() && data.back() != '\n') {
            fputc('\n', stdout);
        }
    }
    return reply[0] == 'r' ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv) {
    std::string socket_path = kDefaultSocket;
    int timeout_ms = static_cast<int>(kDefaultTimeout * 1000);
    int index = 1;
    for (; index < argc && argv[index][0] == '-' && argv[index][1] == '-'; ++index) {
        std::string option = argv[index];
        if (option == "--help") {
            print_usage(stdout);
            return 0;
        }
        if (option == "--socket" && index + 1 < argc) {
            socket_path = argv[++index];
            continue;
        }
        if (option == "--timeout" && index + 1 < argc && parse_timeout_ms(argv[index + 1]) > 0) {
            timeout_ms = parse_timeout_ms(argv[++index]);
            continue;
        }
        print_usage(stderr);
        return kExitUnreachable;
    }
    if (argc - index < 1 || argc - index > 2 || strchr(argv[index], ':')) {
        print_usage(stderr);
        return kExitUnreachable;
    }
    const char *command = argv[index];
    const char *data = argc - index == 2 ? argv[index + 1] : nullptr;
    std::string request = std::string("c:") + command + (data ? ":s:" : ":n:") + (data ? data : "");

    UniqueFd fd = unix_connect(socket_path, timeout_ms);
    if (!fd.valid() && errno == EAGAIN) {
        fprintf(stderr, "mrvdcctl: the daemon at %s did not take the connection within %g s\n",
                socket_path.c_str(), timeout_ms / 1000.0);
        return kExitUnreachable;
    }
    if (!fd.valid()) {
        fprintf(stderr, "mrvdcctl: cannot connect to the daemon at %s: %s\n", socket_path.c_str(),
                strerror(errno));
        return kExitUnreachable;
    }
    if (!send_all(fd.get(), request)) {
        fprintf(stderr, "mrvdcctl: cannot send to the daemon: %s\n", strerror(errno));
        return kExitUnreachable;
    }
    if (!wait_for_reply(fd.get(), timeout_ms)) {
        fprintf(stderr, "mrvdcctl: no reply from the daemon at %s within %g s\n",
                socket_path.c_str(), timeout_ms / 1000.0);
        return kExitUnreachable;
    }
    std::string reply = receive_reply(fd.get());
    if (reply.empty()) {
        fprintf(stderr, "mrvdcctl: the daemon closed the connection without a reply\n");
        return kExitUnreachable;
    }
    return report_reply(reply);
}
