// The reticle's image, colour, opacity, visibility and red dot.
#pragma once

// The index wraps around the image table (7 selects image 2); a negative index is ignored.
void ac_update_reticle_src(int index);
// 1 for an index outside the colour table.
int ac_update_reticle_color(int index);
// 1 for an opacity outside 0..1.
int ac_update_reticle_opacity(double opacity);
int ac_update_red_dot(int visible);
void ac_set_reticle_visible(int visible);
