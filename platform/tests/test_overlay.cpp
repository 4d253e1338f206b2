// The host overlay element: what the daemon's attribute texts draw, "disable", texts it does
// not understand, the document check and the record of every text in overlay.log.
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "overlay_harness.h"

using namespace test_support;

namespace {

// Input pictures: a grey ramp, so that an unchanged output is told from a blank one.
Frame ramp() {
    Frame f((size_t)kWidth * kHeight * 4);
    for (int y = 0; y < kHeight; y++) {
        for (int x = 0; x < kWidth; x++) {
            guint8 v = (guint8)(60 + (x + y) % 80);
            guint8 *p = &f[((size_t)y * kWidth + x) * 4];
            p[0] = p[1] = p[2] = v;
            p[3] = 255;
        }
    }
    return f;
}

bool same_region(const Frame &a, const Frame &b, int x0, int y0, int x1, int y1) {
    for (int y = y0; y < y1; y++) {
        for (int x = x0; x < x1; x++) {
            for (int c = 0; c < 3; c++) {
                if (a[((size_t)y * kWidth + x) * 4 + c] != b[((size_t)y * kWidth + x) * 4 + c]) {
                    return false;
                }
            }
        }
    }
    return true;
}

using Overlay = OverlayPipeline;

// A sysroot with the document and a reticle that fills its image with solid black.
class OverlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_mkdir_with_parents((root_.path() + "/var/log").c_str(), 0755);
        g_mkdir_with_parents((root_.path() + "/opt/us/Reticles").c_str(), 0755);
        g_mkdir_with_parents((root_.path() + "/opt/us/osd_us/qml").c_str(), 0755);
        std::ofstream(qml_) << "import QtQuick 2.0\nItem {}\n";
        std::ofstream(root_.path() + "/opt/us/Reticles/Square.svg")
            << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"100\" "
               "viewBox=\"0 0 100 100\"><rect width=\"100\" height=\"100\" fill=\"#000\"/></svg>";
    }
    std::string log() const {
        std::ifstream in(root_.path() + "/var/log/overlay.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    TempDir root_{"overlay"};
    SysrootEnv env_{root_.path()};
    std::string qml_ = root_.path() + "/opt/us/osd_us/qml/main.qml";
};

// The daemon's reticle geometry text.
std::string geometry(double x, double y, double rd_x, double rd_y, double w, double h) {
    gchar *value = g_strdup_printf(
        "{\"X\": %f,\"Y\": %f, \"RD_X\": %f,\"RD_Y\": %f,\"WIDTH\": %f,\"HEIGHT\": %f}", x, y, rd_x,
        rd_y, w, h);
    std::string text = std::string("ReticleMenu.retProfParam:") + value;
    g_free(value);
    return text;
}

TEST_F(OverlayTest, RedDotFollowsItsPositionAndState) {
    Overlay ov(qml_);
    ov.pipeline().play();
    Frame in = ramp();
    ov.set(geometry(512, 384, 300, 200, 370, 370));
    ov.set("ReticleMenu.retProfParam:{\"RD_STATE\": 1}");
    Frame out = ov.run(in);
    Rgb dot = pixel(out, 300, 200);
    EXPECT_EQ(dot.r, 255);
    EXPECT_EQ(dot.g, 0);
    EXPECT_EQ(dot.b, 0);
    EXPECT_TRUE(same_region(out, in, 310, 190, 340, 210));  // a small dot, nothing around it

    ov.set(geometry(512, 384, 693.4, 567.4, 740, 740));
    out = ov.run(in);
    EXPECT_EQ(pixel(out, 693, 567).r, 255);
    EXPECT_EQ(pixel(out, 693, 567).g, 0);
    EXPECT_TRUE(same_region(out, in, 290, 190, 310, 210));  // gone from the old place

    ov.set("ReticleMenu.retProfParam:{\"RD_STATE\": 0}");
    out = ov.run(in);
    EXPECT_TRUE(same_region(out, in, 680, 555, 705, 580));
    EXPECT_EQ(ov.warnings().size(), 0u);
}

TEST_F(OverlayTest, ReticleIsDrawnTintedAtItsPlaceAndSizeFromTheSysroot) {
    Overlay ov(qml_);
    ov.pipeline().play();
    Frame in(ramp().size());
    for (size_t i = 0; i < in.size(); i++) {
        in[i] = i % 4 == 3 ? 255 : 100;  // flat grey
    }
    ov.set("ReticleMenu.retProfParam:{\"SRC\": \"/opt/us/Reticles/Square.svg\"}");
    ov.set(geometry(100, 150, 0, 0, 200, 200));
    ov.set("ReticleMenu.retProfParam:{\"COLOR_HEX\": \"#00ff00\"}");
    ov.set("ReticleMenu.retProfParam:{\"BRIGHT_VAL\": \"0.500000\"}");
    ov.set("ReticleMenu.retProfParam:{\"STATE\": 1}");
    Frame out = ov.run(in);
    for (auto [x, y] : {std::pair{101, 151}, {200, 250}, {298, 348}}) {
        Rgb p = pixel(out, x, y);
        EXPECT_NEAR(p.r, 50, 2) << x << "," << y;  // half green over half the grey
        EXPECT_NEAR(p.g, 178, 2) << x << "," << y;
        EXPECT_NEAR(p.b, 50, 2) << x << "," << y;
    }
    EXPECT_TRUE(same_region(out, in, 40, 150, 98, 350));    // left of it
    EXPECT_TRUE(same_region(out, in, 302, 150, 700, 350));  // right of it
    EXPECT_TRUE(same_region(out, in, 100, 352, 300, 500));  // below it

    ov.set("ReticleMenu.retProfParam:{\"STATE\": 0}");
    EXPECT_TRUE(same_region(ov.run(in), in, 100, 150, 300, 350));
    ov.set("ReticleMenu.retProfParam:{\"STATE\": 1}");
    EXPECT_EQ(pixel(ov.run(in), 200, 250).g, pixel(out, 200, 250).g);
    EXPECT_EQ(ov.warnings().size(), 0u);

    // An image that cannot be found is reported and nothing is drawn in its place.
    ov.set("ReticleMenu.retProfParam:{\"SRC\": \"/opt/us/Reticles/Missing.svg\"}");
    EXPECT_TRUE(same_region(ov.run(in), in, 100, 150, 300, 350));
    EXPECT_EQ(ov.warnings().size(), 1u);
}

TEST_F(OverlayTest, DisablePassesThePictureThroughUntouched) {
    Overlay ov(qml_);
    ov.pipeline().play();
    Frame in = ramp();
    ov.set("ReticleMenu.retProfParam:{\"SRC\": \"/opt/us/Reticles/Square.svg\"}");
    ov.set(geometry(300, 200, 500, 400, 100, 100));
    ov.set("ReticleMenu.retProfParam:{\"RD_STATE\": 1}");
    ov.set("FtrMenu.pipSt:1");
    Frame drawn = ov.run(in);
    ASSERT_NE(drawn, in);
    ov.disable(true);
    EXPECT_EQ(ov.run(in), in);
    ov.disable(false);
    EXPECT_EQ(ov.run(in), drawn);
}

TEST_F(OverlayTest, TextsItDoesNotUnderstandChangeNothingAndEveryTextIsRecorded) {
    Overlay ov(qml_);
    ov.pipeline().play();
    Frame in = ramp();
    const std::vector<std::string> good = {
        geometry(512, 384, 400, 300, 370, 370),
        "ReticleMenu.retProfParam:{\"RD_STATE\": 1}",
        "FtrMenu.pipSt:1",
    };
    for (const auto &text : good) {
        ov.set(text);
    }
    Frame before = ov.run(in);
    ASSERT_EQ(ov.warnings().size(), 0u);

    const std::vector<std::string> bad = {
        "",
        "no separators",
        "ReticleMenu.retProfParam",
        "ReticleMenu.retProfParam:{\"RD_X\": 10.0",
        "ReticleMenu.retProfParam:[10, 20]",
        "ReticleMenu.retProfParam:{\"RD_X\": 10.0,\"BOGUS\": 1}",  // all or nothing
        "ReticleMenu.retProfParam:{\"RD_X\": \"ten\"}",
        "ReticleMenu.retProfParam:{\"COLOR_HEX\": \"#12345\"}",
        "ReticleMenu.retProfParam:{\"RD_STATE\": \"0\"}",
        "OffMenu.offMenuParams:{\"KEY\": \"LUM\", \"VAL\": 5}",
        "OffMenu.offMenuParams:{\"KEY\": \"FOCUS\" , \"VAL\": 0}",
        "OffMenu.offMenuParams:{\"KEY\": \"ZOOM\"}",
        "FtrMenu.pipSt:2",
        "ReticleMenu.pipSt:0",
        "NoSuchMenu.pipSt:0",
    };
    for (const auto &text : bad) {
        ov.set(text);
        EXPECT_EQ(ov.warnings().size(), 1u) << text;
    }
    EXPECT_EQ(ov.run(in), before);

    std::string expected;
    for (const auto &text : good) {
        expected += text + "\n";
    }
    for (const auto &text : bad) {
        expected += text + "\n";
    }
    EXPECT_EQ(log(), expected);
}

TEST_F(OverlayTest, IndicationsTheDaemonSendsAreDrawn) {
    Overlay ov(qml_);
    ov.pipeline().play();
    Frame in = ramp();
    Frame plain = ov.run(in);
    // The daemon's exact texts, blanks included.
    ov.set("OffMenu.offMenuParams:{\"KEY\": \"ZOOM\" , \"VAL\": 2}");
    Frame zoomed = ov.run(in);
    EXPECT_FALSE(same_region(zoomed, plain, 950, 10, 1024, 50));  // the zoom label
    EXPECT_TRUE(same_region(zoomed, plain, 0, 60, 1024, 700));

    ov.set("OffMenu.offMenuParams:{\"KEY\": \"LUM\", \"VAL\": 4}");
    Frame bright = ov.run(in);
    EXPECT_FALSE(same_region(bright, zoomed, 50, 715, 120, 750));  // the brightness bars

    ov.set("FtrMenu.pipSt:1");
    ov.set("OffMenu.offMenuParams:{\"KEY\": \"PIP_ZOOM\" , \"VAL\": 1}");
    ov.set("ReticleMenu.retProfParam:{\"Z_OFFSET_X\": 0,\"Z_OFFSET_Y\": 0}");
    Frame pip = ov.run(in);
    EXPECT_FALSE(same_region(pip, bright, 380, 8, 645, 12));  // the inset's marker
    ov.set("FtrMenu.pipSt:0");
    EXPECT_EQ(ov.run(in), bright);

    ov.set("OffMenu.offMenuParams:{\"KEY\": \"AUTO_NUC_ALRT\" , \"VAL\": 0}");
    EXPECT_FALSE(same_region(ov.run(in), bright, 20, 10, 80, 50));  // NUC, for a while
    ov.set("FtrMenu.lvlSt:1");
    EXPECT_FALSE(same_region(ov.run(in), bright, 400, 700, 620, 730));
    EXPECT_EQ(ov.warnings().size(), 0u);
}

TEST_F(OverlayTest, RefusesToStartWithoutAnExistingDocument) {
    for (const std::string &qml : {root_.path() + "/opt/us/osd_us/qml/absent.qml", std::string()}) {
        Overlay ov(qml);
        if (qml.empty()) {
            g_object_set(ov.element(), "qml", NULL, NULL);
        }
        EXPECT_EQ(ov.pipeline().play(), GST_STATE_CHANGE_FAILURE);
        std::string error = ov.pipeline().wait_error(1000);
        EXPECT_FALSE(error.empty());
        if (!qml.empty()) {
            EXPECT_NE(error.find(qml), std::string::npos) << error;
        }
    }
}

}  // namespace

int main(int argc, char **argv) {
    gst_init(&argc, &argv);
    make_warnings_fatal();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
