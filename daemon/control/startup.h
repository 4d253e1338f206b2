// Brings the overlay, the camera core and the panel in line with the stored settings at
// start-up.
#pragma once

void device_start_init();
// The reticle part of start-up; returns the result of its last step (the NUC mode).
int ac_initial_reticle_config();
