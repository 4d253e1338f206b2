#include "core/message_bus.h"

#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <atomic>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>

#include "core/log.h"
#include "core/storage_worker.h"

namespace {

struct event_message {
    const char *message;
    const char *channel;
    int code;
};

const event_message event_messages[] = {
    {"No input video signal", "MRVDC.VIDEO.DONE", 1},
    {"Out of space!", "MRVDC.STORAGE.DONE", 2},
};

struct ContextFree {
    void operator()(redisContext *context) const { redisFree(context); }
};
struct ReplyFree {
    void operator()(void *reply) const { freeReplyObject(reply); }
};

// A server that stops answering holds up the storage worker (never the main loop) for at most
// this long per connect and per command; the events behind wait, in order.
constexpr timeval kBusTimeout{0, 500000};

// Main thread: the server asked for by `rmb_connect`; empty while the daemon does not publish.
std::string asked_path;
// Storage worker: the connection and its server; a connection that failed is made again at the
// next event.
std::unique_ptr<redisContext, ContextFree> connection;
std::string bus_path;
std::atomic<bool> connected{false};

template <typename... Args>
std::string format_text(const char *format, Args... args) {
    int length = snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<size_t>(length), '\0');
    snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

int open_connection() {
    std::unique_ptr<redisContext, ContextFree> context(
        redisConnectUnixWithTimeout(bus_path.c_str(), kBusTimeout));
    if (!context) {
        log_message(LOG_LEVEL_WARN, "Can't allocate redis context");
        return 1;
    }
    if (context->err || redisSetTimeout(context.get(), kBusTimeout) != REDIS_OK) {
        log_message(LOG_LEVEL_WARN, "Redis connect error: %s", context->errstr);
        return 1;
    }
    fcntl(context->fd, F_SETFD, FD_CLOEXEC);
    connection = std::move(context);
    connected = true;
    return 0;
}

void drop_connection() {
    connection.reset();
    connected = false;
}

// On the worker: the server to publish to from now on.
int connect_to(const std::string &path) {
    if (connection && path == bus_path) {
        return 1;
    }
    drop_connection();
    bus_path = path;
    return open_connection();
}

}  // namespace

int rmb_connect(const char *socket_path) {
    if (!asked_path.empty() && asked_path == socket_path) {
        return 1;
    }
    asked_path = socket_path;
    storage_run([path = asked_path] { return connect_to(path); });
    return 0;
}

int rmb_pub_string(const char *channel, const char *text) {
    if (!connection && !bus_path.empty() && open_connection() == 0) {
        log_message(LOG_LEVEL_INFO, "Reconnected to redis: %s", bus_path.c_str());
    }
    if (!connection || !text) {
        return 1;
    }
    std::unique_ptr<void, ReplyFree> reply(
        redisCommand(connection.get(), "PUBLISH %s %s", channel, text));
    if (!reply) {
        // Timed out or broken: the context cannot be used again.
        log_message(LOG_LEVEL_WARN, "Redis publish failed: %s; connecting again at the next event",
                    connection->errstr);
        drop_connection();
        return 1;
    }
    return 0;
}

void rmb_disconnect() {
    asked_path.clear();
    drop_connection();
    bus_path.clear();
}

int rmb_is_connected() {
    return connected ? 1 : 0;
}

std::string construct_json_message(const char *text) {
    return format_text("{ \"MRVDC\": {\"message\": \"%s\" }}", text);
}

std::string construct_json_code_and_message(const char *text, int code) {
    return format_text("{ \"MRVDC\": {\"message\": \"%s\", \"code\": %d }}", text, code);
}

int send_mb_event(int index) {
    if (index < 0 || index >= static_cast<int>(std::size(event_messages))) {
        return 1;
    }
    if (asked_path.empty()) {
        return 1;
    }
    const event_message &event = event_messages[index];
    std::string json = construct_json_code_and_message(event.message, event.code);
    storage_run([channel = event.channel, json] { return rmb_pub_string(channel, json.c_str()); });
    return 0;
}
