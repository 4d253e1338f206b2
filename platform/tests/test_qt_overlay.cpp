// The Qt overlay element with the sight's overlay document: what the daemon's attribute texts
// draw, "disable", texts that name nothing, and the blending itself. Run under scripts/host-run,
// which gives the element its X server.
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "blend.h"
#include "overlay_harness.h"

using namespace test_support;

namespace {

Frame flat(guint8 grey) {
    Frame f((size_t)kWidth * kHeight * 4, grey);
    for (size_t i = 3; i < f.size(); i += 4) {
        f[i] = 255;
    }
    return f;
}

bool is_red(Rgb p) {
    return p.r > 200 && p.g < 60 && p.b < 60;
}

// The overlay between an appsrc and an appsink. Rendering runs beside the stream, so a change
// shows in a later frame: `until` pushes frames until one satisfies the check.
class Overlay : public OverlayPipeline {
public:
    using OverlayPipeline::OverlayPipeline;

    Frame until(const Frame &input, const std::function<bool(const Frame &)> &check) {
        Frame out;
        for (int i = 0; i < 150; i++) {
            out = run(input);
            if (check(out)) {
                return out;
            }
            g_usleep(20000);
        }
        ADD_FAILURE() << "the overlay did not show the change";
        if (const char *dump = g_getenv("QT_OVERLAY_TEST_DUMP")) {
            std::ofstream ppm(std::string(dump) + "/" + std::to_string(frames()) + ".ppm");
            ppm << "P6 " << kWidth << " " << kHeight << " 255\n";
            for (size_t i = 0; i < out.size(); i += 4) {
                ppm.write(reinterpret_cast<const char *>(&out[i]), 3);
            }
        }
        return out;
    }
};

// A sysroot with the sight's overlay document and reticles, as scripts/host-sysroot lays it.
class QtOverlayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(run("'" MRVDC_REPO "/scripts/host-sysroot' '" + root_.path() + "' >/dev/null"),
                  0);
    }
    std::string log() const {
        std::ifstream in(root_.path() + "/var/log/overlay.log");
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    TempDir root_{"qt-overlay"};
    SysrootEnv env_{root_.path()};
    std::string qml_ = root_.path() + "/opt/us/osd_us/qml/main.qml";
};

// The daemon's texts, as it formats them.
std::string reticle(const std::string &json) {
    return "ReticleMenu.retProfParam:" + json;
}
std::string geometry(double x, double y, double rd_x, double rd_y, double w, double h) {
    gchar *value = g_strdup_printf(
        "{\"X\": %f,\"Y\": %f, \"RD_X\": %f,\"RD_Y\": %f,\"WIDTH\": %f,\"HEIGHT\": %f}", x, y, rd_x,
        rd_y, w, h);
    std::string text = reticle(value);
    g_free(value);
    return text;
}
std::string icon(const char *key, int value) {
    return std::string("OffMenu.offMenuParams:{\"KEY\": \"") + key +
           "\" , \"VAL\": " + std::to_string(value) + "}";
}

// The circle reticle: a ring of radius 120 about the image centre, 3 pixels wide at 370 x 370.
const char *kCircle = "{\"SRC\": \"/opt/us/Reticles/CircleReticle.svg\"}";

TEST_F(QtOverlayTest, EveryMessageOfTheDaemonIsTakenWithoutAWarning) {
    Overlay ov(qml_);
    ov.pipeline().play();
    Frame in = flat(128);
    for (const std::string &text :
         {reticle("{\"STATE\": 1}"), geometry(512, 384, 697, 569, 370, 370),
          reticle("{\"Z_OFFSET_X\": 3,\"Z_OFFSET_Y\": -3}"),
          reticle("{\"COLOR_HEX\": \"#cc2c24\"}"), reticle("{\"BRIGHT_VAL\": \"0.500000\"}"),
          reticle(kCircle), reticle("{\"RD_STATE\": 1}"), icon("LUM", 4), icon("LUM", 0),
          icon("AUTO_NUC_ALRT", 0), icon("ZOOM", 2), icon("PIP_ZOOM", 1), icon("PIP_ZOOM", 2),
          std::string("FtrMenu.pipSt:1"), std::string("FtrMenu.lvlSt:1"),
          std::string("FtrMenu.pipSt:0"), std::string("FtrMenu.lvlSt:0")}) {
        ov.set(text);
    }
    ov.until(in, [](const Frame &f) { return is_red(pixel(f, 697, 569)); });
    EXPECT_EQ(ov.warnings(), std::vector<std::string>{});
    EXPECT_NE(log().find("FtrMenu.lvlSt:0\n"), std::string::npos);
}

TEST_F(QtOverlayTest, ReticleAndRedDotAreDrawnWhereTheGeometryPutsThem) {
    Overlay ov(qml_);
    ov.pipeline().play();
    Frame in = flat(128);
    ov.set(reticle(kCircle));
    ov.set(reticle("{\"COLOR_HEX\": \"#ffffff\"}"));
    ov.set(geometry(512, 384, 697, 569, 370, 370));
    ov.set(reticle("{\"RD_STATE\": 1}"));
    // Ring at the reticle centre (697, 569) + 120 on x; red dot on the aim point.
    Frame out = ov.until(in, [](const Frame &f) {
        return is_red(pixel(f, 697, 569)) && pixel(f, 817, 569).g > 240;
    });
    EXPECT_EQ(pixel(out, 697, 560).g, 128);  // the dot is small
    EXPECT_EQ(pixel(out, 757, 569).g, 128);  // inside the ring, between the circles

    // Zoom x2 geometry: everything moves, the ring doubles.
    ov.set(geometry(323.4, 197.4, 693.4, 567.4, 740, 740));
    out = ov.until(in, [](const Frame &f) {
        return is_red(pixel(f, 693, 567)) && !is_red(pixel(f, 697, 569 + 6)) &&
               pixel(f, 693 + 240, 567).g > 240;
    });
    EXPECT_EQ(pixel(out, 817, 569).g, 128);  // the old ring is gone

    // Colour and opacity apply to the reticle's pixels only; keys left out are kept.
    ov.set(reticle("{\"COLOR_HEX\": \"#0089b6\"}"));
    ov.set(reticle("{\"BRIGHT_VAL\": \"0.500000\"}"));
    // Wait for both: the colour alone gives b = 182, the opacity alone b = 191.
    out = ov.until(in, [](const Frame &f) { return pixel(f, 693 + 240, 567).b < 170; });
    Rgb ring = pixel(out, 693 + 240, 567);
    EXPECT_NEAR(ring.r, (0x00 + 128) / 2, 4);
    EXPECT_NEAR(ring.g, (0x89 + 128) / 2, 4);
    EXPECT_NEAR(ring.b, (0xb6 + 128) / 2, 4);
    EXPECT_TRUE(is_red(pixel(out, 693, 567)));

    ov.set(reticle("{\"RD_STATE\": 0}"));
    ov.set(reticle("{\"STATE\": 0}"));
    out = ov.until(in, [](const Frame &f) { return pixel(f, 693 + 240, 567).g == 128; });
    EXPECT_EQ(pixel(out, 693, 567).r, 128);
    EXPECT_EQ(ov.warnings(), std::vector<std::string>{});
}

TEST_F(QtOverlayTest, IndicationsPipAndDisable) {
    Overlay ov(qml_);
    ov.pipeline().play();
    Frame in = flat(128);
    // The indication bar (green frame at the bottom centre) shows after an icon message.
    auto bar_shown = [](const Frame &f) {
        for (int y = 700; y < 768; y++) {
            Rgb p = pixel(f, 512, y);
            if (p.g > 200 && p.r < 100) {
                return true;
            }
        }
        return false;
    };
    ASSERT_FALSE(bar_shown(ov.run(in)));
    ov.set(icon("ZOOM", 1));
    Frame out = ov.until(in, bar_shown);

    // The PIP inset's frame: 3 pixels outside the camera core's inset at (384, 12.8).
    ov.set("FtrMenu.pipSt:1");
    out = ov.until(in, [](const Frame &f) { return pixel(f, 381, 100).g > 200; });

    ov.disable(true);
    EXPECT_EQ(ov.run(in), in);
    ov.disable(false);
    EXPECT_GT(pixel(ov.run(in), 381, 100).g, 200);
    ov.set("FtrMenu.pipSt:0");
    ov.until(in, [](const Frame &f) { return pixel(f, 381, 100).g == 128; });
    EXPECT_EQ(ov.warnings(), std::vector<std::string>{});
}

TEST_F(QtOverlayTest, TextsThatNameNothingWarnAndChangeNothing) {
    Overlay ov(qml_);
    ov.pipeline().play();
    Frame in = flat(128);
    ov.set(reticle("{\"RD_STATE\": 1}"));
    ov.set(geometry(512, 384, 400, 300, 370, 370));
    Frame before = ov.until(in, [](const Frame &f) { return is_red(pixel(f, 400, 300)); });
    const std::vector<std::string> bad = {
        "no separators", "NoSuchMenu.pipSt:1", "FtrMenu.noSuch:1", "ReticleMenu.objectName.x:1",
        "FtrMenu.pipSt", "OffMenu.width:wide",
    };
    for (const auto &text : bad) {
        ov.set(text);
    }
    for (int i = 0; i < 200 && ov.warnings().size() < bad.size(); i++) {
        g_usleep(10000);  // they are applied beside the stream
    }
    ov.set(reticle("{\"STATE\": 1}"));  // one more change, so that a new render follows
    g_usleep(300000);
    EXPECT_EQ(ov.run(in), before);
    std::string recorded = log();
    for (const auto &text : bad) {
        EXPECT_NE(recorded.find(text + "\n"), std::string::npos) << text;
    }
}

TEST(QtOverlayBlend, PremultipliedOverInTheFramesOwnLayout) {
    // Two pixels: opaque red, half-transparent white (premultiplied), rest transparent.
    std::vector<uint8_t> rgba(4 * 4, 0);
    const uint8_t red[4] = {255, 0, 0, 255}, half_white[4] = {128, 128, 128, 128};
    std::copy(red, red + 4, &rgba[4]);
    std::copy(half_white, half_white + 4, &rgba[8]);
    OverlayImage image(4, 1, rgba);
    EXPECT_EQ(image.spans[0].first, 1);
    EXPECT_EQ(image.spans[0].end, 3);

    // BGRx: no alpha channel to write; red lands in byte 2.
    std::vector<uint8_t> bgrx(4 * 4, 100);
    blend_overlay(image, bgrx.data(), 16, 4, 1, {2, 1, 0, -1});
    EXPECT_EQ(std::vector<uint8_t>(bgrx.begin(), bgrx.begin() + 4),
              (std::vector<uint8_t>{100, 100, 100, 100}));
    EXPECT_EQ(std::vector<uint8_t>(bgrx.begin() + 4, bgrx.begin() + 8),
              (std::vector<uint8_t>{0, 0, 255, 100}));
    EXPECT_EQ(bgrx[8], 128 + 50);  // 128 + 100 * 127 / 255
    EXPECT_EQ(bgrx[11], 100);

    // RGBA over a half-transparent frame: the frame's alpha is composed too; clipped width.
    std::vector<uint8_t> frame(2 * 4, 0);
    frame[3] = frame[7] = 128;
    blend_overlay(image, frame.data(), 8, 2, 1, {0, 1, 2, 3});
    EXPECT_EQ(frame[3], 128);
    EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 4, frame.end()),
              (std::vector<uint8_t>{255, 0, 0, 255}));
}

}  // namespace

int main(int argc, char **argv) {
    gst_init(&argc, &argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
