#include "control/camera_controls.h"

#include <deque>
#include <functional>
#include <utility>

#include "config/config.h"
#include "control/device_state.h"
#include "control/overlay_messages.h"
#include "control/panel.h"
#include "control/reticle_geometry.h"
#include "core/command_runner.h"
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

// Points the core at the reticle's origin as it is when the step runs.
CommandStep aim_core_at_reticle(int zoom) {
    return CommandStep{[zoom]() -> std::optional<std::string> {
        const point tcore = place_reticle(zoom).tcore;
        return command_line("mrvac origin %d %d", static_cast<int>(tcore.x),
                            static_cast<int>(tcore.y));
    }};
}

// Aims the core, zooms it, then the overlay follows and `then` runs. Optional steps fail
// without failing the operation (and stop each other).
CommandPlan zoom_steps(int zoom, bool required, std::function<void()> then) {
    CommandStep aim = aim_core_at_reticle(zoom);
    aim.required = required;
    CommandStep change{
        [zoom]() -> std::optional<std::string> { return command_line("mrvac zoom %d", zoom); },
        [zoom, then] {
            const reticle_placement placement = place_reticle(zoom);
            const point size = ac_calc_image_coords(zoom);
            ov_zoom_icon(zoom, "ZOOM");
            ov_zoom_reticle(placement.reticle.x, placement.reticle.y, placement.red_dot.x,
                            placement.red_dot.y, size.x, size.y);
            if (then) {
                then();
            }
        },
        required};
    return CommandPlan{std::move(aim), std::move(change)};
}

// Planned when the operation runs: the PIP mode is stored at once; turning PIP on or off
// resets the zoom first (its failure is not the operation's). `then` runs on success.
CommandPlan pip_steps(int factor, std::function<void()> then) {
    const int on = factor != 0 ? 1 : 0;
    const bool mode_changed = ac_store_setting(global_config.pip_mode, on) != 0;
    if (disable_non_video) {
        if (then) {
            then();
        }
        return {};
    }
    CommandPlan plan;
    if (mode_changed || !on) {
        zoom_value_index = 0;
        plan = zoom_steps(zoom_values[0], false, nullptr);
    }
    if (mode_changed) {
        plan.push_back(CommandStep{nullptr, [on] {
                                       pip_index_value = 0;
                                       ov_pip_reticle(on);
                                   }});
    }
    // The core's aim point does not depend on the factor.
    CommandStep aim = aim_core_at_reticle(1);
    aim.on_success = [factor] {
        ov_pip_reticle_offset(0, 0);
        ov_zoom_icon(factor, "PIP_ZOOM");
    };
    plan.push_back(std::move(aim));
    plan.push_back(CommandStep{
        [factor]() -> std::optional<std::string> { return command_line("mrvac pip %d", factor); },
        std::move(then)});
    return plan;
}

}  // namespace

void ac_toggle_zoom(Completion done) {
    run_commands(
        [] {
            if (global_config.pip_mode == 1) {
                const int next = (pip_index_value + 1) % PIP_VALUE_SIZE;
                return pip_steps(pip_values[next], [next] { pip_index_value = next; });
            }
            const int next = (zoom_value_index + 1) % ZOOM_VALUE_SIZE;
            if (disable_non_video) {
                zoom_value_index = next;
                return CommandPlan{};
            }
            return zoom_steps(zoom_values[next], true, [next] { zoom_value_index = next; });
        },
        std::move(done));
}

int ac_get_current_zoom_index() {
    return global_config.pip_mode == 1 ? pip_index_value : zoom_value_index;
}

void ac_exec_pip_cmd(int factor, Completion done) {
    run_commands([factor] { return pip_steps(factor, nullptr); }, std::move(done));
}

void ac_exec_nuc_cmd(int show_icon, Completion done) {
    run_commands(
        [show_icon] {
            if (disable_non_video) {
                return CommandPlan{};
            }
            if (show_icon) {
                ov_nuc_icon();
            }
            return CommandPlan{fixed_command("mrvac fast-nuc")};
        },
        std::move(done));
}

void ac_automatic_nuc() {
    run_commands(
        [] {
            return global_config.nuc_type == 0 ? CommandPlan{fixed_command("mrvac fast-nuc")}
                                               : CommandPlan{};
        },
        Completion());
}

void ac_update_nuc_type(int nuc_type, Completion done) {
    if (nuc_type < 0 || nuc_type >= NUC_TYPE_COUNT) {
        done(1);
        return;
    }
    run_commands(
        [nuc_type] {
            ac_store_setting(global_config.nuc_type, nuc_type);
            if (disable_non_video) {
                return CommandPlan{};
            }
            // Mode 2 keeps the shutter still; the others let the core move it.
            return CommandPlan{
                fixed_command(command_line("mrvac shutter-movement %d", nuc_type == 2 ? 0 : 1))};
        },
        std::move(done));
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
