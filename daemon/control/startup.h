// Brings the overlay, the camera core and the panel in line with the stored settings at
// start-up.
#pragma once

void device_start_init();
// The reticle part of start-up; its last step, the NUC mode, reaches the core later.
void ac_initial_reticle_config();
