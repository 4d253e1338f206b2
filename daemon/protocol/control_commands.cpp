// Commands of device control: buttons, zoom, PIP, NUC, luminance and the reticle.
#include "control/camera_controls.h"
#include "control/handover.h"
#include "control/reticle_geometry.h"
#include "control/reticle_settings.h"
#include "protocol/command_args.h"
#include "protocol/command_handlers.h"
#include "protocol/commands.h"
#include "protocol/ipc_message.h"

int user_cmd_disable_kbd(char *, std::optional<std::string> &) {
    return ac_disable_kbd();
}

// The commands that drive the camera core answer once its commands ended.
int user_cmd_kbd_zoom(char *, std::optional<std::string> &) {
    ac_toggle_zoom(reply_later());
    return 0;
}

int user_cmd_kbd_nuc(char *, std::optional<std::string> &) {
    ac_exec_nuc_cmd(1, reply_later());
    return 0;
}

// The luminance commands answer once the panel took the value.
int user_cmd_kbd_pol(char *, std::optional<std::string> &) {
    ac_toggle_lum(reply_later());
    return 0;
}

int user_cmd_enable_pip(char *data, std::optional<std::string> &) {
    // Any non-zero request shows PIP at factor 2; the zoom button steps it on.
    ac_exec_pip_cmd(leading_int(data) != 0 ? 2 : 0, reply_later());
    return 0;
}

int user_cmd_get_zoom(char *, std::optional<std::string> &out) {
    out = std::to_string(ac_get_current_zoom_index());
    return 0;
}

int user_cmd_enable_reticle(char *data, std::optional<std::string> &) {
    ac_set_reticle_visible(leading_flag(data));
    return 0;
}

int user_cmd_enable_dot(char *data, std::optional<std::string> &) {
    return ac_update_red_dot(leading_int(data));
}

int user_cmd_set_origin(char *data, std::optional<std::string> &out) {
    std::optional<std::vector<char *>> args = split_arg_list(data);
    if (!args || args->size() != 2) {
        out = INVALID_ARGUMENT_COUNT;
        return 1;
    }
    return ac_update_reticle_origin(leading_double((*args)[0]), leading_double((*args)[1]));
}

int user_cmd_set_reticle_src(char *data, std::optional<std::string> &) {
    ac_update_reticle_src(leading_int(data));
    return 0;
}

int user_cmd_set_reticle_color(char *data, std::optional<std::string> &) {
    return ac_update_reticle_color(leading_int(data));
}

int user_cmd_set_reticle_opacity(char *data, std::optional<std::string> &) {
    return ac_update_reticle_opacity(leading_double(data));
}

int user_cmd_set_nuc_type(char *data, std::optional<std::string> &) {
    ac_update_nuc_type(leading_int(data), reply_later());
    return 0;
}

int user_cmd_set_lum(char *data, std::optional<std::string> &) {
    ac_exec_luminance_cmd(leading_int(data), reply_later());
    return 0;
}
