#include "control/accelerometer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <string>

#include "control/overlay_messages.h"
#include "core/event_aggregator.h"
#include "core/files.h"
#include "core/log.h"
#include "core/unique_fd.h"

int acc_fd = -1;

namespace {

constexpr const char *kScaleFile = "in_accel_x_scale";
constexpr const char *kFrequencyFile = "sampling_frequency";
constexpr const char *kBufferEnableFiles[] = {
    "/scan_elements/in_accel_x_en",
    "/scan_elements/in_accel_y_en",
    "/scan_elements/in_accel_z_en",
    "/buffer/enable",
};
constexpr double kGravity = 9.81;
constexpr double kDegreesPerRadian = 57.29577951308232;
constexpr size_t kRecordSize = 6;

UniqueFd device;
double axis_scale = 0.0;
std::optional<std::string> sysfs_path;
// Set when the device reported end-of-file or a hard error: it is gone.
bool device_gone = false;

std::string attribute_path(const std::string &dir, const char *name) {
    return dir + "/" + name;
}

int16_t sample_word(const unsigned char *bytes) {
    uint16_t word = static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
    // The 12-bit sample sits in the upper bits: an arithmetic shift keeps its sign.
    return static_cast<int16_t>(static_cast<int16_t>(word) >> 4);
}

}  // namespace

int conv_to_deg(double radians) {
    return static_cast<int>(radians * kDegreesPerRadian);
}

acc_sample acc_decode(const unsigned char record[6], double scale) {
    acc_sample sample{};
    sample.raw_x = sample_word(record);
    sample.raw_y = sample_word(record + 2);
    sample.raw_z = sample_word(record + 4);
    log_message(LOG_LEVEL_DEBUG, "ACC raw x: %d, y:%d, z:%d", sample.raw_x, sample.raw_y,
                sample.raw_z);
    sample.x = sample.raw_x * scale;
    sample.y = sample.raw_y * scale;
    sample.z = sample.raw_z * scale;
    log_message(LOG_LEVEL_DEBUG, "ACC scaled x: %f, y:%f, z:%f", sample.x, sample.y, sample.z);
    // Keep the sine's argument within -1..1.
    double along_y = std::fabs(sample.y) > kGravity ? std::copysign(kGravity, sample.y) : sample.y;
    sample.tilt = conv_to_deg(std::asin(along_y / kGravity));
    sample.roll = conv_to_deg(std::atan2(-sample.x, sample.z));
    return sample;
}

int acc_init(const char *device_path, const char *sysfs_dir, int frequency) {
    device.reset(open(device_path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (!device.valid()) {
        log_message(LOG_LEVEL_WARN, "Failed to open acc: %s", device_path);
        return device.get();
    }
    std::optional<std::string> scale =
        read_full_file(attribute_path(sysfs_dir, kScaleFile).c_str());
    if (!scale) {
        log_message(LOG_LEVEL_WARN, "Failed to read the acc scale in %s", sysfs_dir);
        device.reset();
        return -1;
    }
    axis_scale = strtod(scale->c_str(), nullptr);
    log_message(LOG_LEVEL_DEBUG, "ACC scale converted: %f", axis_scale);
    write_full_file(attribute_path(sysfs_dir, kFrequencyFile).c_str(),
                    std::to_string(frequency).c_str());
    log_message(LOG_LEVEL_DEBUG, "ACC frequence set to %d Hz", frequency);
    for (const char *name : kBufferEnableFiles) {
        if (write_full_file(attribute_path(sysfs_dir, name).c_str(), "1") != 0) {
            log_message(LOG_LEVEL_WARN, "Failed to write enable to file %s", name);
            device.reset();
            return -1;
        }
    }
    sysfs_path = sysfs_dir;
    return device.get();
}

std::optional<acc_sample> acc_get() {
    device_gone = false;
    unsigned char record[kRecordSize];
    ssize_t count = read(device.get(), record, sizeof(record));
    if (count != static_cast<ssize_t>(sizeof(record))) {
        device_gone = count == 0 || (count < 0 && errno != EAGAIN && errno != EINTR);
        return std::nullopt;
    }
    return acc_decode(record, axis_scale);
}

void process_acc() {
    if (std::optional<acc_sample> sample = acc_get()) {
        ov_leveler_data(sample->roll, sample->tilt);
        return;
    }
    if (device_gone && acc_fd >= 0) {
        // A device that went away stays readable for ever: drop it rather than spin.
        log_message(LOG_LEVEL_WARN, "acc device went away, closing it");
        ea_unregister_event(acc_fd);
        acc_fd = -1;
        acc_close();
    }
}

void acc_close() {
    if (!device.valid()) {
        return;
    }
    if (sysfs_path) {
        for (const char *name : kBufferEnableFiles) {
            write_full_file(attribute_path(*sysfs_path, name).c_str(), "0");
        }
    }
    sysfs_path.reset();
    device.reset();
}
