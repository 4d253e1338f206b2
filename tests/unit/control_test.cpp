// The arithmetic of device control: reticle geometry and accelerometer angles, and the
// settings checks that keep every table read in bounds.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "config/config.h"
#include "control/accelerometer.h"
#include "control/device_state.h"
#include "control/reticle_geometry.h"
#include "log_capture.h"

namespace {

struct Geometry {
    point reticle, fine, red_dot, tcore;
};

Geometry calc(int zoom, double origin_x = 512.0, double origin_y = 384.0) {
    Geometry g{};
    ac_calc_origin(zoom, &g.reticle, &g.fine, &g.red_dot, origin_x, origin_y, 185.0, 185.0,
                   &g.tcore);
    return g;
}

void expect_point(const point &actual, double x, double y, const char *what) {
    EXPECT_NEAR(actual.x, x, 1e-9) << what;
    EXPECT_NEAR(actual.y, y, 1e-9) << what;
}

TEST(ReticleGeometry, WorkedValuesForTheDefaults) {
    LogCapture log(1);
    Geometry one = calc(1);
    expect_point(one.tcore, 435, 355, "tcore z1");
    expect_point(one.fine, 0, 0, "fine z1");
    expect_point(one.reticle, 512, 384, "reticle z1");
    expect_point(one.red_dot, 697, 569, "red dot z1");

    Geometry two = calc(2);
    expect_point(two.tcore, 435, 355, "tcore z2");
    expect_point(two.fine, -3.6, -1.6, "fine z2");
    expect_point(two.reticle, 323.4, 197.4, "reticle z2");
    expect_point(two.red_dot, 693.4, 567.4, "red dot z2");

    Geometry four = calc(4);
    expect_point(four.tcore, 435, 355, "tcore z4");
    expect_point(four.fine, -7.8, -3.8, "fine z4");
    expect_point(four.reticle, -50.8, -174.8, "reticle z4");
    expect_point(four.red_dot, 689.2, 565.2, "red dot z4");
    EXPECT_TRUE(log.contains("[DEBUG]: Calculated offset x: 108.00, y: 88.00\n"));
    EXPECT_TRUE(log.contains("[DEBUG]: Calculated disp x: -48.80, y: -176.80\n"));
    EXPECT_TRUE(log.contains("[DEBUG]: Inut center x: 185.00, y: 185.00\n"));
}

TEST(ReticleGeometry, CoreAimPointTruncatesADivisionBySixteenTenths) {
    LogCapture log;
    EXPECT_EQ(calc(1, 7.0).tcore.x, 120);
    EXPECT_EQ(calc(1, 6.9).tcore.x, 119);
    // 185.6 / 1.6 is just below 116 in doubles; a multiplication by 0.625 would give 116.
    EXPECT_EQ(calc(1, 0.6).tcore.x, 115);
    // Toward zero, also for negative points.
    EXPECT_EQ(calc(1, -187.0, -187.0).tcore.x, -1);
    EXPECT_EQ(calc(2, -187.0, -187.0).tcore.y, -1);
}

TEST(ReticleGeometry, ZoomOneKeepsTheOriginAndHugeOriginsStayDefined) {
    LogCapture log;
    for (double x : {0.0, 13.37, 1023.99, -50.5}) {
        Geometry g = calc(1, x, 2 * x);
        expect_point(g.fine, 0, 0, "fine");
        expect_point(g.reticle, x, 2 * x, "reticle");
        expect_point(g.red_dot, x + 185, 2 * x + 185, "red dot");
    }
    Geometry huge = calc(4, 1e300, -1e300);
    EXPECT_EQ(huge.tcore.x, 2147483647.0);
    EXPECT_EQ(huge.tcore.y, -2147483648.0);
}

TEST(ReticleGeometry, ImageSizeFollowsTheZoom) {
    LogCapture log;
    global_config = cfg_default_config();
    for (int zoom : {1, 2, 4}) {
        point size = ac_calc_image_coords(zoom);
        EXPECT_EQ(size.x, 370.0 * zoom);
        EXPECT_EQ(size.y, 370.0 * zoom);
    }
}

std::string raw_record(int16_t x, int16_t y, int16_t z) {
    std::string record;
    for (int16_t raw : {x, y, z}) {
        uint16_t word = static_cast<uint16_t>(raw) << 4;
        record += static_cast<char>(word & 0xff);
        record += static_cast<char>(word >> 8);
    }
    return record;
}

acc_sample decode(int16_t x, int16_t y, int16_t z, double scale = 0.01) {
    std::string record = raw_record(x, y, z);
    return acc_decode(reinterpret_cast<const unsigned char *>(record.data()), scale);
}

TEST(Accelerometer, AnglesOfTheLeveler) {
    LogCapture log;
    acc_sample level = decode(0, 0, 981);
    EXPECT_DOUBLE_EQ(level.z, 9.81);
    EXPECT_EQ(level.tilt, 0);
    EXPECT_EQ(level.roll, 0);

    EXPECT_EQ(decode(0, 1024, 0).tilt, 90);  // clamped to g
    EXPECT_EQ(decode(0, -1024, 0).tilt, -90);
    EXPECT_EQ(decode(0, 0, -981).roll, -180);  // minus zero goes first into atan2
    EXPECT_EQ(decode(490, 0, 490).roll, -45);
    EXPECT_EQ(decode(0, 490, 0).tilt, 29);  // 29.96 degrees, toward zero
    EXPECT_EQ(conv_to_deg(-0.5236), -30);
    EXPECT_EQ(conv_to_deg(0.0174), 0);
}

TEST(Accelerometer, WordsKeepTheirSign) {
    LogCapture log;
    const unsigned char all_but_low_four[6] = {0xf0, 0xff, 0xf0, 0xff, 0x10, 0x00};
    acc_sample sample = acc_decode(all_but_low_four, 1.0);
    EXPECT_EQ(sample.raw_x, -1);
    EXPECT_EQ(sample.raw_y, -1);
    EXPECT_EQ(sample.raw_z, 1);
    acc_sample extremes = decode(2047, -2048, 0);
    EXPECT_EQ(extremes.raw_x, 2047);
    EXPECT_EQ(extremes.raw_y, -2048);
}

class AccelerometerDevice : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/mrvdc-acc-XXXXXX";
        dir_ = mkdtemp(name);
        mkdir((dir_ + "/scan_elements").c_str(), 0755);
        mkdir((dir_ + "/buffer").c_str(), 0755);
        write("in_accel_x_scale", "0.01\n");
        for (const char *name :
             {"sampling_frequency", "scan_elements/in_accel_x_en", "scan_elements/in_accel_y_en",
              "scan_elements/in_accel_z_en", "buffer/enable"}) {
            write(name, "0\n");
        }
        fifo_ = dir_ + "/device";
        mkfifo(fifo_.c_str(), 0600);
    }
    void TearDown() override {
        acc_close();
        std::system(("rm -rf " + dir_).c_str());
    }
    void write(const std::string &name, const std::string &text) {
        std::ofstream(dir_ + "/" + name) << text;
    }
    std::string read(const std::string &name) {
        std::ifstream in(dir_ + "/" + name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string dir_;
    std::string fifo_;
    LogCapture log_{1};
};

TEST_F(AccelerometerDevice, SetUpReadsSamplesAndTearsDown) {
    int fd = acc_init(fifo_.c_str(), (dir_ + "/").c_str(), 25);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(read("sampling_frequency"), "25");
    for (const char *name : {"scan_elements/in_accel_x_en", "scan_elements/in_accel_y_en",
                             "scan_elements/in_accel_z_en", "buffer/enable"}) {
        EXPECT_EQ(read(name), "1") << name;
    }
    EXPECT_TRUE(log_.contains("ACC scale converted: 0.010000"));

    int writer = open(fifo_.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    std::string records = raw_record(490, 0, 490) + "\x01\x02";
    ASSERT_EQ(::write(writer, records.data(), records.size()), 8);
    std::optional<acc_sample> sample = acc_get();
    ASSERT_TRUE(sample);
    EXPECT_EQ(sample->roll, -45);
    EXPECT_FALSE(acc_get());  // two bytes are no sample
    EXPECT_FALSE(acc_get());  // nothing at all
    close(writer);

    acc_close();
    for (const char *name : {"scan_elements/in_accel_x_en", "scan_elements/in_accel_y_en",
                             "scan_elements/in_accel_z_en", "buffer/enable"}) {
        EXPECT_EQ(read(name), "0") << name;
    }
}

TEST_F(AccelerometerDevice, SetUpFailures) {
    EXPECT_LT(acc_init((dir_ + "/absent").c_str(), dir_.c_str(), 1), 0);
    EXPECT_TRUE(log_.contains("[WARN]: Failed to open acc: " + dir_ + "/absent"));

    std::system(("rm -rf " + dir_ + "/buffer").c_str());
    EXPECT_EQ(acc_init(fifo_.c_str(), dir_.c_str(), 1), -1);
    EXPECT_TRUE(log_.contains("[WARN]: Failed to write enable to file /buffer/enable"));
    EXPECT_EQ(read("scan_elements/in_accel_z_en"), "1");

    unlink((dir_ + "/in_accel_x_scale").c_str());
    EXPECT_EQ(acc_init(fifo_.c_str(), dir_.c_str(), 1), -1);
}

TEST(Settings, OutOfRangeIndicesFallBackToTheirDefaults) {
    LogCapture log;
    global_config = cfg_default_config();
    global_config.luminance = 4;
    global_config.reticle_source = -1;
    global_config.reticle_color = 7;
    global_config.nuc_type = 3;
    global_config.enc_type = 3;
    ac_check_settings();
    EXPECT_EQ(global_config.luminance, 0);
    EXPECT_EQ(global_config.reticle_source, 0);
    EXPECT_EQ(global_config.reticle_color, 0);
    EXPECT_EQ(global_config.nuc_type, 3);
    EXPECT_EQ(global_config.enc_type, 0);
    EXPECT_TRUE(log.contains("[WARN]: Setting luminance=4 is out of range [0 - 3], using 0"));
    EXPECT_FALSE(log.contains("nuc_type"));
    global_config = cfg_default_config();
}

}  // namespace
