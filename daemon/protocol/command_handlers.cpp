#include "protocol/command_handlers.h"

#include <string>

#include "config/config.h"

namespace {

int reply_number(int value, std::optional<std::string> &out) {
    out = std::to_string(value);
    return 0;
}

}  // namespace

int user_cmd_enable_video(char *, std::optional<std::string> &) {
    return 1;
}

int user_cmd_print_config(char *, std::optional<std::string> &out) {
    out = cfg_serialize_global_config();
    return 0;
}

int user_cmd_get_lum(char *, std::optional<std::string> &out) {
    return reply_number(global_config.luminance, out);
}
int user_cmd_get_pip(char *, std::optional<std::string> &out) {
    return reply_number(global_config.pip_mode, out);
}
int user_cmd_get_reticle(char *, std::optional<std::string> &out) {
    return reply_number(global_config.reticle, out);
}
int user_cmd_get_enc_type(char *, std::optional<std::string> &out) {
    return reply_number(global_config.enc_type, out);
}
int user_cmd_get_mic_volume(char *, std::optional<std::string> &out) {
    return reply_number(global_config.mic_volume, out);
}
