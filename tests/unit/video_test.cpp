// The video subsystem in-process: registry rules with and without pipelines, the settings
// copy, the media operations' checks and the folder flush. Pipelines are built from the host
// stand-ins when they are on the plug-in path; those tests are skipped otherwise.
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>

#include "config/config.h"
#include "control/media_commands.h"
#include "core/daemon_state.h"
#include "core/loop_tasks.h"
#include "core/storage_worker.h"
#include "core/timer_list.h"
#include "log_capture.h"
#include "video/empty_fragments.h"
#include "video/gst_handle.h"
#include "video/gstvideo.h"
#include "video/recording_end.h"
#include "video/registry.h"

namespace {

gstvideo_configs test_settings() {
    gstvideo_configs settings{};
    settings.mic_volume = 100.0;
    settings.record_max_len = 2000000000LL;
    settings.record_enc_bitrate = 1024;
    settings.record_enc_gop = 15;
    settings.stream_enc_bitrate = 1536;
    settings.stream_enc_gop = 1;
    settings.stream_enc_idr = 120;
    settings.aud_enc_bitrate = 96;
    settings.enc_type = 1;
    return settings;
}

std::string make_temp_dir() {
    char name[] = "/tmp/mrvdc-video-XXXXXX";
    return mkdtemp(name);
}

void touch(const std::string &path) {
    std::ofstream(path) << "x";
}

// The result an operation ends with when it ends before returning; -1 when it has not ended.
int immediate_result(const std::function<void(Completion)> &take) {
    int result = -1;
    take(Completion([&result](int value, const std::optional<std::string> &) { result = value; }));
    return result;
}

bool stand_ins_available() {
    for (const char *factory :
         {"imxv4l2videosrc", "imxipuvideosink", "qtoverlay", "interpipesrc"}) {
        GstElementFactory *found = gst_element_factory_find(factory);
        if (!found) {
            return false;
        }
        gst_object_unref(found);
    }
    return true;
}

// The main loop's descriptors of deadlines and posted work.
int deadline_fd_ = -1;
int tasks_fd_ = -1;

// The main loop's part for the video: poll every existing bus, the deadlines and the posted
// work, and handle one message per readiness, until `done` holds or the time is up.
bool run_buses_until(const std::function<bool()> &done, int timeout_ms = 5000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        pollfd loop_fds[] = {{deadline_fd_, POLLIN, 0}, {tasks_fd_, POLLIN, 0}};
        if (poll(loop_fds, 2, 0) > 0) {
            if (loop_fds[0].revents) {
                timer_list_run_due();
            }
            if (loop_fds[1].revents) {
                loop_run_posted();
            }
        }
        pollfd fds[PIPE_COUNT];
        int ids[PIPE_COUNT];
        nfds_t count = 0;
        for (int id = 0; id < PIPE_COUNT; ++id) {
            if (GstElement *pipeline = pipeline_of(id)) {
                GstBus *bus = gst_element_get_bus(pipeline);
                fds[count] = {get_bus_filefd(bus), POLLIN, 0};
                ids[count++] = id;
                gst_object_unref(bus);
            }
        }
        if (count == 0 || poll(fds, count, 10) <= 0) {
            continue;
        }
        for (nfds_t index = 0; index < count; ++index) {
            if (fds[index].revents) {
                gstvideo_process_message(ids[index]);
            }
        }
    }
    return true;
}

// A small PNG made in this process, so that the test needs none of the host's GStreamer tools
// (the cross-built test runs under an emulator and cannot start them).
bool write_test_picture(const std::string &path) {
    GstRef<GstElement> pipeline(
        gst_parse_launch(("videotestsrc num-buffers=1 ! video/x-raw,width=64,height=48 ! pngenc ! "
                          "filesink location=" +
                          path)
                             .c_str(),
                         nullptr));
    if (!pipeline ||
        gst_element_set_state(pipeline.get(), GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        return false;
    }
    GstRef<GstBus> bus(gst_element_get_bus(pipeline.get()));
    GstRef<GstMessage> end(gst_bus_timed_pop_filtered(
        bus.get(), 10 * GST_SECOND,
        static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)));
    gst_element_set_state(pipeline.get(), GST_STATE_NULL);
    return end && GST_MESSAGE_TYPE(end.get()) == GST_MESSAGE_EOS;
}

std::string overlay_attribute(int pipe) {
    GstElement *overlay = gst_bin_get_by_name(GST_BIN(pipeline_of(pipe)), "overlay-plugin");
    gchar *text = nullptr;
    g_object_get(overlay, "qml-attribute", &text, nullptr);
    std::string result = text ? text : "";
    g_free(text);
    gst_object_unref(overlay);
    return result;
}

class VideoTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_EQ(gstvideo_init(test_settings()), 0);
        deadline_fd_ = timer_list_init();
        tasks_fd_ = loop_tasks_init();
        sysroot_ = make_temp_dir();
        mkdir((sysroot_ + "/home").c_str(), 0777);
        mkdir((sysroot_ + "/home/root").c_str(), 0777);
        setenv("MRVDC_SYSROOT", sysroot_.c_str(), 1);
    }
    static void TearDownTestSuite() { EXPECT_EQ(system(("rm -rf " + sysroot_).c_str()), 0); }
    void TearDown() override {
        // Whatever a test left running ends before the next one (stopping them all at once
        // would refuse every later start, as when the daemon stops).
        for (int id = 0; id < PIPE_COUNT; ++id) {
            gstvideo_stop_pipe(id);
        }
        ASSERT_TRUE(run_buses_until([] { return gstvideo_are_pipes_closed() == 1; }));
    }
    static std::string sysroot_;
};
std::string VideoTest::sysroot_;

TEST_F(VideoTest, EmptyRegistryAndIdentifiersOutOfRange) {
    LogCapture log(1);
    EXPECT_EQ(gstvideo_are_pipes_closed(), 1);
    for (int id : {-1, 0, 5, 9, 10, 1000}) {
        EXPECT_EQ(gstvideo_is_playing(id), 0) << id;
        EXPECT_EQ(gstvideo_stop_pipe(id), 0) << id;
        EXPECT_EQ(immediate_result([id](Completion done) { gstvideo_pause_pipe(id, done); }), 1);
        EXPECT_EQ(immediate_result([id](Completion done) { gstvideo_resume_pipe(id, done); }), 1);
        EXPECT_EQ(gstvideo_process_message(id), 0) << id;
        EXPECT_EQ(gstvideo_generate_dot_file(id, (sysroot_ + "/x.dot").c_str()), 1) << id;
    }
    for (int id : {-1, 2, 3, 4, 5, 7, 8, 9, 10}) {
        EXPECT_EQ(immediate_result([id](Completion done) { gstvideo_start_pipe(id, done); }), 1);
    }
    EXPECT_EQ(access((sysroot_ + "/x.dot").c_str(), F_OK), -1);
    EXPECT_EQ(immediate_result(gstvideo_pause_all_pipes), 0);
    EXPECT_EQ(immediate_result(gstvideo_resume_all_pipes), 0);
    EXPECT_EQ(gstvideo_set_qml_param("FtrMenu", "pipSt", "1"), 0);
    EXPECT_EQ(gstvideo_show_overlay(0), 0);
    EXPECT_EQ(immediate_result(
                  [](Completion done) { gstvideo_takesnapshot(sysroot_ + "/snap.jpeg", done); }),
              1);
    EXPECT_EQ(access((sysroot_ + "/snap.jpeg").c_str(), F_OK), -1);
    EXPECT_EQ(gstvideo_stop_record(), 0);
    EXPECT_EQ(gstvideo_stop_stream(), 0);
    EXPECT_EQ(gstvideo_stop_http_stream(), 0);
    // Nothing was ended, so nothing was logged about ends.
    EXPECT_FALSE(log.contains("eos"));
    EXPECT_FALSE(log.contains("EOS"));
}

TEST_F(VideoTest, SettingsCopyAndMicrophoneVolume) {
    LogCapture log;
    gstvideo_configs other = test_settings();
    other.mic_volume = 10.0;
    // Already initialised: the new settings are not taken.
    EXPECT_EQ(gstvideo_init(other), 0);
    EXPECT_EQ(gstvideo_set_microphone_volume(101), 1);
    EXPECT_TRUE(log.contains("Mic vol should be a positive [0-100](was 101), remaining at: 100"));
    EXPECT_DOUBLE_EQ(video_settings().mic_volume, 50.0);
    EXPECT_EQ(gstvideo_set_microphone_volume(-1), 1);
    EXPECT_EQ(gstvideo_set_microphone_volume(0), 0);
    EXPECT_DOUBLE_EQ(video_settings().mic_volume, 0.0);
    EXPECT_EQ(gstvideo_set_microphone_volume(33), 0);
    EXPECT_DOUBLE_EQ(video_settings().mic_volume, 16.5);
    EXPECT_EQ(gstvideo_set_microphone_volume(250), 1);
    EXPECT_TRUE(log.contains("(was 250), remaining at: 33"));
    EXPECT_EQ(gstvideo_set_microphone_volume(100), 0);
    EXPECT_DOUBLE_EQ(video_settings().mic_volume, 50.0);

    EXPECT_EQ(gstvideo_change_enc_type(2), 0);
    EXPECT_EQ(video_settings().enc_type, 2);
    // No audio-only upload exists: nothing is built.
    EXPECT_EQ(immediate_result([](Completion done) {
                  gstvideo_start_http_stream("http://127.0.0.1:9/upload", done);
              }),
              1);
    EXPECT_EQ(gstvideo_are_pipes_closed(), 1);
    EXPECT_EQ(gstvideo_change_enc_type(1), 0);
}

TEST_F(VideoTest, MediaOperationsCheckBeforeActing) {
    LogCapture log;
    global_config = cfg_default_config();
    global_config.enc_type = 1;
    global_config.mic_volume = 150;  // a hand-edited file may hold anything
    update_conf_file = 0;

    EXPECT_EQ(ac_set_enc_type(3), 1);
    EXPECT_EQ(ac_set_enc_type(-1), 1);
    EXPECT_EQ(ac_set_enc_type(1), 0);
    EXPECT_EQ(update_conf_file, 0);
    EXPECT_EQ(ac_set_enc_type(0), 0);
    EXPECT_EQ(global_config.enc_type, 0);
    EXPECT_EQ(video_settings().enc_type, 0);
    EXPECT_EQ(update_conf_file, 1);
    EXPECT_EQ(ac_set_enc_type(1), 0);
    update_conf_file = 0;

    // The stored volume is accepted as it stands, even outside the range.
    EXPECT_EQ(ac_set_microphone_volume(150), 0);
    EXPECT_EQ(update_conf_file, 0);
    EXPECT_FALSE(log.contains("Mic vol"));
    EXPECT_EQ(ac_set_microphone_volume(101), 1);
    EXPECT_EQ(global_config.mic_volume, 150);
    EXPECT_EQ(ac_set_microphone_volume(60), 0);
    EXPECT_EQ(global_config.mic_volume, 60);
    EXPECT_EQ(update_conf_file, 1);
    update_conf_file = 0;

    // A media folder that cannot be queried counts as full: nothing is started.
    global_config.media_path = sysroot_ + "/missing/media";
    EXPECT_EQ(immediate_result([](Completion done) { ac_start_stop_record(1, done); }), 1);
    EXPECT_TRUE(log.contains("Failed to query the system for the remaing space in"));
    EXPECT_TRUE(log.contains("[WARN]: Record: not enough space"));
    EXPECT_EQ(immediate_result(ac_make_snapshot), 1);
    EXPECT_TRUE(log.contains("[WARN]: Snapshot: not enough space"));
    EXPECT_EQ(gstvideo_are_pipes_closed(), 1);
    EXPECT_EQ(immediate_result([](Completion done) { ac_start_stop_record(0, done); }), 0);

    global_config.enc_type = 2;
    ASSERT_EQ(gstvideo_change_enc_type(2), 0);
    EXPECT_EQ(immediate_result([](Completion done) { ac_start_stop_http_stream(1, done); }), 1);
    EXPECT_EQ(gstvideo_are_pipes_closed(), 1);
    ASSERT_EQ(gstvideo_change_enc_type(1), 0);
    global_config.enc_type = 1;

    // Diagrams only for pipes that exist.
    EXPECT_EQ(ac_generate_dot_file(), 0);
    EXPECT_EQ(system(("test -z \"$(ls " + sysroot_ + "/home/root)\"").c_str()), 0);
}

TEST(RecordingEnd, FlushesOnlyItsOwnFragmentsThenTheFolderOnTheWorker) {
    LogCapture log(1);
    std::string folder = make_temp_dir();
    // The first fragment holds no media and goes; the second must still be flushed.
    std::ofstream(folder + "/video_1_00.mp4").flush();
    for (const char *name : {"video_1_01.mp4", "video_2_00.mp4", "img_2.jpeg"}) {
        touch(folder + "/" + name);
    }
    std::string location = folder + "/video_1_%02d.mp4";
    recording_named(location);
    media_record_ended();
    EXPECT_TRUE(recording_ending(location));
    storage_finish();
    loop_run_posted();
    EXPECT_FALSE(recording_ending(location));
    std::string text = log.text();
    EXPECT_EQ(access((folder + "/video_1_00.mp4").c_str(), F_OK), -1);
    EXPECT_NE(text.find("flushing: " + folder + "/video_1_01.mp4\n"), std::string::npos);
    EXPECT_EQ(text.find("video_2_00"), std::string::npos);
    EXPECT_EQ(text.find("img_2"), std::string::npos);
    // The folder itself comes last.
    EXPECT_GT(text.rfind("flushing: " + folder + "\n"), text.find("video_1_01.mp4"));
    EXPECT_EQ(system(("rm -rf " + folder).c_str()), 0);
}

// An MP4 box: 32-bit size, type, payload.
std::string box(const char *type, const std::string &payload) {
    uint32_t size = static_cast<uint32_t>(payload.size() + 8);
    std::string bytes = {static_cast<char>(size >> 24), static_cast<char>(size >> 16),
                         static_cast<char>(size >> 8), static_cast<char>(size)};
    return bytes + type + payload;
}

TEST(EmptyFragments, OnlyFragmentsWithoutMediaToPlayAreRemoved) {
    std::string folder = make_temp_dir();
    auto write = [&](const std::string &name, const std::string &bytes) {
        std::ofstream(folder + "/" + name, std::ios::binary) << bytes;
    };
    std::string head =
        box("ftyp", "isom") + box("free", std::string(64, '\0')) + box("moov", box("mvhd", "x"));
    write("video_1_00.mp4", head + box("mdat", "frames"));
    write("video_1_01.mp4", head + box("mdat", ""));  // opened, never fed
    write("video_1_02.mp4", "");
    // Cut short while recording: the last box runs to the end of the file (size 0).
    write("video_1_03.mp4", head + std::string("\0\0\0\0mdat", 8) + "frames");
    write("video_1_04.mp4", head + box("mdat", "").substr(0, 5));  // not boxes: kept
    write("video_1_06.mp4", head + box("mdat", ""));               // after a gap: not ours
    // Stopped a few frames after its first picture: one sound frame, which does not play.
    auto track = [](char samples) {
        // Version and flags, the size of every sample (0: each its own), the count.
        std::string table = std::string(11, '\0') + samples;
        return box("trak", box("mdia", box("minf", box("stbl", box("stsz", table)))));
    };
    std::string index = box("moov", box("mvhd", "x") + track(5) + track(1));
    write("video_2_00.mp4", box("ftyp", "isom") + index + box("mdat", "frames"));
    index = box("moov", box("mvhd", "x") + track(5) + track(2));
    write("video_3_00.mp4", box("ftyp", "isom") + index + box("mdat", "frames"));
    remove_empty_fragments(folder + "/video_1_%02d.mp4");
    remove_empty_fragments(folder + "/video_2_%02d.mp4");
    remove_empty_fragments(folder + "/video_3_%02d.mp4");
    auto exists = [&](const char *name) {
        return access((folder + "/" + name).c_str(), F_OK) == 0;
    };
    EXPECT_TRUE(exists("video_1_00.mp4"));
    EXPECT_FALSE(exists("video_1_01.mp4"));
    EXPECT_FALSE(exists("video_1_02.mp4"));
    EXPECT_TRUE(exists("video_1_03.mp4"));
    EXPECT_TRUE(exists("video_1_04.mp4"));
    EXPECT_TRUE(exists("video_1_06.mp4"));
    EXPECT_FALSE(exists("video_2_00.mp4"));
    EXPECT_TRUE(exists("video_3_00.mp4"));
    EXPECT_EQ(system(("rm -rf " + folder).c_str()), 0);
}

TEST_F(VideoTest, LivePipelinesShareTheOverlayChannel) {
    if (!stand_ins_available()) {
        GTEST_SKIP() << "host stand-ins are not on GST_PLUGIN_PATH";
    }
    LogCapture log;
    std::string qml = sysroot_ + "/main.qml";
    touch(qml);
    pipe_bus_fd src = gstvideo_start_video_src(qml.c_str());
    pipe_bus_fd display = gstvideo_start_display();
    ASSERT_GE(src.fd, 0);
    ASSERT_GE(display.fd, 0);
    EXPECT_EQ(src.pipe, PIPE_SRC);
    EXPECT_EQ(display.pipe, PIPE_DISPLAY);
    // Existing pipes are not rebuilt: the same descriptor, or -1 from the debug creation.
    EXPECT_EQ(gstvideo_start_video_src(qml.c_str()).fd, src.fd);
    EXPECT_EQ(immediate_result([](Completion done) { gstvideo_start_pipe(PIPE_DISPLAY, done); }),
              1);
    EXPECT_EQ(log.text().find("Display Pipeline set to playing"),
              log.text().rfind("Display Pipeline set to playing"));

    gstvideo_set_qml_param("FtrMenu", "pipSt", "1");
    EXPECT_EQ(overlay_attribute(PIPE_SRC), "FtrMenu.pipSt:1");

    // The splash built last takes the channel; when it ends, the source has it again.
    std::string image = sysroot_ + "/no-input.png";
    ASSERT_TRUE(write_test_picture(image));
    pipe_bus_fd splash = gstvideo_start_splash(qml.c_str(), image.c_str());
    ASSERT_GE(splash.fd, 0);
    gstvideo_set_qml_param("OffMenu", "x", "{\"KEY\": 2}");
    EXPECT_EQ(overlay_attribute(PIPE_SPLASH), "OffMenu.x:{\"KEY\": 2}");
    EXPECT_EQ(overlay_attribute(PIPE_SRC), "FtrMenu.pipSt:1");
    EXPECT_EQ(gstvideo_stop_pipe(PIPE_SPLASH), 0);
    EXPECT_EQ(gstvideo_are_pipes_closed(), 0);
    ASSERT_TRUE(run_buses_until([] { return gstvideo_is_playing(PIPE_SPLASH) == 0; }));
    gstvideo_set_qml_param("FtrMenu", "pipSt", "0");
    EXPECT_EQ(overlay_attribute(PIPE_SRC), "FtrMenu.pipSt:0");
}

}  // namespace
