#include "control/device_state.h"

#include <cmath>

#include "config/config.h"
#include "core/daemon_state.h"
#include "core/log.h"

const int zoom_values[ZOOM_VALUE_SIZE] = {1, 2, 4};
const int pip_values[PIP_VALUE_SIZE] = {2, 4};
const int lum_values[LUM_VALUE_SIZE] = {75, 130, 185, 220};
const char *const reticle_colors[RETICLE_COLORS_SIZE] = {
    "#000000", "#ffffff", "#c8c8c7", "#cc2c24", "#008351", "#f67828", "#0089b6",
};
const reticle_src reticle_srcs[RETICLE_SRCS_SIZE] = {
    {"/opt/us/Reticles/StandardMilDot.svg", 185.0, 185.0, 370, 370},
    {"/opt/us/Reticles/ModernRangeFinding_V2.svg", 185.0, 185.0, 370, 370},
    {"/opt/us/Reticles/CircleReticle.svg", 185.0, 185.0, 370, 370},
    {"/opt/us/Reticles/DR_1_Reticle.svg", 185.0, 185.0, 370, 370},
    {"/opt/us/Reticles/German_4_Reticle.svg", 185.0, 185.0, 370, 370},
};

int zoom_value_index = 0;
int pip_index_value = 0;
int disable_non_video = 0;

int ac_store_setting(int &setting, int value) {
    if (setting == value) {
        return 0;
    }
    setting = value;
    update_conf_file = 1;
    return 1;
}

int ac_store_setting(double &setting, double value) {
    if (setting == value) {
        return 0;
    }
    setting = value;
    update_conf_file = 1;
    return 1;
}

const reticle_src &ac_current_reticle() {
    return reticle_srcs[global_config.reticle_source];
}

namespace {

void check_range(const char *key, int &setting, int count, int fallback) {
    if (setting < 0 || setting >= count) {
        log_message(LOG_LEVEL_WARN, "Setting %s=%d is out of range [0 - %d], using %d", key,
                    setting, count - 1, fallback);
        setting = fallback;
    }
}

// The file accepts "nan" and "inf" as numbers; none of them is a place or an opacity.
void check_finite(const char *key, double &setting, double fallback) {
    if (!std::isfinite(setting)) {
        log_message(LOG_LEVEL_WARN, "Setting %s=%f is not a finite number, using %.2f", key,
                    setting, fallback);
        setting = fallback;
    }
}

}  // namespace

void ac_check_settings() {
    const GlobalConfig defaults = cfg_default_config();
    check_range("luminance", global_config.luminance, LUM_VALUE_SIZE, defaults.luminance);
    check_range("reticle_source", global_config.reticle_source, RETICLE_SRCS_SIZE,
                defaults.reticle_source);
    check_range("reticle_color", global_config.reticle_color, RETICLE_COLORS_SIZE,
                defaults.reticle_color);
    check_range("nuc_type", global_config.nuc_type, NUC_TYPE_COUNT, defaults.nuc_type);
    check_range("enc_type", global_config.enc_type, ENC_TYPE_COUNT, defaults.enc_type);
    check_finite("origin_x", global_config.origin_x, defaults.origin_x);
    check_finite("origin_y", global_config.origin_y, defaults.origin_y);
    check_finite("reticle_opacity", global_config.reticle_opacity, defaults.reticle_opacity);
}
