#include "control/overlay_messages.h"

#include <cstdio>
#include <string>

#include "core/log.h"
#include "video/gstvideo.h"

namespace {

constexpr const char *kReticleMenu = "ReticleMenu";
constexpr const char *kReticleParams = "retProfParam";
constexpr const char *kOffMenu = "OffMenu";
constexpr const char *kOffMenuParams = "offMenuParams";
constexpr const char *kFeatureMenu = "FtrMenu";

// Formats a value of any length (doubles print without limit).
template <typename... Args>
std::string format_value(const char *format, Args... args) {
    int length = snprintf(nullptr, 0, format, args...);
    std::string text(static_cast<size_t>(length), '\0');
    snprintf(text.data(), text.size() + 1, format, args...);
    return text;
}

int send_reticle(const std::string &value) {
    return gstvideo_set_qml_param(kReticleMenu, kReticleParams, value.c_str());
}

}  // namespace

int ov_reticle_visible(int flag) {
    return send_reticle(flag ? "{\"STATE\": 1}" : "{\"STATE\": 0}");
}

void ov_zoom_reticle(double x, double y, double red_dot_x, double red_dot_y, double width,
                     double height) {
    send_reticle(format_value(
        "{\"X\": %f,\"Y\": %f, \"RD_X\": %f,\"RD_Y\": %f,\"WIDTH\": %f,\"HEIGHT\": %f}", x, y,
        red_dot_x, red_dot_y, width, height));
}

void ov_pip_reticle_offset(double x, double y) {
    send_reticle(format_value("{\"Z_OFFSET_X\": %d,\"Z_OFFSET_Y\": %d}", static_cast<int>(x),
                              static_cast<int>(y)));
}

void ov_pip_reticle_color(const char *color) {
    send_reticle(format_value("{\"COLOR_HEX\": \"%s\"}", color));
}

void ov_reticle_opacity(double opacity) {
    send_reticle(format_value("{\"BRIGHT_VAL\": \"%f\"}", opacity));
}

void ov_set_reticle(const char *path) {
    send_reticle(format_value("{\"SRC\": \"%s\"}", path));
}

void ov_red_dot_visibility(int state) {
    send_reticle(format_value("{\"RD_STATE\": %d}", state));
}

int ov_brigthness_icon(unsigned level) {
    if (level > 4) {
        return 1;
    }
    std::string value = format_value("{\"KEY\": \"LUM\", \"VAL\": %u}", level);
    gstvideo_set_qml_param(kOffMenu, kOffMenuParams, value.c_str());
    return 0;
}

int ov_nuc_icon() {
    return gstvideo_set_qml_param(kOffMenu, kOffMenuParams,
                                  "{\"KEY\": \"AUTO_NUC_ALRT\" , \"VAL\": 0}");
}

int ov_zoom_icon(int factor, const char *key) {
    int icon;
    switch (factor) {
        case 1:
            icon = 0;
            break;
        case 2:
            icon = 1;
            break;
        case 4:
            icon = 2;
            break;
        default:
            return 1;
    }
    std::string value = format_value("{\"KEY\": \"%s\" , \"VAL\": %d}", key, icon);
    gstvideo_set_qml_param(kOffMenu, kOffMenuParams, value.c_str());
    return 0;
}

int ov_pip_reticle(int flag) {
    return gstvideo_set_qml_param(kFeatureMenu, "pipSt", flag ? "1" : "0");
}

int ov_leveler_visibility(int flag) {
    return gstvideo_set_qml_param(kFeatureMenu, "lvlSt", flag ? "1" : "0");
}

void ov_leveler_data(int, int) {
    log_message(LOG_LEVEL_WARN, "ov_leveler_data not implemented");
}
