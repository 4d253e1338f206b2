// Handlers of the client commands: each converts the request's data and calls one operation.
#pragma once

#include <optional>
#include <string>

#define MRVDC_HANDLER(name) int name(char *data, std::optional<std::string> &out)

MRVDC_HANDLER(user_cmd_set_qml_prop);
MRVDC_HANDLER(user_cmd_enable_qml);
MRVDC_HANDLER(user_cmd_enable_video);
MRVDC_HANDLER(user_cmd_enable_record);
MRVDC_HANDLER(user_cmd_make_snapshot);
MRVDC_HANDLER(user_cmd_enable_tcp_stream);
MRVDC_HANDLER(user_cmd_disable_kbd);
MRVDC_HANDLER(user_cmd_kbd_zoom);
MRVDC_HANDLER(user_cmd_kbd_nuc);
MRVDC_HANDLER(user_cmd_kbd_pol);
MRVDC_HANDLER(user_cmd_print_config);
MRVDC_HANDLER(user_cmd_enable_pip);
MRVDC_HANDLER(user_cmd_get_lum);
MRVDC_HANDLER(user_cmd_get_pip);
MRVDC_HANDLER(user_cmd_enable_reticle);
MRVDC_HANDLER(user_cmd_enable_dot);
MRVDC_HANDLER(user_cmd_get_reticle);
MRVDC_HANDLER(user_cmd_set_origin);
MRVDC_HANDLER(user_cmd_get_zoom);
MRVDC_HANDLER(user_cmd_set_reticle_src);
MRVDC_HANDLER(user_cmd_set_reticle_color);
MRVDC_HANDLER(user_cmd_set_reticle_opacity);
MRVDC_HANDLER(user_cmd_set_nuc_type);
MRVDC_HANDLER(user_cmd_set_lum);
MRVDC_HANDLER(user_cmd_set_enc_type);
MRVDC_HANDLER(user_cmd_get_enc_type);
MRVDC_HANDLER(user_cmd_set_mic_volume);
MRVDC_HANDLER(user_cmd_get_mic_volume);
MRVDC_HANDLER(user_cmd_pipeline_state);
MRVDC_HANDLER(user_cmd_create_dot);
MRVDC_HANDLER(user_cmd_create_pipe);
MRVDC_HANDLER(user_cmd_kill_pipe);
MRVDC_HANDLER(user_cmd_pause_pipe);
MRVDC_HANDLER(user_cmd_resume_pipe);
MRVDC_HANDLER(user_cmd_pause_video);
MRVDC_HANDLER(user_cmd_resume_video);
MRVDC_HANDLER(user_cmd_enable_http_stream);

#undef MRVDC_HANDLER
