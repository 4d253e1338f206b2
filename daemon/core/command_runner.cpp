#include "core/command_runner.h"

#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <iterator>
#include <list>
#include <utility>

#include "core/log.h"
#include "core/shell.h"
#include "core/timer_list.h"

namespace {

struct Operation {
    std::function<CommandPlan()> plan;
    Completion done;
};

// The operation whose steps are running.
struct Current {
    CommandPlan steps;
    size_t next = 0;
    bool skipping_optional = false;
    Completion done;
};

// A started command. Its process group dies with the daemon rather than outlive it hung.
class Child {
public:
    Child(pid_t pid, std::string line) : pid_(pid), line_(std::move(line)) {}
    Child(Child &&other) noexcept
        : pid_(std::exchange(other.pid_, -1)),
          line_(std::move(other.line_)),
          timeout_(std::exchange(other.timeout_, 0)) {}
    Child &operator=(Child &&) = delete;
    ~Child() {
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
        }
    }
    pid_t pid() const { return pid_; }
    const std::string &line() const { return line_; }
    void set_timeout(TimerId timer) { timeout_ = timer; }
    // The exit status once the child has ended; none while it runs.
    std::optional<int> collect() {
        int status = 0;
        pid_t ended = waitpid(pid_, &status, WNOHANG);
        if (ended == 0 || (ended < 0 && errno == EINTR)) {
            return std::nullopt;
        }
        // ECHILD: somebody else collected it; nothing is left to wait for.
        pid_ = -1;
        timer_cancel(std::exchange(timeout_, 0));
        return ended < 0 ? -1 : status;
    }
    void kill_group() {
        kill(-pid_, SIGKILL);
        timer_cancel(std::exchange(timeout_, 0));
    }

private:
    pid_t pid_;
    std::string line_;
    TimerId timeout_ = 0;
};

std::deque<Operation> waiting;
std::optional<Current> current;
// Set while an operation is being planned or run, so that an operation issued meanwhile waits.
bool busy = false;
// Once the daemon stops, operations fail at once.
bool stopped = false;
std::optional<Child> running;
// Commands killed at their time-out whose exit is still to be collected.
std::list<Child> killed;

void advance(std::optional<int> step_status);
void start_waiting_operations();

void finish_operation(int result) {
    Completion done = std::move(current->done);
    current.reset();
    busy = false;
    done(result);
}

// Kills the running command's process group; its exit is collected later.
void abandon_running_command() {
    running->kill_group();
    killed.push_back(std::move(*running));
    running.reset();
}

// 0 once the command runs; the step's failure status when it could not start.
int start_command(const std::string &line) {
    if (line.size() > kCommandLineMax) {
        log_message(LOG_LEVEL_WARN, "System cmd too long, not executed: %s", line.c_str());
        return -1;
    }
    log_message(LOG_LEVEL_INFO, "Executing system cmd: %s", line.c_str());
    pid_t pid = spawn_shell_command(line.c_str());
    if (pid < 0) {
        log_message(LOG_LEVEL_WARN, "Failed to start system cmd: %s", line.c_str());
        return -1;
    }
    running.emplace(pid, line);
    running->set_timeout(timer_after(kCommandTimeout, [] {
        log_message(LOG_LEVEL_WARN, "System cmd timed out after %lld ms, killed: %s",
                    static_cast<long long>(kCommandTimeout.count()), running->line().c_str());
        abandon_running_command();
        advance(-1);
        start_waiting_operations();
    }));
    return 0;
}

// Ends the running step with `step_status` (none: no step has run yet) and starts the
// following ones until one waits for its command or the operation ends.
void advance(std::optional<int> step_status) {
    while (current) {
        if (step_status) {
            CommandStep &step = current->steps[current->next++];
            if (*step_status == 0) {
                if (step.on_success) {
                    step.on_success();
                }
            } else if (step.required) {
                finish_operation(*step_status);
                return;
            } else {
                current->skipping_optional = true;
            }
        }
        while (current->next < current->steps.size() && current->skipping_optional &&
               !current->steps[current->next].required) {
            ++current->next;
        }
        current->skipping_optional = false;
        if (current->next == current->steps.size()) {
            finish_operation(0);
            return;
        }
        if (stopped) {
            // The daemon is stopping: what has not started does not.
            finish_operation(-1);
            return;
        }
        const CommandStep &step = current->steps[current->next];
        std::optional<std::string> line = step.line ? step.line() : std::nullopt;
        step_status = line ? start_command(*line) : 0;
        if (line && *step_status == 0) {
            return;
        }
    }
}

void start_waiting_operations() {
    while (!busy && !waiting.empty()) {
        Operation operation = std::move(waiting.front());
        waiting.pop_front();
        busy = true;
        CommandPlan steps = operation.plan();
        current = Current{std::move(steps), 0, false, std::move(operation.done)};
        advance(std::nullopt);
    }
}

}  // namespace

void run_commands(std::function<CommandPlan()> plan, Completion done) {
    if (stopped) {
        done(-1);
        return;
    }
    waiting.push_back(Operation{std::move(plan), std::move(done)});
    start_waiting_operations();
}

CommandStep fixed_command(std::string line) {
    return CommandStep{[line = std::move(line)]() -> std::optional<std::string> { return line; }};
}

void run_command(std::string line, Completion done) {
    run_commands([line = std::move(line)] { return CommandPlan{fixed_command(line)}; },
                 std::move(done));
}

std::string command_line(const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        vsnprintf(line.data(), line.size() + 1, format, again);
    }
    va_end(again);
    return line;
}

void command_runner_reap() {
    for (auto child = killed.begin(); child != killed.end();) {
        child = child->collect() ? killed.erase(child) : std::next(child);
    }
    if (!running) {
        return;
    }
    std::optional<int> status = running->collect();
    if (!status) {
        return;
    }
    log_message(LOG_LEVEL_DEBUG, "System cmd ended with status %d: %s", *status,
                running->line().c_str());
    running.reset();
    advance(status);
    start_waiting_operations();
}

void command_runner_stop() {
    stopped = true;
    for (Operation &operation : std::exchange(waiting, {})) {
        operation.done(-1);
    }
    if (current && !running) {
        finish_operation(-1);
    }
}

bool command_runner_idle() {
    return !running;
}
