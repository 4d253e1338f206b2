#include "protocol/command_handlers.h"

#include <string>

#include "config/config.h"

namespace {

// Operations of the video and device-control subsystems that this build does not carry yet
// answer with a failure, never with a fake success.
int operation_unavailable() {
    return 1;
}

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

#define MRVDC_UNAVAILABLE(name)                      \
    int name(char *, std::optional<std::string> &) { \
        return operation_unavailable();              \
    }

MRVDC_UNAVAILABLE(user_cmd_set_qml_prop)
MRVDC_UNAVAILABLE(user_cmd_enable_qml)
MRVDC_UNAVAILABLE(user_cmd_enable_record)
MRVDC_UNAVAILABLE(user_cmd_make_snapshot)
MRVDC_UNAVAILABLE(user_cmd_enable_tcp_stream)
MRVDC_UNAVAILABLE(user_cmd_disable_kbd)
MRVDC_UNAVAILABLE(user_cmd_kbd_zoom)
MRVDC_UNAVAILABLE(user_cmd_kbd_nuc)
MRVDC_UNAVAILABLE(user_cmd_kbd_pol)
MRVDC_UNAVAILABLE(user_cmd_enable_pip)
MRVDC_UNAVAILABLE(user_cmd_enable_reticle)
MRVDC_UNAVAILABLE(user_cmd_enable_dot)
MRVDC_UNAVAILABLE(user_cmd_set_origin)
MRVDC_UNAVAILABLE(user_cmd_get_zoom)
MRVDC_UNAVAILABLE(user_cmd_set_reticle_src)
MRVDC_UNAVAILABLE(user_cmd_set_reticle_color)
MRVDC_UNAVAILABLE(user_cmd_set_reticle_opacity)
MRVDC_UNAVAILABLE(user_cmd_set_nuc_type)
MRVDC_UNAVAILABLE(user_cmd_set_lum)
MRVDC_UNAVAILABLE(user_cmd_set_enc_type)
MRVDC_UNAVAILABLE(user_cmd_set_mic_volume)
MRVDC_UNAVAILABLE(user_cmd_pipeline_state)
MRVDC_UNAVAILABLE(user_cmd_create_dot)
MRVDC_UNAVAILABLE(user_cmd_create_pipe)
MRVDC_UNAVAILABLE(user_cmd_kill_pipe)
MRVDC_UNAVAILABLE(user_cmd_pause_pipe)
MRVDC_UNAVAILABLE(user_cmd_resume_pipe)
MRVDC_UNAVAILABLE(user_cmd_pause_video)
MRVDC_UNAVAILABLE(user_cmd_resume_video)
MRVDC_UNAVAILABLE(user_cmd_enable_http_stream)

#undef MRVDC_UNAVAILABLE
