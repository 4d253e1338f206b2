#include "control/camera_controls.h"

#include <deque>
#include <functional>
#include <utility>

#include "config/config.h"
#include "control/device_state.h"
#include "control/overlay_messages.h"
#include "control/panel.h"
#include "control/reticle_geometry.h"
#include "core/files.h"
#include "core/log.h"

namespace {

struct reticle_placement {
    point reticle;
    point fine;
    point red_dot;
    point tcore;
};

reticle_placement place_reticle(int zoom) {
    const reticle_src &image = ac_current_reticle();
    reticle_placement placement{};
    ac_calc_origin(zoom, &placement.reticle, &placement.fine, &placement.red_dot,
                   global_config.origin_x, global_config.origin_y, image.center_x, image.center_y,
                   &placement.tcore);
    return placement;
}

int aim_core_at(const point &tcore) {
    return exec_system_cmd("mrvac origin %d %d", static_cast<int>(tcore.x),
                           static_cast<int>(tcore.y));
}

}  // namespace

int ac_exec_zoom_cmd(int zoom) {
    if (disable_non_video) {
        return 0;
    }
    const reticle_placement placement = place_reticle(zoom);
    const point size = ac_calc_image_coords(zoom);
    if (int status = aim_core_at(placement.tcore)) {
        return status;
    }
    if (int status = exec_system_cmd("mrvac zoom %d", zoom)) {
        return status;
    }
    ov_zoom_icon(zoom, "ZOOM");
    ov_zoom_reticle(placement.reticle.x, placement.reticle.y, placement.red_dot.x,
                    placement.red_dot.y, size.x, size.y);
    return 0;
}

int ac_toggle_zoom() {
    if (global_config.pip_mode == 1) {
        int next = (pip_index_value + 1) % PIP_VALUE_SIZE;
        int result = ac_exec_pip_cmd(pip_values[next]);
        if (result == 0) {
            pip_index_value = next;
        }
        return result;
    }
    int next = (zoom_value_index + 1) % ZOOM_VALUE_SIZE;
    int result = ac_exec_zoom_cmd(zoom_values[next]);
    if (result == 0) {
        zoom_value_index = next;
    }
    return result;
}

void ac_reset_zoom() {
    zoom_value_index = 0;
    ac_exec_zoom_cmd(zoom_values[0]);
}

int ac_get_current_zoom_index() {
    return global_config.pip_mode == 1 ? pip_index_value : zoom_value_index;
}

int ac_exec_pip_cmd(int factor) {
    const int on = factor != 0 ? 1 : 0;
    const bool mode_changed = ac_store_setting(global_config.pip_mode, on) != 0;
    if (disable_non_video) {
        return 0;
    }
    if (mode_changed) {
        ac_reset_zoom();
        pip_index_value = 0;
        ov_pip_reticle(on);
    } else if (!on) {
        ac_reset_zoom();
    }
    // The core's aim point does not depend on the factor.
    if (int status = aim_core_at(place_reticle(1).tcore)) {
        return status;
    }
    ov_pip_reticle_offset(0, 0);
    ov_zoom_icon(factor, "PIP_ZOOM");
    return exec_system_cmd("mrvac pip %d", factor);
}

int ac_exec_nuc_cmd(int show_icon) {
    if (disable_non_video) {
        return 0;
    }
    if (show_icon) {
        ov_nuc_icon();
    }
    return exec_system_cmd("mrvac fast-nuc");
}

int ac_update_nuc_type(int nuc_type) {
    if (nuc_type < 0 || nuc_type >= NUC_TYPE_COUNT) {
        return 1;
    }
    ac_store_setting(global_config.nuc_type, nuc_type);
    if (disable_non_video) {
        return 0;
    }
    // Mode 2 keeps the shutter still; the others let the core move it.
    return exec_system_cmd("mrvac shutter-movement %d", nuc_type == 2 ? 0 : 1);
}

namespace {

// Luminance changes run one at a time, in the order asked for: each step picks its index when
// the one before has ended, so a pol press during a panel write steps on from the index that
// write leaves.
struct LumStep {
    std::function<int()> index;
    Completion done;
};
std::deque<LumStep> lum_steps;
bool lum_writing = false;

void run_lum_steps();

// The stored index is what the panel shows: a value it refuses is not kept, so it is neither
// written back nor the base of the next pol step.
void lum_written(int index, int result, const Completion &done) {
    lum_writing = false;
    if (result == 0) {
        ov_brigthness_icon(static_cast<unsigned>(index));
        ac_store_setting(global_config.luminance, index);
    }
    done(result);
    run_lum_steps();
}

void run_lum_steps() {
    while (!lum_writing && !lum_steps.empty()) {
        LumStep step = std::move(lum_steps.front());
        lum_steps.pop_front();
        int index = step.index();
        if (is_hdmi_connected() || disable_non_video) {
            if (!disable_non_video) {
                log_message(LOG_LEVEL_WARN, "HDMI connected - skip oled command");
            }
            ac_store_setting(global_config.luminance, index);
            step.done(0);
            continue;
        }
        lum_writing = true;
        uoled_set_lum_later(lum_values[index], [index, done = std::move(step.done)](int result) {
            lum_written(index, result, done);
        });
    }
}

void queue_lum_step(std::function<int()> index, Completion done) {
    lum_steps.push_back(LumStep{std::move(index), std::move(done)});
    run_lum_steps();
}

}  // namespace

void ac_exec_luminance_cmd(int index, Completion done) {
    if (index < 0 || index >= LUM_VALUE_SIZE) {
        done(1);
        return;
    }
    queue_lum_step([index] { return index; }, std::move(done));
}

void ac_toggle_lum(Completion done) {
    queue_lum_step([] { return (global_config.luminance + 1) % LUM_VALUE_SIZE; }, std::move(done));
}
