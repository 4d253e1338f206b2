// The daemon's side of the micro-OLED panel: decimal text written to the attribute files of
// the panel driver's I2C device. A failed write ends the process.
#pragma once

// Panel luminance 0..240: 0, or the process ends.
int uoled_set_lum(int luminance);
int uoled_active(int active);
int uoled_power(int power);
int uoled_pattern(int pattern);
