// The command table of the control protocol and its dispatcher.
#pragma once

#include <optional>
#include <string>

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
// Decodes a request, runs its command and encodes the reply; none when it cannot be encoded.
std::optional<std::string> process_ipc(char *request);
