// The host camera (live pace, format, following the core's zoom, origin, PIP and NUC as the
// mrvac stand-in leaves them) and the framebuffer sink (last sample, no framebuffer).
#include <gst/video/video.h>

#include <cstring>
#include <fstream>

#include "test_imx_support.h"

using namespace test_support;

namespace {

constexpr int kWidth = 640;
constexpr int kHeight = 480;
// The core's PIP inset: 160 x 120 at the top centre, 8 rows down.
constexpr int kPipX = 240;
constexpr int kPipY = 8;
constexpr int kPipWidth = 160;
constexpr int kPipHeight = 120;

using Frame = std::vector<guint8>;

std::string mrvac(const std::string &args) {
    return std::string(MRVAC) + " " + args + " 2>/dev/null";
}

Frame gray(const Sample &sample) {
    Mapped map(sample.get());
    EXPECT_TRUE(map.ok());
    EXPECT_EQ(map.size(), (gsize)kWidth * kHeight);
    return map.bytes();
}

// Pulls pictures until one differs from `from` (the camera has taken up a new core state).
Frame next_different(Pipeline &p, const Frame &from) {
    for (int i = 0; i < 60; i++) {
        Sample s = p.pull(2000);
        if (!s) {
            break;
        }
        Frame f = gray(s);
        if (f != from) {
            return f;
        }
    }
    ADD_FAILURE() << "the picture did not change";
    return from;
}

guint8 at(const Frame &f, int x, int y) {
    return f[(size_t)y * kWidth + x];
}

// Zooming by `z` about an origin whose coordinates are multiples of z keeps the origin's scene
// point in place and spreads its neighbours z pixels apart.
void expect_zoomed(const Frame &zoomed, const Frame &plain, int ox, int oy, int z) {
    int mismatches = 0;
    for (int ky = -20; ky <= 20; ky++) {
        for (int kx = -20; kx <= 20; kx++) {
            int x = ox + z * kx, y = oy + z * ky;
            if (x < 0 || y < 0 || x >= kWidth || y >= kHeight) {
                continue;
            }
            mismatches += at(zoomed, x, y) != at(plain, ox + kx, oy + ky);
        }
    }
    EXPECT_EQ(mismatches, 0) << "zoom " << z << " about " << ox << "," << oy;
    EXPECT_EQ(at(zoomed, ox, oy), at(plain, ox, oy));
}

TEST(Camera, DeliversLive640x480At30FramesPerSecond) {
    TempDir root("camera");
    SysrootEnv env(root.path());
    Pipeline p("imxv4l2videosrc name=cam ! appsink name=out sync=false max-buffers=64");
    ASSERT_TRUE(p.ok());
    // The source pipeline's settings, with the types it sets them with.
    g_object_set(p.element("cam").get(), "device", "/dev/video0", "imx-capture-mode", 0,
                 "queue-size", 10, NULL);
    EXPECT_EQ(gst_element_set_state(p.get(), GST_STATE_PAUSED), GST_STATE_CHANGE_NO_PREROLL);
    p.play();

    Sample first = p.pull();
    ASSERT_TRUE(first);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(caps_int(first.get(), "width"), kWidth);
    EXPECT_EQ(caps_int(first.get(), "height"), kHeight);
    int num = 0, den = 0;
    gst_structure_get_fraction(gst_caps_get_structure(gst_sample_get_caps(first.get()), 0),
                               "framerate", &num, &den);
    EXPECT_EQ(num, 30);
    EXPECT_EQ(den, 1);

    GstClockTime previous = GST_BUFFER_PTS(gst_sample_get_buffer(first.get()));
    for (int i = 0; i < 30; i++) {
        Sample s = p.pull();
        ASSERT_TRUE(s);
        GstClockTime pts = GST_BUFFER_PTS(gst_sample_get_buffer(s.get()));
        EXPECT_NEAR((double)(pts - previous), GST_SECOND / 30.0, 2.0);
        previous = pts;
    }
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(elapsed, 0.85);  // paced by the clock, not as fast as pictures can be made
    EXPECT_LT(elapsed, 1.4);
    p.expect_no_error();
}

TEST(Camera, RefusesCaptureModesTheCoreLacks) {
    Pipeline p("imxv4l2videosrc imx-capture-mode=3 ! fakesink");
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p.play(), GST_STATE_CHANGE_FAILURE);
    EXPECT_NE(p.wait_error(1000).find("Capture mode 3"), std::string::npos);
}

TEST(Camera, FollowsZoomOriginAndPipOfTheCore) {
    TempDir root("camera");
    SysrootEnv env(root.path());
    ASSERT_EQ(run(mrvac("origin 300 200")), 0);
    Pipeline p(
        "imxv4l2videosrc animate=false ! video/x-raw,format=GRAY8 ! "
        "appsink name=out sync=false max-buffers=2 drop=true");
    ASSERT_TRUE(p.ok());
    p.play();
    Sample s = p.pull();
    ASSERT_TRUE(s);
    Frame plain = gray(s);

    ASSERT_EQ(run(mrvac("zoom 2")), 0);
    Frame x2 = next_different(p, plain);
    expect_zoomed(x2, plain, 300, 200, 2);

    ASSERT_EQ(run(mrvac("zoom 4")), 0);
    Frame x4 = next_different(p, x2);
    expect_zoomed(x4, plain, 300, 200, 4);

    // A new origin while zoomed: the core zooms about it at once.
    ASSERT_EQ(run(mrvac("origin 452 344")), 0);
    Frame moved = next_different(p, x4);
    expect_zoomed(moved, plain, 452, 344, 4);

    // Back at zoom 1 the picture is the plain one again, whatever the origin.
    ASSERT_EQ(run(mrvac("zoom 1")), 0);
    EXPECT_EQ(next_different(p, moved), plain);

    // PIP 4: an inset at the top centre shows the origin's surroundings magnified 4 times;
    // the rest of the picture stays as it was.
    ASSERT_EQ(run(mrvac("origin 300 200")), 0);
    ASSERT_EQ(run(mrvac("pip 4")), 0);
    Frame pip = next_different(p, plain);
    int cx = kPipX + kPipWidth / 2, cy = kPipY + kPipHeight / 2;
    int mismatches = 0;
    for (int ky = -15; ky < 15; ky++) {
        for (int kx = -20; kx < 20; kx++) {
            mismatches += at(pip, cx + 4 * kx, cy + 4 * ky) != at(plain, 300 + kx, 200 + ky);
        }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(at(pip, kPipX - 1, kPipY + 20), 255);  // the inset's frame
    EXPECT_EQ(at(pip, kPipX + kPipWidth, kPipY + 20), 255);
    EXPECT_EQ(at(pip, 20, 400), at(plain, 20, 400));
    EXPECT_EQ(at(pip, 600, 300), at(plain, 600, 300));

    ASSERT_EQ(run(mrvac("pip 0")), 0);
    EXPECT_EQ(next_different(p, pip), plain);

    // A failed command leaves the core as it was.
    { std::ofstream(root.path() + "/var/lib/mrvac/fail") << "4 zoom 2\n"; }
    EXPECT_EQ(run(mrvac("zoom 2")), 4);
    for (int i = 0; i < 5; i++) {
        Sample again = p.pull();
        ASSERT_TRUE(again);
        EXPECT_EQ(gray(again), plain);
    }
    p.expect_no_error();
}

TEST(Camera, PictureFreezesWhileTheShutterIsClosedForAFastNuc) {
    TempDir root("camera");
    SysrootEnv env(root.path());
    Pipeline p(
        "imxv4l2videosrc ! video/x-raw,format=GRAY8 ! appsink name=out sync=false max-buffers=64");
    ASSERT_TRUE(p.ok());
    p.play();
    Frame previous = gray(p.pull());
    for (int i = 0; i < 5; i++) {  // sensor noise: no two pictures are alike
        Frame f = gray(p.pull());
        EXPECT_NE(f, previous);
        previous = f;
    }
    ASSERT_EQ(run(mrvac("fast-nuc")), 0);
    int longest = 0, run_length = 0;
    for (int i = 0; i < 45; i++) {
        Frame f = gray(p.pull());
        run_length = f == previous ? run_length + 1 : 0;
        longest = std::max(longest, run_length);
        previous = f;
    }
    EXPECT_GE(longest, 8);
    EXPECT_NE(gray(p.pull()), previous);  // and moves again afterwards
}

TEST(DisplaySink, KeepsTheLastSampleAndDiscardsWithoutAFramebuffer) {
    TempDir dir("sink");
    // Not a framebuffer device: the sink must leave it alone and discard the pictures.
    std::string not_fb = dir.file("fb0");
    { std::ofstream(not_fb) << "untouched"; }
    for (const std::string &framebuffer : {not_fb, dir.file("missing")}) {
        Pipeline p(
            "imxv4l2videosrc ! imxg2dvideotransform ! "
            "video/x-raw,width=1024,height=768,framerate=30/1,format=RGBA ! "
            "imxipuvideosink name=sink");
        ASSERT_TRUE(p.ok());
        Ref<GstElement> sink = p.element("sink");
        g_object_set(sink.get(), "sync", FALSE, "async", FALSE, "use-vsync", TRUE, "framebuffer",
                     framebuffer.c_str(), NULL);
        EXPECT_NE(p.play(), GST_STATE_CHANGE_FAILURE);

        auto last_sample = [&]() {
            GstSample *s = nullptr;
            for (int i = 0; i < 60 && !s; i++) {
                g_object_get(sink.get(), "last-sample", &s, NULL);
                if (!s) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(50));
                }
            }
            return Sample(s);
        };
        Sample first = last_sample();
        ASSERT_TRUE(first);
        EXPECT_EQ(caps_int(first.get(), "width"), 1024);
        EXPECT_EQ(caps_int(first.get(), "height"), 768);
        EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(first.get())), 1024u * 768 * 4);

        // What a snapshot does with it: convert to JPEG.
        GstCaps *jpeg = gst_caps_from_string("image/jpeg");
        GError *error = nullptr;
        Sample converted(gst_video_convert_sample(first.get(), jpeg, GST_CLOCK_TIME_NONE, &error));
        gst_caps_unref(jpeg);
        ASSERT_TRUE(converted) << (error ? error->message : "");
        Mapped map(converted.get());
        ASSERT_TRUE(map.ok());
        ASSERT_GT(map.size(), 1000u);
        EXPECT_EQ(map.data()[0], 0xff);
        EXPECT_EQ(map.data()[1], 0xd8);

        // The sample follows the stream.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        Sample later = last_sample();
        ASSERT_TRUE(later);
        EXPECT_GT(GST_BUFFER_PTS(gst_sample_get_buffer(later.get())),
                  GST_BUFFER_PTS(gst_sample_get_buffer(first.get())));
        p.expect_no_error();
    }
    std::ifstream in(not_fb);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "untouched");
}

// Seconds until the pipeline's end of stream, or -1 on an error or after 10 s.
double seconds_to_eos(Pipeline &p) {
    auto start = std::chrono::steady_clock::now();
    p.play();
    Ref<GstBus> bus(gst_element_get_bus(p.get()));
    GstMessage *msg = gst_bus_timed_pop_filtered(
        bus.get(), 10 * GST_SECOND, (GstMessageType)(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    bool eos = msg && GST_MESSAGE_TYPE(msg) == GST_MESSAGE_EOS;
    if (msg) {
        gst_message_unref(msg);
    }
    return eos ? elapsed : -1.0;
}

TEST(DisplaySink, VsyncPacesAStillPictureSourceAtTheRefreshRate) {
    // The splash pipeline: a picture that is not live, shown with "sync" off and "use-vsync".
    const char *launch =
        "videotestsrc num-buffers=30 ! video/x-raw,format=RGBA,width=320,height=240 ! "
        "imxipuvideosink name=sink sync=false async=false framebuffer=/nonexistent/fb0";
    Pipeline paced(launch);
    ASSERT_TRUE(paced.ok());
    g_object_set(paced.element("sink").get(), "use-vsync", TRUE, NULL);
    double seconds = seconds_to_eos(paced);
    EXPECT_GT(seconds, 0.45);  // 30 pictures at 60 Hz
    EXPECT_LT(seconds, 1.5);

    Pipeline free_running(launch);
    ASSERT_TRUE(free_running.ok());
    seconds = seconds_to_eos(free_running);
    EXPECT_GE(seconds, 0.0);
    EXPECT_LT(seconds, 0.3);
}

TEST(IpuTransform, FollowsACapsChangeWhilePlaying) {
    // The transformer starts with I420; an encoder built later switches it to NV12.
    Pipeline p(
        "imxv4l2videosrc ! imxg2dvideotransform ! "
        "video/x-raw,width=1024,height=768,framerate=30/1,format=RGBA ! imxipuvideotransform ! "
        "capsfilter name=ipu caps=video/x-raw,width=1024,height=768,framerate=30/1,format=I420 ! "
        "appsink name=out sync=false max-buffers=4 drop=true");
    ASSERT_TRUE(p.ok());
    p.play();
    auto format_of = [](const Sample &s) {
        GstVideoInfo info;
        gst_video_info_from_caps(&info, gst_sample_get_caps(s.get()));
        return GST_VIDEO_INFO_FORMAT(&info);
    };
    Sample first = p.pull();
    ASSERT_TRUE(first);
    EXPECT_EQ(format_of(first), GST_VIDEO_FORMAT_I420);
    EXPECT_EQ(caps_int(first.get(), "width"), 1024);

    GstCaps *nv12 =
        gst_caps_from_string("video/x-raw,width=1024,height=768,framerate=30/1,format=NV12");
    g_object_set(p.element("ipu").get(), "caps", nv12, NULL);
    gst_caps_unref(nv12);
    bool switched = false;
    for (int i = 0; i < 30 && !switched; i++) {
        Sample s = p.pull();
        ASSERT_TRUE(s);
        switched = format_of(s) == GST_VIDEO_FORMAT_NV12;
        if (switched) {
            EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(s.get())), 1024u * 768 * 3 / 2);
        }
    }
    EXPECT_TRUE(switched);
    p.expect_no_error();
}

}  // namespace

int main(int argc, char **argv) {
    gst_init(&argc, &argv);
    make_warnings_fatal();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
