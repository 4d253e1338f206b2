// The live picture: camera source with the QML overlay, the display, and the no-input splash.
#include "core/log.h"
#include "video/elements.h"
#include "video/registry.h"

namespace {

constexpr const char *kOverlayCaps =
    "video/x-raw, width=1024, height=768, framerate=30/1, format=RGBA";
constexpr int kLeakyDownstream = 2;
constexpr int kFormatTime = 3;

// The overlay of the source or splash pipeline, whichever was built last, and the display
// pipeline's sink.
GstRef<GstElement> overlay;
GstRef<GstElement> display_sink;

void set_framebuffer_sink(GstElement *sink) {
    set_bool(sink, "sync", false);
    set_bool(sink, "async", false);
    set_bool(sink, "use-vsync", true);
    set_string(sink, "framebuffer", "/dev/fb0");
}

int create_src_pipe(GstElement *pipeline, const char *qml_path) {
    GstRef<GstElement> source = make_element("imxv4l2videosrc", "camera-source");
    GstRef<GstElement> g2d_xform = make_element("imxg2dvideotransform", "g2d-transform");
    GstRef<GstElement> g2d_caps = make_element("capsfilter", "g2d-caps");
    GstRef<GstElement> q_before_qt = make_element("queue", "queue-before-qt");
    GstRef<GstElement> new_overlay = make_element("qtoverlay", "overlay-plugin");
    GstRef<GstElement> q_after_qt = make_element("queue", "queue-after-qt");
    GstRef<GstElement> src_ipsink = make_element("interpipesink", "vid-src-ipsink");
    if (!source || !g2d_xform || !g2d_caps || !q_before_qt || !new_overlay || !q_after_qt ||
        !src_ipsink) {
        log_message(LOG_LEVEL_ERROR, "One element could not be created in the src pipe.");
        return -1;
    }
    set_string(source.get(), "device", "/dev/video0");
    set_int(source.get(), "imx-capture-mode", 0);
    set_int(source.get(), "queue-size", 10);
    set_bool(src_ipsink.get(), "sync", false);
    set_bool(src_ipsink.get(), "async", false);
    set_int(q_before_qt.get(), "leaky", kLeakyDownstream);
    set_string(new_overlay.get(), "qml", qml_path);
    set_int(q_after_qt.get(), "leaky", kLeakyDownstream);
    set_caps(g2d_caps.get(), "caps", kOverlayCaps);

    std::initializer_list<GstElement *> chain = {
        source.get(),      g2d_xform.get(),  g2d_caps.get(),   q_before_qt.get(),
        new_overlay.get(), q_after_qt.get(), src_ipsink.get(),
    };
    add_all(pipeline, chain);
    if (!link_all(chain)) {
        log_message(LOG_LEVEL_ERROR, "Failed to link elements in the src pipe");
        return -1;
    }
    overlay = std::move(new_overlay);
    int rc = gst_element_set_state(pipeline, GST_STATE_PLAYING);
    log_message(LOG_LEVEL_INFO, "Source Pipeline set to playing, rc = %d", rc);
    return 0;
}

int create_display_pipe(GstElement *pipeline) {
    GstRef<GstElement> display_ipsrc = make_element("interpipesrc", "display-ipsrc");
    GstRef<GstElement> sink = make_element("imxipuvideosink", "display-sink");
    GstRef<GstElement> perf;
    if (video_settings().profiling) {
        perf = make_element("perf", "perf-display");
        if (perf) {
            set_bool(perf.get(), "print-cpu-load", true);
        }
    }
    if (!display_ipsrc || !sink) {
        log_message(LOG_LEVEL_ERROR, "One element could not be created in the display pipe.");
        return -1;
    }
    set_string(display_ipsrc.get(), "listen-to", "vid-src-ipsink");
    set_int(display_ipsrc.get(), "stream-sync", 1);
    set_int(display_ipsrc.get(), "format", kFormatTime);
    set_framebuffer_sink(sink.get());

    add_all(pipeline, {display_ipsrc.get(), sink.get()});
    bool linked;
    if (perf) {
        add_all(pipeline, {perf.get()});
        linked = link_all({display_ipsrc.get(), perf.get(), sink.get()});
    } else {
        linked = link_all({display_ipsrc.get(), sink.get()});
    }
    if (!linked) {
        log_message(LOG_LEVEL_ERROR, "Failed to link elements in the display pipe");
        return -1;
    }
    display_sink = std::move(sink);
    int rc = gst_element_set_state(pipeline, GST_STATE_PLAYING);
    log_message(LOG_LEVEL_INFO, "Display Pipeline set to playing, rc = %d", rc);
    return 0;
}

int create_splash_pipe(GstElement *pipeline, const char *qml_path, const char *image_path) {
    GstRef<GstElement> source = make_element("filesrc", "splash-source");
    GstRef<GstElement> decoder = make_element("pngdec", "png-decoder");
    GstRef<GstElement> freeze = make_element("imagefreeze", "splash-image-freeze");
    GstRef<GstElement> perf = make_element("perf", "splash-perf");
    GstRef<GstElement> g2d_xform = make_element("imxg2dvideotransform", "g2d-transform");
    GstRef<GstElement> g2d_caps = make_element("capsfilter", "g2d-caps");
    GstRef<GstElement> q_before_qt = make_element("queue", "queue-before-qt");
    GstRef<GstElement> new_overlay = make_element("qtoverlay", "overlay-plugin");
    GstRef<GstElement> q_after_qt = make_element("queue", "queue-after-qt");
    GstRef<GstElement> sink = make_element("imxipuvideosink", "display-sink");
    if (!source || !decoder || !freeze || !g2d_xform || !g2d_caps || !q_before_qt || !new_overlay ||
        !q_after_qt || !sink) {
        log_message(LOG_LEVEL_ERROR, "One element could not be created in the splash pipe.");
        return -1;
    }
    set_string(source.get(), "location", image_path);
    // Paced by the clock at the overlay's frame rate: the leaky queues never hold it back, and
    // unpaced it repeats the picture as fast as the transform takes it, a whole core's worth.
    set_bool(freeze.get(), "is-live", true);
    set_int(q_before_qt.get(), "leaky", kLeakyDownstream);
    set_string(new_overlay.get(), "qml", qml_path);
    set_int(q_after_qt.get(), "leaky", kLeakyDownstream);
    set_caps(g2d_caps.get(), "caps", kOverlayCaps);
    set_framebuffer_sink(sink.get());

    add_all(pipeline, {source.get(), decoder.get(), freeze.get(), g2d_xform.get(), g2d_caps.get(),
                       q_before_qt.get(), new_overlay.get(), q_after_qt.get(), sink.get()});
    bool linked;
    if (perf) {
        add_all(pipeline, {perf.get()});
        linked = link_all({source.get(), decoder.get(), freeze.get(), g2d_xform.get(),
                           g2d_caps.get(), q_before_qt.get(), new_overlay.get(), q_after_qt.get(),
                           perf.get(), sink.get()});
    } else {
        linked =
            link_all({source.get(), decoder.get(), freeze.get(), g2d_xform.get(), g2d_caps.get(),
                      q_before_qt.get(), new_overlay.get(), q_after_qt.get(), sink.get()});
    }
    if (!linked) {
        log_message(LOG_LEVEL_ERROR, "Failed to link elements in the splash pipe");
        return -1;
    }
    overlay = std::move(new_overlay);
    int rc = gst_element_set_state(pipeline, GST_STATE_PLAYING);
    log_message(LOG_LEVEL_INFO, "Splash Pipeline set to playing, rc = %d", rc);
    return 0;
}

bool belongs_to(const GstRef<GstElement> &handle, GstElement *pipeline) {
    return handle && gst_object_has_as_ancestor(GST_OBJECT(handle.get()), GST_OBJECT(pipeline));
}

}  // namespace

pipe_bus_fd gstvideo_start_video_src(const char *qml_path) {
    return start_pipe(PIPE_SRC, "src-pipe", [qml_path](GstElement *pipeline) {
        return create_src_pipe(pipeline, qml_path);
    });
}

pipe_bus_fd gstvideo_start_display() {
    return start_pipe(PIPE_DISPLAY, "display-pipe", create_display_pipe);
}

pipe_bus_fd gstvideo_start_splash(const char *qml_path, const char *image_path) {
    return start_pipe(PIPE_SPLASH, "splash-pipe", [qml_path, image_path](GstElement *pipeline) {
        return create_splash_pipe(pipeline, qml_path, image_path);
    });
}

void live_forget_pipeline(GstElement *pipeline) {
    if (belongs_to(overlay, pipeline)) {
        overlay.reset();
        // The other live pipeline, if it still runs, shows the picture from now on.
        for (int id : {PIPE_SRC, PIPE_SPLASH}) {
            GstElement *other = pipeline_of(id);
            if (other && other != pipeline) {
                overlay.reset(gst_bin_get_by_name(GST_BIN(other), "overlay-plugin"));
            }
        }
    }
    if (belongs_to(display_sink, pipeline)) {
        display_sink.reset();
    }
}

GstElement *live_overlay() {
    return overlay.get();
}

GstElement *live_display_sink() {
    return display_sink.get();
}
