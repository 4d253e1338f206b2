// The sight's operating state: value tables, transient steps and the setter rule.
#pragma once

constexpr int ZOOM_VALUE_SIZE = 3;
constexpr int PIP_VALUE_SIZE = 2;
constexpr int LUM_VALUE_SIZE = 4;
constexpr int RETICLE_COLORS_SIZE = 7;
constexpr int RETICLE_SRCS_SIZE = 5;
constexpr int NUC_TYPE_COUNT = 4;
constexpr int ENC_TYPE_COUNT = 3;

extern const int zoom_values[ZOOM_VALUE_SIZE];
extern const int pip_values[PIP_VALUE_SIZE];
extern const int lum_values[LUM_VALUE_SIZE];
extern const char *const reticle_colors[RETICLE_COLORS_SIZE];

struct reticle_src {
    const char *path;  // image of the reticle
    double center_x;   // aim point within the image at zoom 1, display pixels
    double center_y;
    int width;  // image size at zoom 1, display pixels
    int height;
};
extern const reticle_src reticle_srcs[RETICLE_SRCS_SIZE];

// Transient state, lost at a restart.
extern int zoom_value_index;  // step of zoom_values while PIP is off
extern int pip_index_value;   // step of pip_values while PIP is on
// Set by "disable_kbd" for the rest of the process: settings are still stored, but the
// overlay, the camera core and the panel are no longer touched.
extern int disable_non_video;

// Stores `value` in a persistent setting when it differs and flags the configuration for
// writing back. Returns 1 when the setting changed.
int ac_store_setting(int &setting, int value);
int ac_store_setting(double &setting, double value);

// The reticle image selected by `reticle_source`.
const reticle_src &ac_current_reticle();

// Settings that index a table or select a mode fall back to their defaults, with a warning,
// when the configuration file holds a value outside their range; so do the reticle's numbers
// when they are not finite.
void ac_check_settings();
