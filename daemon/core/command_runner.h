// Outside commands (the camera-core tool, the mixer) without blocking the main loop. An
// operation is a sequence of command lines run through the system shell; operations run one at
// a time in the order issued, each command is spawned and its exit collected on SIGCHLD, and a
// command that outlives its time-out is killed with its whole process group.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/completion.h"

// A command that ran this long is taken as hung (the camera core answers in some 50 ms).
constexpr std::chrono::milliseconds kCommandTimeout{3000};
// Longer command lines are refused rather than run cut short.
constexpr size_t kCommandLineMax = 255;

struct CommandStep {
    using Line = std::function<std::optional<std::string>()>;
    explicit CommandStep(Line line_of_step, std::function<void()> then = nullptr,
                         bool is_required = true)
        : line(std::move(line_of_step)), on_success(std::move(then)), required(is_required) {}

    // Called when the step's turn comes, so it reads the state then: the command line to run,
    // or none for a step that only acts (it succeeds at once).
    Line line;
    // Runs when the command exited with 0 (or at once when there is none).
    std::function<void()> on_success;
    // A failing required step ends the operation with its status. A failing optional step ends
    // only the run of optional steps it belongs to: the steps up to the next required one are
    // skipped, and the operation goes on.
    bool required;
};
using CommandPlan = std::vector<CommandStep>;

// Queues an operation. When its turn comes, `plan` is called (it reads the state then and may
// act at once), then its steps run in order. `done` gets 0 after the last step, or the status
// of the failing step: a shell wait status, or -1 for a line refused, a command that could not
// be started or one killed at its time-out.
void run_commands(std::function<CommandPlan()> plan, Completion done);
// A step of a fixed command line.
CommandStep fixed_command(std::string line);
// An operation of one fixed command line.
void run_command(std::string line, Completion done);
// A command line from a printf format, checked by the compiler.
std::string command_line(const char *format, ...) __attribute__((format(printf, 1, 2)));

// On SIGCHLD: collects the exit of the running command and of commands killed before.
void command_runner_reap();
// When the daemon stops: fails every operation that waits or is issued later, while their
// clients can still be answered. A command that runs finishes or times out, and its operation
// then ends without starting another command.
void command_runner_stop();
// True while no command runs: the daemon exits only then.
bool command_runner_idle();
