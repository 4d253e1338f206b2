#include "protocol/ipc_message.h"

#include <cstdio>
#include <cstring>

#include "core/log.h"

namespace {

constexpr int kTypeFields = 3;

bool is_request_dtype(char dtype) {
    return dtype == 's' || dtype == 'i' || dtype == 'l' || dtype == 'n';
}

}  // namespace

int ipc_deserialize(char *text, ipc_message *out) {
    int total_length = static_cast<int>(strlen(text));
    char *fields[kTypeFields] = {};
    char *rest = nullptr;
    char *cursor = text;
    for (int index = 0; index < kTypeFields; ++index) {
        fields[index] = strtok_r(cursor, ":", &rest);
        cursor = nullptr;
        log_message(LOG_LEVEL_DEBUG, "token=%s, expected_separators=%d, totlen=%d",
                    fields[index] ? fields[index] : "(null)", kTypeFields - index, total_length);
        if (!fields[index]) {
            return -1;
        }
        log_message(LOG_LEVEL_DEBUG, "token2=%s, totlen=%d", rest ? rest : "", total_length);
    }
    // The data is everything after the third separator, further colons included.
    const char *data = rest ? rest : "";
    log_message(LOG_LEVEL_DEBUG, "data_tokens[3]=%s", data);

    out->ctype = fields[0][0];
    out->cmd = fields[1];
    out->clen = static_cast<int>(strlen(fields[1]));
    out->dtype = fields[2][0];
    out->data = data;
    out->dlen = static_cast<int>(strlen(data));
    log_message(LOG_LEVEL_DEBUG,
                "deserialized package,\nctype=%c, cmd=%s, clen=%d\ndtype=%c, data=%s, dlen=%d",
                out->ctype, out->cmd, out->clen, out->dtype, out->data, out->dlen);

    // Type fields are single characters; anything longer is not a request.
    bool single_characters = fields[0][1] == '\0' && fields[2][1] == '\0';
    return single_characters && out->ctype == 'c' && is_request_dtype(out->dtype) ? 0 : -1;
}

std::optional<std::string> ipc_serialize(ipc_message message) {
    // A reply without data carries nothing after its third separator.
    const char *data = message.data ? message.data : "";
    int length =
        snprintf(nullptr, 0, "%c:%s:%c:%s", message.ctype, message.cmd, message.dtype, data);
    if (length < 0) {
        return std::nullopt;
    }
    std::string text(static_cast<size_t>(length), '\0');
    int written = snprintf(text.data(), text.size() + 1, "%c:%s:%c:%s", message.ctype, message.cmd,
                           message.dtype, data);
    if (written != length) {
        return std::nullopt;
    }
    return text;
}

std::optional<std::vector<char *>> split_arg_list(char *text) {
    std::vector<char *> args{text};
    // The first character of an argument is never a separator.
    char *scan = *text ? text + 1 : text;
    while (*scan) {
        if (*scan == ',' && scan[-1] != '\\') {
            if (args.size() == IPC_MAX_ARGS) {
                return std::nullopt;
            }
            *scan = '\0';
            args.push_back(scan + 1);
            scan = scan[1] ? scan + 2 : scan + 1;
        } else if (*scan == ',') {
            // "\," is a literal comma: drop the backslash.
            memmove(scan - 1, scan, strlen(scan) + 1);
        } else {
            ++scan;
        }
    }
    for (size_t index = 0; index < args.size(); ++index) {
        log_message(LOG_LEVEL_DEBUG, "arg num %d: %s", static_cast<int>(index), args[index]);
    }
    return args;
}
