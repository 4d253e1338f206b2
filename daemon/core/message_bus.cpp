#include "core/message_bus.h"

#include <fcntl.h>
#include <hiredis/hiredis.h>
#include <sys/time.h>

#include <cstdio>
#include <iterator>
#include <memory>
#include <string>

#include "core/log.h"

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

// A server that stops answering must not hold up the main loop for longer than this, per
// connect and per command.
constexpr timeval kBusTimeout{0, 500000};

std::unique_ptr<redisContext, ContextFree> connection;
// The server asked for by `rmb_connect`; a connection that failed is made again at the next
// event. Empty while the daemon does not publish.
std::string bus_path;

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
    return 0;
}

}  // namespace

int rmb_connect(const char *socket_path) {
    if (connection) {
        return 1;
    }
    bus_path = socket_path;
    return open_connection();
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
        connection.reset();
        return 1;
    }
    return 0;
}

void rmb_disconnect() {
    connection.reset();
    bus_path.clear();
}

int rmb_is_connected() {
    return connection ? 1 : 0;
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
    const event_message &event = event_messages[index];
    std::string json = construct_json_code_and_message(event.message, event.code);
    return rmb_pub_string(event.channel, json.c_str());
}
