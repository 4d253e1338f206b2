// The daemon's side of the micro-OLED panel: decimal text written to the attribute files of
// the panel driver's I2C device. Each returns 0, or -1 after a warning when the attribute is
// missing or the driver refused the value; the daemon keeps running either way.
#pragma once

#include <functional>

// Panel luminance 0..240; a value outside that range is a programming error that ends the
// process.
int uoled_set_lum(int luminance);
// The same write done on the storage worker, behind what was handed over before; `done` gets
// its result on the main thread. The range is checked at once.
void uoled_set_lum_later(int luminance, std::function<void(int result)> done);
int uoled_active(int active);
int uoled_power(int power);
int uoled_pattern(int pattern);
