// Where the camera core zooms about and where the overlay draws the reticle and the red dot,
// so that both stay on the same scene point whatever the zoom.
#pragma once

struct point {
    double x;
    double y;
};

// Display pixels per camera-core pixel (1024x768 over 640x480).
constexpr double DISPLAY_PER_CORE = 1.6;

// For zoom factor `zoom` (1, 2 or 4): the reticle image position, the correction applied to it
// and to the red dot, the red dot position, and the core aim point `tcore` in whole core
// pixels.
void ac_calc_origin(int zoom, point *reticle, point *fine, point *red_dot, double origin_x,
                    double origin_y, double center_x, double center_y, point *tcore);
// The selected reticle image's size at `zoom`.
point ac_calc_image_coords(int zoom);
// Stores a new reticle origin (display pixels); it takes effect at the next zoom or PIP step.
// 0, or 1 with nothing stored when a coordinate is not a finite number.
int ac_update_reticle_origin(double x, double y);
