#include "control/panel.h"

#include <string>
#include <utility>

#include "core/files.h"
#include "core/log.h"
#include "core/storage_worker.h"
#include "core/sysroot.h"

namespace {

constexpr const char *kLuminance = "/sys/bus/i2c/drivers/mxc_uoled_i2c/0-0024/attr_luminance";
constexpr const char *kActive = "/sys/bus/i2c/drivers/mxc_uoled_i2c/0-0024/attr_display_on";
constexpr const char *kPower = "/sys/bus/i2c/drivers/mxc_uoled_i2c/0-0024/attr_pon";
constexpr const char *kPattern = "/sys/bus/i2c/drivers/mxc_uoled_i2c/0-0024/attr_pattern";
constexpr int kMaxLuminance = 240;

// Recordings and streams must not stop for the eyepiece: a panel that is missing or refuses
// a value is reported and the caller decides what to keep.
int write_attribute(const char *attribute, int value, const char *what) {
    std::string path = sysroot_path(attribute);
    int result = write_full_file(path.c_str(), std::to_string(value).c_str());
    if (result == 1) {
        // No such attribute: the panel driver is not there at all.
        log_message(LOG_LEVEL_WARN, "Failed to write %s to %s", what, path.c_str());
        return -1;
    }
    if (result != 0) {
        // The driver refused the value (a failed panel command).
        log_message(LOG_LEVEL_WARN, "Panel refused %s %d at %s", what, value, path.c_str());
        return -1;
    }
    log_message(LOG_LEVEL_DEBUG, "uoled %s set to: %d", what, value);
    return 0;
}

}  // namespace

namespace {

bool luminance_in_range(int luminance) {
    if (luminance < 0 || luminance > kMaxLuminance) {
        log_message(LOG_LEVEL_ERROR, "lum value out of the range [0 - 240].");
        return false;
    }
    return true;
}

}  // namespace

int uoled_set_lum(int luminance) {
    if (!luminance_in_range(luminance)) {
        return -1;
    }
    return write_attribute(kLuminance, luminance, "luminance");
}

void uoled_set_lum_later(int luminance, std::function<void(int result)> done) {
    // The error level ends the process, which only the main thread may do.
    if (!luminance_in_range(luminance)) {
        done(-1);
        return;
    }
    storage_run([luminance] { return write_attribute(kLuminance, luminance, "luminance"); },
                std::move(done));
}

int uoled_active(int active) {
    return write_attribute(kActive, active, "active");
}

int uoled_power(int power) {
    return write_attribute(kPower, power, "power");
}

int uoled_pattern(int pattern) {
    return write_attribute(kPattern, pattern, "pattern");
}
