// Zoom, picture-in-picture, NUC and luminance: the camera core through the `mrvac` tool, the
// overlay indications that follow it, and the panel luminance. The camera-core operations run
// through the command runner, one at a time in the order issued, and read the zoom, PIP and
// NUC state when their turn comes: an operation issued while another is pending acts on the
// state that one leaves. They end with 0 or the failing command's status; the luminance
// results are 0 or the panel write's result.
#pragma once

#include "core/completion.h"

// Next zoom step, or next PIP step while PIP is on; the step advances only on success.
void ac_toggle_zoom(Completion done);
int ac_get_current_zoom_index();
// 0 turns PIP off; 2 or 4 turns it on with that factor.
void ac_exec_pip_cmd(int factor, Completion done);
void ac_exec_nuc_cmd(int show_icon, Completion done);
// The core settles after power-up: a fast NUC, when the NUC mode is still 0 once it runs.
void ac_automatic_nuc();
// NUC mode 0..3; ends with 1 at once for any other.
void ac_update_nuc_type(int nuc_type, Completion done);
// Luminance index 0..3, stored once the panel took it (the write runs on the storage worker);
// `done` gets 0 then, 1 for any other index, or the failed panel write's result. Changes run
// in the order asked for.
void ac_exec_luminance_cmd(int index, Completion done = Completion());
// The next luminance step after the changes asked for before have ended.
void ac_toggle_lum(Completion done = Completion());
