#include "control/reticle_settings.h"

#include "config/config.h"
#include "control/device_state.h"
#include "control/overlay_messages.h"

void ac_update_reticle_src(int index) {
    if (index < 0) {
        return;
    }
    ac_store_setting(global_config.reticle_source, index % RETICLE_SRCS_SIZE);
    if (!disable_non_video) {
        ov_set_reticle(ac_current_reticle().path);
    }
}

int ac_update_reticle_color(int index) {
    if (index < 0 || index >= RETICLE_COLORS_SIZE) {
        return 1;
    }
    ac_store_setting(global_config.reticle_color, index);
    if (!disable_non_video) {
        ov_pip_reticle_color(reticle_colors[index]);
    }
    return 0;
}

int ac_update_reticle_opacity(double opacity) {
    if (!(opacity >= 0.0 && opacity <= 1.0)) {
        return 1;
    }
    ac_store_setting(global_config.reticle_opacity, opacity);
    if (!disable_non_video) {
        ov_reticle_opacity(opacity);
    }
    return 0;
}

int ac_update_red_dot(int visible) {
    const int state = visible != 0 ? 1 : 0;
    ac_store_setting(global_config.red_dot, state);
    if (!disable_non_video) {
        ov_red_dot_visibility(state);
    }
    return 0;
}

void ac_set_reticle_visible(int visible) {
    ac_store_setting(global_config.reticle, visible);
    if (!disable_non_video) {
        ov_reticle_visible(visible);
    }
}
