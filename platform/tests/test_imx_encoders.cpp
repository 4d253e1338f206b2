// The host H.264 and MP3 encoders with the settings the record, stream and audio branches
// use: the output parses, key pictures come at the GOP size, the bitrate meets the setting.
#include "test_imx_support.h"

using namespace test_support;

namespace {

struct H264Settings {
    int bitrate;
    int gop_size;
    int idr_interval;  // < 0: left at the encoder's default, as the record branch does
    int me_search_range;
    const char *stream_format;
    int frames;
};

struct Encoded {
    std::vector<bool> key;          // per picture: not a delta unit
    std::vector<bool> has_idr;      // per picture: holds an IDR slice
    std::vector<bool> has_non_idr;  // per picture: holds a non-IDR slice
    size_t bytes = 0;
    GstClockTime duration = 0;
    GstClockTime first_pts = GST_CLOCK_TIME_NONE;
    std::string caps;
};

// NAL unit types of a picture, for byte-stream (start codes) and AVC (4-byte lengths).
void scan_nal_types(const guint8 *data, size_t size, bool avc, bool *idr, bool *non_idr) {
    auto note = [&](guint8 header) {
        int type = header & 0x1f;
        *idr = *idr || type == 5;
        *non_idr = *non_idr || type == 1;
    };
    if (avc) {
        for (size_t i = 0; i + 4 < size;) {
            size_t len = (size_t)data[i] << 24 | data[i + 1] << 16 | data[i + 2] << 8 | data[i + 3];
            note(data[i + 4]);
            i += 4 + len;
        }
        return;
    }
    for (size_t i = 0; i + 3 < size; i++) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) {
            note(data[i + 3]);
            i += 2;
        }
    }
}

Encoded encode(const H264Settings &s) {
    std::string launch =
        "imxv4l2videosrc is-live=false num-buffers=" + std::to_string(s.frames) +
        " ! imxg2dvideotransform ! video/x-raw,width=1024,height=768,framerate=30/1,format=RGBA"
        " ! imxipuvideotransform ! video/x-raw,width=1024,height=768,framerate=30/1,format=NV12"
        " ! imxvpuenc_h264 name=enc ! h264parse ! video/x-h264,stream-format=" +
        std::string(s.stream_format) + " ! appsink name=out sync=false";
    Pipeline p(launch);
    Encoded out;
    if (!p.ok()) {
        return out;
    }
    Ref<GstElement> enc = p.element("enc");
    g_object_set(enc.get(), "bitrate", s.bitrate, "gop-size", s.gop_size, "me-search-range",
                 s.me_search_range, NULL);
    if (s.idr_interval >= 0) {
        g_object_set(enc.get(), "idr-interval", s.idr_interval, NULL);
    }
    p.play();
    std::vector<Sample> samples = p.pull_all();
    if (samples.empty()) {
        ADD_FAILURE() << "no output";
        return out;
    }
    gchar *caps = gst_caps_to_string(gst_sample_get_caps(samples.front().get()));
    out.caps = caps;
    g_free(caps);
    out.first_pts = GST_BUFFER_PTS(gst_sample_get_buffer(samples.front().get()));
    bool avc = std::string(s.stream_format) == "avc";
    for (const Sample &sample : samples) {
        GstBuffer *buf = gst_sample_get_buffer(sample.get());
        out.key.push_back(!GST_BUFFER_FLAG_IS_SET(buf, GST_BUFFER_FLAG_DELTA_UNIT));
        Mapped map(sample.get());
        bool idr = false, non_idr = false;
        scan_nal_types(map.data(), map.size(), avc, &idr, &non_idr);
        out.has_idr.push_back(idr);
        out.has_non_idr.push_back(non_idr);
        out.bytes += map.size();
        out.duration += GST_BUFFER_DURATION(buf);
    }
    return out;
}

double kbits_per_second(const Encoded &e) {
    return e.bytes * 8.0 / 1000.0 / ((double)e.duration / GST_SECOND);
}

TEST(H264Encoder, RecordSettingsGiveKeyPicturesEveryGopAndTheBitrate) {
    // The record branch: bitrate 1024, GOP 15, search range 3, AVC for MP4.
    Encoded e = encode({1024, 15, -1, 3, "avc", 300});
    ASSERT_EQ(e.key.size(), 300u);
    EXPECT_NE(e.caps.find("video/x-h264"), std::string::npos);
    EXPECT_NE(e.caps.find("stream-format=(string)avc"), std::string::npos);
    EXPECT_NE(e.caps.find("codec_data"), std::string::npos);
    for (size_t i = 0; i < e.key.size(); i++) {
        EXPECT_EQ(e.key[i], i % 15 == 0) << "picture " << i;
        EXPECT_EQ(e.has_idr[i], i % 15 == 0) << "picture " << i;
        EXPECT_NE(e.has_idr[i], e.has_non_idr[i]) << "picture " << i;
    }
    EXPECT_NEAR((double)e.duration / GST_SECOND, 10.0, 0.01);
    // On the input's timeline (the camera starts at 0), where the audio of a recording is too.
    EXPECT_LT(e.first_pts, GST_SECOND / 10);
    EXPECT_NEAR(kbits_per_second(e), 1024.0, 1024.0 * 0.3);
}

TEST(H264Encoder, StreamSettingsGiveAllIntraByteStreamAtTheBitrate) {
    // The stream branch: bitrate 1536, GOP 1, IDR interval 120, search range 0, for MPEG-TS.
    Encoded e = encode({1536, 1, 120, 0, "byte-stream", 300});
    ASSERT_EQ(e.key.size(), 300u);
    EXPECT_NE(e.caps.find("stream-format=(string)byte-stream"), std::string::npos);
    for (size_t i = 0; i < e.key.size(); i++) {
        EXPECT_TRUE(e.key[i]) << "picture " << i;
        EXPECT_TRUE(e.has_idr[i]) << "picture " << i;
    }
    EXPECT_NEAR(kbits_per_second(e), 1536.0, 1536.0 * 0.3);
}

TEST(H264Encoder, WithoutGopTheIdrIntervalPlacesKeyPictures) {
    Encoded every45 = encode({800, 0, 45, 16, "byte-stream", 120});
    ASSERT_EQ(every45.key.size(), 120u);
    for (size_t i = 0; i < every45.key.size(); i++) {
        EXPECT_EQ(every45.key[i], i % 45 == 0) << "picture " << i;
    }
    // Neither set: the first picture only; bitrate 0 is constant quality.
    Encoded once = encode({0, 0, 0, 0, "byte-stream", 120});
    ASSERT_EQ(once.key.size(), 120u);
    EXPECT_TRUE(once.key[0]);
    for (size_t i = 1; i < once.key.size(); i++) {
        EXPECT_FALSE(once.key[i]) << "picture " << i;
    }
}

TEST(Mp3Encoder, AudioBranchGivesParsableMp3AtTheBitrate) {
    // The audio branch after the microphone: amplifier, MP3 encoder, MPEG audio parser.
    Pipeline p(
        "audiotestsrc num-buffers=100 samplesperbuffer=4800 ! "
        "audio/x-raw,format=S16LE,rate=48000,channels=2 ! audioamplify name=amp ! "
        "imxmp3audioenc name=enc ! mpegaudioparse ! appsink name=out sync=false");
    ASSERT_TRUE(p.ok());
    g_object_set(p.element("amp").get(), "amplification", 0.5, NULL);
    g_object_set(p.element("enc").get(), "bitrate", 96, NULL);
    p.play();
    std::vector<Sample> samples = p.pull_all();
    ASSERT_FALSE(samples.empty());
    GstStructure *s = gst_caps_get_structure(gst_sample_get_caps(samples.front().get()), 0);
    EXPECT_STREQ(gst_structure_get_name(s), "audio/mpeg");
    EXPECT_EQ(caps_int(samples.front().get(), "mpegversion"), 1);
    EXPECT_EQ(caps_int(samples.front().get(), "layer"), 3);
    size_t bytes = 0;
    GstClockTime duration = 0;
    for (const Sample &sample : samples) {
        Mapped map(sample.get());
        ASSERT_TRUE(map.ok());
        ASSERT_GE(map.size(), 4u);
        EXPECT_EQ(map.data()[0], 0xff);  // every buffer is one frame, starting with its sync word
        EXPECT_EQ(map.data()[1] & 0xe0, 0xe0);
        bytes += map.size();
        duration += GST_BUFFER_DURATION(gst_sample_get_buffer(sample.get()));
    }
    EXPECT_NEAR((double)duration / GST_SECOND, 10.0, 0.1);
    EXPECT_NEAR(bytes * 8.0 / 1000.0 / ((double)duration / GST_SECOND), 96.0, 96.0 * 0.05);
}

}  // namespace

int main(int argc, char **argv) {
    gst_init(&argc, &argv);
    make_warnings_fatal();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
