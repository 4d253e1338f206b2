#include "control/reticle_geometry.h"

#include <cmath>
#include <cstdint>

#include "config/config.h"
#include "control/device_state.h"
#include "core/daemon_state.h"
#include "core/log.h"

namespace {

// Toward zero into a 32-bit int and back. Origins come from a hand-editable file: values
// beyond the int range saturate instead of overflowing.
double truncate_to_int(double value) {
    if (std::isnan(value)) {
        return 0.0;
    }
    if (value >= static_cast<double>(INT32_MAX)) {
        return INT32_MAX;
    }
    if (value <= static_cast<double>(INT32_MIN)) {
        return INT32_MIN;
    }
    return static_cast<double>(static_cast<int32_t>(value));
}

}  // namespace

void ac_calc_origin(int zoom, point *reticle, point *fine, point *red_dot, double origin_x,
                    double origin_y, double center_x, double center_y, point *tcore) {
    const point sum{origin_x + center_x, origin_y + center_y};
    *tcore = {truncate_to_int(sum.x / DISPLAY_PER_CORE), truncate_to_int(sum.y / DISPLAY_PER_CORE)};
    // The core zooms about whole multiples of `zoom` core pixels; `fine` moves the reticle and
    // the red dot by what that quantisation does to the picture.
    const point offset{truncate_to_int(tcore->x / zoom), truncate_to_int(tcore->y / zoom)};
    const point disp{offset.x * zoom * DISPLAY_PER_CORE - center_x * zoom,
                     offset.y * zoom * DISPLAY_PER_CORE - center_y * zoom};
    *reticle = {sum.x - center_x * zoom, sum.y - center_y * zoom};
    *fine = {0.0, 0.0};
    if (zoom != 1) {
        const int half_step = zoom / 2;
        *fine = {disp.x - reticle->x - half_step, disp.y - reticle->y + half_step};
    }
    *reticle = {reticle->x + fine->x, reticle->y + fine->y};
    *red_dot = {sum.x + fine->x, sum.y + fine->y};

    log_message(LOG_LEVEL_DEBUG, "Input origin x: %.2f, y: %.2f", origin_x, origin_y);
    log_message(LOG_LEVEL_DEBUG, "Inut center x: %.2f, y: %.2f", center_x, center_y);
    log_message(LOG_LEVEL_DEBUG, "Input zoom_scale : %d", zoom);
    log_message(LOG_LEVEL_DEBUG, "Calculated reticle x: %.2f, y: %.2f", reticle->x, reticle->y);
    log_message(LOG_LEVEL_DEBUG, "Calculated fine x: %.2f, y: %.2f", fine->x, fine->y);
    log_message(LOG_LEVEL_DEBUG, "Calculated red_dot x: %.2f, y: %.2f", red_dot->x, red_dot->y);
    log_message(LOG_LEVEL_DEBUG, "Calculated tcore x: %.2f, y: %.2f", tcore->x, tcore->y);
    log_message(LOG_LEVEL_DEBUG, "Calculated offset x: %.2f, y: %.2f", offset.x, offset.y);
    log_message(LOG_LEVEL_DEBUG, "Calculated disp x: %.2f, y: %.2f", disp.x, disp.y);
}

point ac_calc_image_coords(int zoom) {
    const reticle_src &image = ac_current_reticle();
    point size{static_cast<double>(zoom * image.width), static_cast<double>(zoom * image.height)};
    log_message(LOG_LEVEL_DEBUG, "Calculated image width: %.2f, height: %.2f", size.x, size.y);
    return size;
}

int ac_update_reticle_origin(double x, double y) {
    // NaN or infinity would reach the overlay as text it cannot parse, aim the core at a
    // saturated point and be saved in the configuration.
    if (!std::isfinite(x) || !std::isfinite(y)) {
        return 1;
    }
    global_config.origin_x = x;
    global_config.origin_y = y;
    update_conf_file = 1;
    return 0;
}
