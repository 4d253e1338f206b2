// The event publisher against a real redis-server on a Unix socket.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "core/message_bus.h"
#include "core/storage_worker.h"
#include "log_capture.h"

namespace {

struct ContextFree {
    void operator()(redisContext *context) const { redisFree(context); }
};
using Context = std::unique_ptr<redisContext, ContextFree>;
struct ReplyFree {
    void operator()(redisReply *reply) const { freeReplyObject(reply); }
};
using Reply = std::unique_ptr<redisReply, ReplyFree>;

class RedisServer {
public:
    RedisServer() {
        char name[] = "/tmp/mrvdc-redis-XXXXXX";
        dir_ = mkdtemp(name);
        socket_ = dir_ + "/redis.sock";
        pid_ = fork();
        if (pid_ == 0) {
            execlp("redis-server", "redis-server", "--port", "0", "--unixsocket", socket_.c_str(),
                   "--dir", dir_.c_str(), "--save", "", "--appendonly", "no", "--logfile",
                   (dir_ + "/redis.log").c_str(), nullptr);
            _exit(127);
        }
        for (int attempt = 0; attempt < 100 && !ready(); ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~RedisServer() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        std::system(("rm -rf " + dir_).c_str());
    }
    bool ready() const {
        Context context(redisConnectUnix(socket_.c_str()));
        return context && !context->err;
    }
    const std::string &socket() const { return socket_; }
    pid_t pid() const { return pid_; }

private:
    std::string dir_;
    std::string socket_;
    pid_t pid_;
};

// Subscribes to `channel` and returns the connection, ready to read published messages.
Context subscribe(const std::string &socket, const char *channel) {
    Context context(redisConnectUnix(socket.c_str()));
    EXPECT_TRUE(context && !context->err);
    Reply reply(static_cast<redisReply *>(redisCommand(context.get(), "SUBSCRIBE %s", channel)));
    EXPECT_TRUE(reply);
    return context;
}

std::string next_message(redisContext *context) {
    void *raw = nullptr;
    if (redisGetReply(context, &raw) != REDIS_OK) {
        return "";
    }
    Reply reply(static_cast<redisReply *>(raw));
    if (reply->type != REDIS_REPLY_ARRAY || reply->elements != 3) {
        return "";
    }
    return std::string(reply->element[1]->str) + " " + reply->element[2]->str;
}

TEST(MessageBus, JsonTexts) {
    EXPECT_EQ(construct_json_code_and_message("No input video signal", 1),
              "{ \"MRVDC\": {\"message\": \"No input video signal\", \"code\": 1 }}");
    EXPECT_EQ(construct_json_message("Out of space!"),
              "{ \"MRVDC\": {\"message\": \"Out of space!\" }}");
    EXPECT_EQ(construct_json_code_and_message("x", -2147483647 - 1),
              "{ \"MRVDC\": {\"message\": \"x\", \"code\": -2147483648 }}");
}

TEST(MessageBus, PublishesEventsOnlyWhileConnected) {
    LogCapture log;
    RedisServer server;
    ASSERT_TRUE(server.ready());

    EXPECT_EQ(rmb_is_connected(), 0);
    EXPECT_EQ(send_mb_event(MB_EVENT_NO_INPUT_VIDEO), 1);
    // The connection is made on the storage worker; its failure is a warning there.
    EXPECT_EQ(rmb_connect((server.socket() + ".absent").c_str()), 0);
    storage_finish();
    EXPECT_TRUE(log.contains("[WARN]: Redis connect error: "));
    EXPECT_EQ(rmb_is_connected(), 0);

    Context video = subscribe(server.socket(), "MRVDC.VIDEO.DONE");
    Context storage = subscribe(server.socket(), "MRVDC.STORAGE.DONE");
    ASSERT_EQ(rmb_connect(server.socket().c_str()), 0);
    EXPECT_EQ(rmb_connect(server.socket().c_str()), 1);
    storage_finish();
    EXPECT_EQ(rmb_is_connected(), 1);

    EXPECT_EQ(send_mb_event(MB_EVENT_NO_INPUT_VIDEO), 0);
    EXPECT_EQ(send_mb_event(MB_EVENT_OUT_OF_SPACE), 0);
    EXPECT_EQ(send_mb_event(2), 1);
    storage_finish();
    EXPECT_EQ(rmb_pub_string("MRVDC.VIDEO.DONE", nullptr), 1);
    EXPECT_EQ(next_message(video.get()),
              "MRVDC.VIDEO.DONE { \"MRVDC\": {\"message\": \"No input video signal\", "
              "\"code\": 1 }}");
    EXPECT_EQ(next_message(storage.get()),
              "MRVDC.STORAGE.DONE { \"MRVDC\": {\"message\": \"Out of space!\", \"code\": 2 }}");

    // A frozen server holds up the worker, never the caller.
    kill(server.pid(), SIGSTOP);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(send_mb_event(MB_EVENT_OUT_OF_SPACE), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));
    storage_finish();
    kill(server.pid(), SIGCONT);
    EXPECT_TRUE(log.contains("[WARN]: Redis publish failed"));

    rmb_disconnect();
    EXPECT_EQ(rmb_is_connected(), 0);
    EXPECT_EQ(send_mb_event(MB_EVENT_NO_INPUT_VIDEO), 1);
}

}  // namespace
