// Fuzzes what a control-socket client can send: arbitrary bytes reach the dispatcher as the
// socket delivers them (cut at the first zero byte, at most 2047 characters), and every well-
// formed request survives an encode/decode round trip unchanged.
//
// Only commands without side effects run: most handlers start pipelines, drive the camera core
// or the overlay, which a fuzzer must not do. Requests naming any other command of the table are
// rejected before they reach the dispatcher; undecodable requests and unknown commands run.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "config/config.h"
#include "core/control_socket.h"
#include "core/log.h"
#include "fuzz_check.h"
#include "protocol/commands.h"
#include "protocol/ipc_message.h"

namespace {

const char *const kNumberGetters[] = {"get_lum",  "get_pip",      "get_reticle",
                                      "get_zoom", "get_enc_type", "get_mic_volume"};
// Getters that read a setting: they always succeed.
const char *const kSettingGetters[] = {"get_lum", "get_pip", "get_reticle", "get_enc_type",
                                       "get_mic_volume"};

bool listed(const char *name, const char *const *begin, const char *const *end) {
    return std::any_of(begin, end, [name](const char *entry) { return strcmp(entry, name) == 0; });
}

bool is_number_getter(const char *name) {
    return listed(name, std::begin(kNumberGetters), std::end(kNumberGetters));
}

bool is_setting_getter(const char *name) {
    return listed(name, std::begin(kSettingGetters), std::end(kSettingGetters));
}

bool side_effect_free(const char *name) {
    return is_number_getter(name) || strcmp(name, "print_config") == 0 ||
           strcmp(name, "enable_video") == 0;
}

// A zero-terminated copy of exactly the text's size, so reads past the terminator are caught.
std::vector<char> buffer_of(const std::string &text) {
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    return buffer;
}

// Decimal text of an int: no padding, a sign only when negative.
bool is_decimal(const std::string &text) {
    size_t digits = !text.empty() && text[0] == '-' ? 1 : 0;
    if (digits >= text.size() || (text[digits] == '0' && text.size() > digits + 1) ||
        (digits == 1 && text[1] == '0')) {
        return false;
    }
    return std::all_of(text.begin() + static_cast<long>(digits), text.end(),
                       [](char c) { return isdigit(static_cast<unsigned char>(c)) != 0; });
}

// The decoded fields describe the request text they came from.
void check_decoded(const std::string &request, const ipc_message &message) {
    FUZZ_CHECK(message.ctype == 'c');
    FUZZ_CHECK(strchr("siln", message.dtype) != nullptr && message.dtype != '\0');
    FUZZ_CHECK(message.cmd != nullptr && message.data != nullptr);
    FUZZ_CHECK(message.clen == static_cast<int>(strlen(message.cmd)) && message.clen > 0);
    FUZZ_CHECK(strchr(message.cmd, ':') == nullptr);
    FUZZ_CHECK(message.dlen == static_cast<int>(strlen(message.data)));
    // Leading separators are skipped; the first field is the single character 'c'.
    size_t first = request.find_first_not_of(':');
    FUZZ_CHECK(first != std::string::npos && request.compare(first, 2, "c:") == 0);
    // The data is the unchanged end of the request.
    size_t data_length = static_cast<size_t>(message.dlen);
    FUZZ_CHECK(data_length <= request.size());
    FUZZ_CHECK(request.compare(request.size() - data_length, data_length, message.data) == 0);
}

// Encoding a decoded request and decoding it again gives the same fields.
void check_round_trip(const ipc_message &message) {
    std::optional<std::string> encoded = ipc_serialize(message);
    FUZZ_CHECK(encoded.has_value());
    std::string expected =
        std::string("c:") + message.cmd + ':' + message.dtype + ':' + message.data;
    FUZZ_CHECK(*encoded == expected);

    std::vector<char> buffer = buffer_of(*encoded);
    ipc_message again{};
    FUZZ_CHECK(ipc_deserialize(buffer.data(), &again) == 0);
    FUZZ_CHECK(again.ctype == message.ctype && again.dtype == message.dtype);
    FUZZ_CHECK(strcmp(again.cmd, message.cmd) == 0 && again.clen == message.clen);
    FUZZ_CHECK(strcmp(again.data, message.data) == 0 && again.dlen == message.dlen);
}

void check_reply(const std::optional<std::string> &reply, bool well_formed,
                 const std::string &cmd) {
    FUZZ_CHECK(reply.has_value());
    FUZZ_CHECK(reply->find('\0') == std::string::npos);
    if (!well_formed) {
        FUZZ_CHECK(*reply == "e:no_cmd:s:Failed to decode the command");
        return;
    }
    if (!api_locate_command(cmd.c_str())) {
        FUZZ_CHECK(*reply == "e:" + cmd + ":s:Unknown command");
        return;
    }
    if (cmd == "print_config") {
        FUZZ_CHECK(*reply == "r:print_config:s:" + cfg_serialize_global_config());
        return;
    }
    if (cmd == "enable_video") {
        FUZZ_CHECK(*reply == "e:enable_video:n:");
        return;
    }
    // A getter answers with a number, whatever data the request carried, or fails without data.
    std::string success = "r:" + cmd + ":s:";
    if (reply->compare(0, success.size(), success) == 0) {
        FUZZ_CHECK(is_decimal(reply->substr(success.size())));
    } else {
        FUZZ_CHECK(!is_setting_getter(cmd.c_str()));
        FUZZ_CHECK(*reply == "e:" + cmd + ":n:");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    // The debug lines format the untrusted text too; they go nowhere so the run stays quiet.
    log_open("/dev/null");
    log_verbose = 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    std::string request(reinterpret_cast<const char *>(bytes),
                        std::min(size, SOCKET_RECV_SIZE - 1));
    request.resize(strlen(request.c_str()));

    std::vector<char> decoded = buffer_of(request);
    ipc_message message{};
    bool well_formed = ipc_deserialize(decoded.data(), &message) == 0;
    std::string cmd;
    if (well_formed) {
        check_decoded(request, message);
        check_round_trip(message);
        cmd = message.cmd;
        if (api_locate_command(message.cmd) && !side_effect_free(message.cmd)) {
            return -1;
        }
    }

    std::vector<char> buffer = buffer_of(request);
    std::optional<std::string> reply;
    int replies = 0;
    process_ipc(buffer.data(), [&](const std::string &text) {
        reply = text;
        ++replies;
    });
    FUZZ_CHECK(replies == 1);
    check_reply(reply, well_formed, cmd);
    return 0;
}
