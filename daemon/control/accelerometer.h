// The three-axis accelerometer of the IIO subsystem: set-up of its buffer through sysfs,
// samples from its character device, and the tilt and roll angles for the leveler.
#pragma once

#include <cstdint>
#include <optional>

struct acc_sample {
    int16_t raw_x;
    int16_t raw_y;
    int16_t raw_z;
    double x;  // m/s²
    double y;
    double z;
    int32_t tilt;  // whole degrees
    int32_t roll;
};

// The device as registered with the event aggregator, -1 when not registered.
extern int acc_fd;

// Opens the device and enables its x, y, z channels and buffer at `frequency` Hz. Returns the
// device's descriptor, or a negative value on failure.
int acc_init(const char *device, const char *sysfs_dir, int frequency);
// One sample, or none when no whole sample could be read.
std::optional<acc_sample> acc_get();
// Turns a sample record (three little-endian words, 12 bits in their upper bits) into a
// sample with its angles.
acc_sample acc_decode(const unsigned char record[6], double scale);
// The main loop's handler: hands one sample's roll and tilt to the overlay's leveler.
void process_acc();
// Disables the channels and the buffer and closes the device.
void acc_close();
// Radians to whole degrees, toward zero.
int conv_to_deg(double radians);
