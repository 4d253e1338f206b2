// Zoom, picture-in-picture, NUC and luminance: the camera core through the `mrvac` tool, the
// overlay indications that follow it, and the panel luminance. Results are 0 or the failing
// step's status (a shell status or a panel write result).
#pragma once

#include "core/completion.h"

int ac_exec_zoom_cmd(int zoom);
// Next zoom step, or next PIP step while PIP is on; the step advances only on success.
int ac_toggle_zoom();
void ac_reset_zoom();
int ac_get_current_zoom_index();
// 0 turns PIP off; 2 or 4 turns it on with that factor.
int ac_exec_pip_cmd(int factor);
int ac_exec_nuc_cmd(int show_icon);
// NUC mode 0..3; 1 for any other.
int ac_update_nuc_type(int nuc_type);
// Luminance index 0..3, stored once the panel took it (the write runs on the storage worker);
// `done` gets 0 then, 1 for any other index, or the failed panel write's result. Changes run
// in the order asked for.
void ac_exec_luminance_cmd(int index, Completion done = Completion());
// The next luminance step after the changes asked for before have ended.
void ac_toggle_lum(Completion done = Completion());
