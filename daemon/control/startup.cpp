#include "control/startup.h"

#include "config/config.h"
#include "control/camera_controls.h"
#include "control/device_state.h"
#include "control/overlay_messages.h"
#include "control/reticle_geometry.h"
#include "core/log.h"

void ac_initial_reticle_config() {
    const reticle_src &image = ac_current_reticle();
    point reticle{}, fine{}, red_dot{}, tcore{};
    ac_calc_origin(1, &reticle, &fine, &red_dot, global_config.origin_x, global_config.origin_y,
                   image.center_x, image.center_y, &tcore);
    const point size = ac_calc_image_coords(1);
    ov_zoom_reticle(reticle.x, reticle.y, red_dot.x, red_dot.y, size.x, size.y);
    ov_set_reticle(image.path);
    ov_reticle_visible(global_config.reticle);
    ov_red_dot_visibility(global_config.red_dot);
    ov_reticle_opacity(global_config.reticle_opacity);
    ov_pip_reticle_color(reticle_colors[global_config.reticle_color]);
    ov_pip_reticle(global_config.pip_mode);
    ac_update_nuc_type(global_config.nuc_type, Completion());
}

void device_start_init() {
    ac_initial_reticle_config();
    log_message(LOG_LEVEL_DEBUG, "Setting %d as defautl luminance (index %d)",
                lum_values[global_config.luminance], global_config.luminance);
    ac_exec_luminance_cmd(global_config.luminance);
    log_message(LOG_LEVEL_DEBUG, "pip_mode: %d", global_config.pip_mode);
    if (global_config.pip_mode != 0) {
        ac_exec_pip_cmd(pip_values[pip_index_value], Completion());
        log_message(LOG_LEVEL_INFO, "PIP started by default");
    }
}
