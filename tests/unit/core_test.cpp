// Logging, file helpers and the event aggregator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "core/command_runner.h"
#include "core/completion.h"
#include "core/event_aggregator.h"
#include "core/files.h"
#include "core/log.h"
#include "core/loop_tasks.h"
#include "core/serial_worker.h"
#include "core/timer_list.h"
#include "core/unique_fd.h"
#include "log_capture.h"

namespace {

class TempDir {
public:
    TempDir() {
        char name[] = "/tmp/mrvdc-test-XXXXXX";
        path_ = mkdtemp(name);
    }
    ~TempDir() { std::system(("rm -rf " + path_).c_str()); }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

TEST(Log, LinesCarryTimeAndLevelAndDebugNeedsVerbose) {
    LogCapture quiet;
    log_message(LOG_LEVEL_DEBUG, "hidden %d", 1);
    log_message(LOG_LEVEL_INFO, "info %d", 2);
    log_message(LOG_LEVEL_WARN, "warn %s", "three");
    log_message(7, "never written");
    std::string text = quiet.text();
    EXPECT_EQ(text.find("hidden"), std::string::npos);
    EXPECT_EQ(text.find("never written"), std::string::npos);
    // "Mon Oct 16 11:33:03 2023 [INFO]: info 2"
    EXPECT_NE(text.find(" [INFO]: info 2\n"), std::string::npos);
    EXPECT_NE(text.find(" [WARN]: warn three\n"), std::string::npos);
    ASSERT_GE(text.size(), 24u);
    EXPECT_EQ(text[3], ' ');
    EXPECT_EQ(text.substr(24, 8), " [INFO]:");

    LogCapture verbose(1);
    log_message(LOG_LEVEL_DEBUG, "shown");
    EXPECT_TRUE(verbose.contains(" [DEBUG]: shown\n"));
}

TEST(Log, LongMessagesAreCutTo1023Characters) {
    LogCapture capture;
    log_message(LOG_LEVEL_INFO, "%s", std::string(2000, 'x').c_str());
    std::string text = capture.text();
    size_t start = text.find("]: ") + 3;
    EXPECT_EQ(text.substr(start), std::string(1023, 'x') + "\n");
}

TEST(LogDeathTest, ErrorLevelEndsTheProcessWithErrno) {
    EXPECT_EXIT(
        {
            errno = ENOENT;
            log_message(LOG_LEVEL_ERROR, "fatal %d", 5);
        },
        testing::ExitedWithCode(1), "");
    TempDir dir;
    std::string path = dir / "log";
    EXPECT_EXIT(
        {
            log_open(path.c_str());
            errno = ENOENT;
            log_message(LOG_LEVEL_ERROR, "fatal %d", 5);
        },
        testing::ExitedWithCode(1), "");
    FILE *file = fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    char line[256] = {};
    ASSERT_NE(fgets(line, sizeof(line), file), nullptr);
    fclose(file);
    EXPECT_NE(std::string(line).find(" [ERROR][errno=2]: fatal 5\n"), std::string::npos) << line;
}

TEST(Files, TimestampIsFourteenDigitsOfLocalTime) {
    time_t before = time(nullptr);
    std::optional<std::string> stamp = get_timestamp_string();
    time_t after = time(nullptr);
    ASSERT_TRUE(stamp);
    ASSERT_EQ(stamp->size(), 14u);
    bool matches = false;
    for (time_t moment = before; moment <= after; ++moment) {
        struct tm local {};
        localtime_r(&moment, &local);
        char expected[32];
        strftime(expected, sizeof(expected), "%Y%m%d%H%M%S", &local);
        matches = matches || *stamp == expected;
    }
    EXPECT_TRUE(matches) << *stamp;
}

TEST(Files, TouchCreatesReadOnlyWithoutTruncating) {
    TempDir dir;
    std::string marker = dir / "marker";
    EXPECT_EQ(touch_file(marker.c_str()), 0);
    struct stat info {};
    ASSERT_EQ(stat(marker.c_str(), &info), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(info.st_mode & 0777, 0444u & ~mask);

    std::string existing = dir / "existing";
    ASSERT_EQ(write_full_file(existing.c_str(), "keep"), 0);
    EXPECT_EQ(touch_file(existing.c_str()), 0);
    EXPECT_EQ(read_full_file(existing.c_str()), std::optional<std::string>("keep"));
    EXPECT_EQ(touch_file((dir / "missing/marker").c_str()), -1);
}

TEST(Files, WriteFullFileResults) {
    TempDir dir;
    std::string path = dir / "attr";
    EXPECT_EQ(write_full_file(path.c_str(), "75"), 0);
    EXPECT_EQ(read_full_file(path.c_str()), std::optional<std::string>("75"));
    EXPECT_EQ(write_full_file(path.c_str(), "1"), 0);
    EXPECT_EQ(read_full_file(path.c_str()), std::optional<std::string>("1"));
    EXPECT_EQ(write_full_file((dir / "missing/attr").c_str(), "75"), 1);
    // A device that refuses the write reports it.
    EXPECT_EQ(write_full_file("/dev/full", "75"), -1);
    EXPECT_FALSE(read_full_file((dir / "missing").c_str()));
}

TEST(Files, FolderAndFlushHelpers) {
    TempDir dir;
    LogCapture capture(1);
    std::string file = dir / "file";
    ASSERT_EQ(write_full_file(file.c_str(), "x"), 0);
    EXPECT_EQ(create_folder(file.c_str()), 0);
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));

    std::string folder = dir / "video";
    EXPECT_EQ(create_folder(folder.c_str()), 0);
    ASSERT_EQ(stat(folder.c_str(), &info), 0);
    EXPECT_TRUE(S_ISDIR(info.st_mode));
    EXPECT_NE(create_folder((dir / "a/b").c_str()), 0);

    EXPECT_EQ(flush_file((dir / "absent").c_str()), 0);
    EXPECT_FALSE(capture.contains("flushing"));
    EXPECT_EQ(flush_file(file.c_str()), 0);
    EXPECT_TRUE(capture.contains("flushing: " + file));
}

TEST(Files, FreeSpaceBoundary) {
    LogCapture capture;
    // /proc reports no free blocks at all: a stable boundary.
    uint64_t free_bytes = 1;
    ASSERT_EQ(get_free_space("/proc", &free_bytes), 0);
    ASSERT_EQ(free_bytes, 0u);
    EXPECT_EQ(has_enough_space("/proc", 0), 1);
    EXPECT_FALSE(capture.contains("not enough bytes"));
    EXPECT_EQ(has_enough_space("/proc", 1), 0);
    EXPECT_TRUE(capture.contains("not enough bytes, asking for 1, but have 0"));

    EXPECT_EQ(get_free_space("/no/such/place", &free_bytes), 1);
    EXPECT_EQ(has_enough_space("/no/such/place", 0), 0);
    EXPECT_TRUE(
        capture.contains("Failed to query the system for the remaing space in "
                         "/no/such/place"));
    EXPECT_EQ(has_enough_space("/tmp", UINT64_MAX), 0);
}

// The runner's end of a command comes on SIGCHLD through the main loop; here it is polled.
std::vector<int> run_to_end(const std::vector<std::function<CommandPlan()>> &operations) {
    std::vector<int> results;
    for (const auto &plan : operations) {
        run_commands(plan, Completion([&results](int result, const std::optional<std::string> &) {
                         results.push_back(result);
                     }));
    }
    for (int wait = 0; results.size() < operations.size() && wait < 500; ++wait) {
        usleep(10000);
        command_runner_reap();
    }
    return results;
}

TEST(CommandRunner, StatusesInOrderOptionalRunsAndRefusedLines) {
    LogCapture capture;
    TempDir dir;
    const std::string skipped = dir / "skipped";
    const std::string refused = dir / "refused";
    std::string order;
    auto step = [&order](std::string line, char mark, bool required = true) {
        return CommandStep([line] { return command_line("%s", line.c_str()); },
                           [&order, mark] { order += mark; }, required);
    };
    std::vector<int> results = run_to_end({
        [&] { return CommandPlan{step("exit 3", 'x')}; },
        // A failing optional step skips the rest of its run; the operation goes on.
        [&] {
            return CommandPlan{step("exit 1", 'a', false), step("touch " + skipped, 'b', false),
                               step("true", 'c'), step("true", 'd', false)};
        },
        // A line that does not fit is refused rather than run cut short.
        [&] {
            const std::string padding(300, ' ');
            return CommandPlan{CommandStep([padding, &refused] {
                return command_line("%s touch %s", padding.c_str(), refused.c_str());
            })};
        },
    });
    ASSERT_EQ(results.size(), 3u);
    EXPECT_TRUE(WIFEXITED(results[0]));
    EXPECT_EQ(WEXITSTATUS(results[0]), 3);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(order, "cd");
    EXPECT_EQ(is_file_created(skipped.c_str()), 0);
    EXPECT_EQ(results[2], -1);
    EXPECT_EQ(is_file_created(refused.c_str()), 0);
    EXPECT_TRUE(capture.contains("[INFO]: Executing system cmd: exit 3\n"));
}

// Every operation that ends later ends exactly once: at its first call, or as a failure when
// its last copy goes uncalled.
TEST(Completion, EndsOnceAndADroppedOneFails) {
    std::vector<int> ends;
    auto record = [&ends](int result, const std::optional<std::string> &) {
        ends.push_back(result);
    };
    {
        Completion called(record);
        Completion copy = called;
        copy(0);
        called(5);
    }
    {
        Completion dropped(record);
        Completion copy = dropped;
    }
    EXPECT_EQ(ends, (std::vector<int>{0, 1}));
}

// Deadlines run in the order they fall due (equal ones in the order set), a cancelled one
// never runs, a callback may set another, and what is left at close goes without running.
TEST(TimerList, OrderCancelChainingAndClose) {
    int fd = timer_list_init();
    std::string order;
    timer_after(std::chrono::milliseconds(20), [&order] { order += 'c'; });
    timer_after(std::chrono::milliseconds(0), [&order] {
        order += 'a';
        timer_after(std::chrono::milliseconds(0), [&order] { order += 'b'; });
    });
    timer_after(std::chrono::milliseconds(20), [&order] { order += 'd'; });
    TimerId cancelled = timer_after(std::chrono::milliseconds(10), [&order] { order += 'x'; });
    timer_cancel(cancelled);
    timer_after(std::chrono::hours(1), [&order] { order += 'z'; });
    for (int wait = 0; order.size() < 4 && wait < 100; ++wait) {
        pollfd ready{fd, POLLIN, 0};
        if (poll(&ready, 1, 50) > 0) {
            timer_list_run_due();
        }
    }
    EXPECT_EQ(order, "abcd");
    bool dropped = false;
    timer_after(
        std::chrono::hours(1),
        [ended = Completion([&dropped](int result, const auto &) { dropped = result != 0; })] {});
    timer_list_close();
    EXPECT_TRUE(dropped);
    EXPECT_EQ(order, "abcd");
}

// Work of other threads runs on the loop in the order posted; the worker runs its jobs in order
// and has run every one handed over once finish returns.
TEST(SerialWorker, JobsInOrderResultsOnTheLoopAndFinishDrains) {
    int fd = loop_tasks_init();
    std::vector<int> done;
    std::string ran;
    {
        SerialWorker worker;
        for (int job = 0; job < 5; ++job) {
            worker.run(
                [job, &ran] {
                    ran += static_cast<char>('0' + job);
                    return job * 10;
                },
                [&done](int result) { done.push_back(result); });
        }
        worker.finish();
        EXPECT_EQ(ran, "01234");
        EXPECT_TRUE(done.empty()) << "results run on the loop, not on the worker";
    }
    pollfd ready{fd, POLLIN, 0};
    ASSERT_EQ(poll(&ready, 1, 1000), 1);
    loop_run_posted();
    EXPECT_EQ(done, (std::vector<int>{0, 10, 20, 30, 40}));
    loop_tasks_close();
}

// The aggregator is process-wide: each test leaves it empty.
class Aggregator : public testing::Test {
protected:
    void TearDown() override {
        for (UniqueFd &fd : fds_) {
            ea_unregister_event(fd.get());
        }
        ea_unregister_event(-1);
        ASSERT_EQ(ea_registered_count(), 0);
    }
    int make_fd() {
        fds_.emplace_back(dup(0));
        return fds_.back().get();
    }
    std::vector<UniqueFd> fds_;
};

TEST_F(Aggregator, RegistrationRules) {
    LogCapture capture;
    int fd = make_fd();
    EXPECT_EQ(ea_register_event(fd, EA_TIMER, 0), 0);
    EXPECT_EQ(ea_register_event(fd, EA_TIMER, 0), 0);
    EXPECT_FALSE(capture.contains("Replaced"));
    EXPECT_EQ(ea_registered_count(), 1);
    EXPECT_EQ(ea_unregister_event(fd + 1000), -1);
    while (ea_registered_count() < EA_MAX_EVENTS) {
        ASSERT_EQ(ea_register_event(make_fd(), EA_CLIENT_SOCKET, 0), 0);
    }
    EXPECT_EQ(ea_register_event(make_fd(), EA_CLIENT_SOCKET, 0), 1);
    EXPECT_EQ(ea_register_event(fd, EA_TIMER, 0), 0);
    EXPECT_EQ(ea_registered_count(), EA_MAX_EVENTS);
}

// A number registered again with another type or data belongs to a new descriptor: the entry
// left over from the closed one must not keep it.
TEST_F(Aggregator, ANumberHeldByAStaleEntryIsTakenOverByTheNewDescriptor) {
    LogCapture capture;
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    fds_.emplace_back(pair[0]);
    fds_.emplace_back(pair[1]);
    ASSERT_EQ(ea_register_event(pair[0], EA_PIPE_BUS, 5), 0);
    EXPECT_EQ(ea_register_event(pair[0], EA_PIPE_BUS, 6), 0);
    EXPECT_EQ(ea_register_event(pair[0], EA_CLIENT_SOCKET, 9), 0);
    EXPECT_TRUE(capture.contains("[WARN]: Replaced stale entry of fd"));
    EXPECT_EQ(ea_registered_count(), 1);
    ASSERT_EQ(write(pair[1], "x", 1), 1);
    int count = 0;
    const ea_event *ready = ea_poll_events(&count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(ready[0].type, EA_CLIENT_SOCKET);
    EXPECT_EQ(ready[0].data, 9u);
    ea_unregister_event(pair[0]);
}

TEST_F(Aggregator, RemovalMovesTheLastEntryAndReadyEntriesKeepTheirData) {
    LogCapture capture;
    int pair_a[2], pair_b[2], pair_c[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_a), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_b), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair_c), 0);
    for (int fd : {pair_a[0], pair_a[1], pair_b[0], pair_b[1], pair_c[0], pair_c[1]}) {
        fds_.emplace_back(fd);
    }
    ea_register_event(pair_a[0], EA_CLIENT_SOCKET, 1);
    ea_register_event(pair_b[0], EA_CLIENT_SOCKET, 2);
    ea_register_event(pair_c[0], EA_PIPE_BUS, 3);
    ea_register_event(-1, EA_KEYBOARD, 4);
    ASSERT_EQ(write(pair_b[1], "x", 1), 1);
    ASSERT_EQ(write(pair_c[1], "x", 1), 1);

    int count = 0;
    const ea_event *ready = ea_poll_events(&count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(ready[0].data, 2u);
    EXPECT_EQ(ready[1].data, 3u);
    // A handler drops B and a new entry takes the freed place: the batch is unchanged.
    ea_unregister_event(pair_b[0]);
    ea_unregister_event(pair_a[0]);
    ea_register_event(pair_a[1], EA_SERVER_SOCKET, 9);
    EXPECT_EQ(ready[1].fd, pair_c[0]);
    EXPECT_EQ(ready[1].type, EA_PIPE_BUS);
    EXPECT_EQ(ready[1].data, 3u);

    // The peer of C hangs up: still reported; the -1 entry never is.
    fds_.pop_back();
    fds_.pop_back();
    fds_.emplace_back(pair_c[0]);
    ready = ea_poll_events(&count);
    ASSERT_EQ(count, 1);
    EXPECT_EQ(ready[0].fd, pair_c[0]);
}

TEST_F(Aggregator, OrderAfterRemovalAndEmptyPoll) {
    LogCapture capture;
    int count = -1;
    ea_poll_events(&count);
    EXPECT_EQ(count, 0);

    // Three always-readable descriptors: A, B, C; removing A leaves C, B.
    UniqueFd null_a(open("/dev/null", O_RDONLY)), null_b(open("/dev/null", O_RDONLY)),
        null_c(open("/dev/null", O_RDONLY));
    ea_register_event(null_a.get(), EA_CLIENT_SOCKET, 'A');
    ea_register_event(null_b.get(), EA_CLIENT_SOCKET, 'B');
    ea_register_event(null_c.get(), EA_CLIENT_SOCKET, 'C');
    ea_unregister_event(null_a.get());
    const ea_event *ready = ea_poll_events(&count);
    ASSERT_EQ(count, 2);
    EXPECT_EQ(ready[0].data, uintptr_t('C'));
    EXPECT_EQ(ready[1].data, uintptr_t('B'));
    ea_unregister_event(null_b.get());
    ea_unregister_event(null_c.get());
}

}  // namespace
