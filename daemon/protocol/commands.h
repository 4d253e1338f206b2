// The command table of the control protocol and its dispatcher.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "core/completion.h"

// A handler converts the request's data and runs one operation. It may set `out` to the reply
// text. 0 is success, anything else failure.
using command_handler = int (*)(char *data, std::optional<std::string> &out);

struct command_entry {
    const char *name;
    command_handler handler;
    const char *help;
};

constexpr int CMD_LIST_SIZE = 37;
extern const command_entry cmd_list[CMD_LIST_SIZE];

// The handler of the command named exactly `name`, or null.
command_handler api_locate_command(const char *name);
// One help line per command in table order, then the legend.
std::string api_get_help();
// Where the encoded reply of one request goes, exactly once: during process_ipc, or later.
using ReplySink = std::function<void(const std::string &reply)>;
// Decodes a request, runs its command and hands the encoded reply to `sink`.
void process_ipc(char *request, ReplySink sink);
// Called by a handler whose command ends later (it waits for pipelines, an outside command or
// the storage worker): the request is answered when the returned completion is called (or
// with 'e' when it is dropped uncalled), and the handler's return value is not used. Only
// valid while a handler runs.
Completion reply_later();
