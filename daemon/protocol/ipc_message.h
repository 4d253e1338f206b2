// Wire format of requests and replies on the control socket: "ctype:cmd:dtype:data".
#pragma once

#include <optional>
#include <string>
#include <vector>

struct ipc_message {
    char ctype;        // 'c' request, 'r' reply (success), 'e' reply (failure)
    const char *cmd;   // command name
    int clen;          // length of cmd
    char dtype;        // request: 's', 'i', 'l' or 'n'; reply: 's' or 'n'
    const char *data;  // text after the third separator; null for a reply without data
    int dlen;          // length of data (0 when none)
};

// Decodes a request in place (separators become zero bytes): 0 for a well-formed request,
// -1 otherwise.
int ipc_deserialize(char *text, ipc_message *out);
// The encoded message; none when it cannot be built.
std::optional<std::string> ipc_serialize(ipc_message message);

// Most arguments one list may hold.
constexpr int IPC_MAX_ARGS = 10;

// Splits "a,b,c" (with "\," a literal comma) in place into references to the arguments.
// Always at least one argument; none when the list holds more than IPC_MAX_ARGS.
std::optional<std::vector<char *>> split_arg_list(char *text);
