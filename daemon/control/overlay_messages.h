// The messages device control sends to the QML overlay: one (object, property, value) triple
// each, with its exact text.
#pragma once

int ov_reticle_visible(int flag);
void ov_zoom_reticle(double x, double y, double red_dot_x, double red_dot_y, double width,
                     double height);
void ov_pip_reticle_offset(double x, double y);
void ov_pip_reticle_color(const char *color);
void ov_reticle_opacity(double opacity);
void ov_set_reticle(const char *path);
void ov_red_dot_visibility(int state);
// 1 and nothing sent for a level above 4.
int ov_brigthness_icon(unsigned level);
int ov_nuc_icon();
// `key` "ZOOM" or "PIP_ZOOM"; 1 and nothing sent for a factor other than 1, 2 or 4.
int ov_zoom_icon(int factor, const char *key);
int ov_pip_reticle(int flag);
int ov_leveler_visibility(int flag);
void ov_leveler_data(int roll, int tilt);
