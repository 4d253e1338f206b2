#include "display_window.h"

#include <gst/app/gstappsrc.h>

GST_DEBUG_CATEGORY_STATIC(window_debug);
#define GST_CAT_DEFAULT window_debug

struct DisplayWindow {
    GstElement *pipeline;
    GstElement *source; /* appsrc, owned by the pipeline */
    gboolean closed;
};

static gboolean has_display(void) {
    const gchar *x11 = g_getenv("DISPLAY");
    const gchar *wayland = g_getenv("WAYLAND_DISPLAY");
    return (x11 && *x11) || (wayland && *wayland);
}

/* On X11 ximagesink, which works on any X server and titles its window from the stream's
 * title tag; elsewhere whatever video sink GStreamer picks. */
static const gchar *video_sink_name(void) {
    const gchar *x11 = g_getenv("DISPLAY");
    return x11 && *x11 ? "ximagesink" : "autovideosink";
}

DisplayWindow *display_window_open(GstObject *owner) {
    static gsize debug_once = 0;
    if (g_once_init_enter(&debug_once)) {
        GST_DEBUG_CATEGORY_INIT(window_debug, "imxipuvideosink-window", 0, "eyepiece window");
        g_once_init_leave(&debug_once, 1);
    }
    if (!has_display()) {
        return NULL;
    }
    gchar *launch = g_strdup_printf(
        "appsrc name=source is-live=true format=time max-buffers=2 leaky-type=downstream ! "
        "taginject tags=\"title=\\\"%s\\\"\" ! videoconvert ! %s sync=false",
        DISPLAY_WINDOW_TITLE, video_sink_name());
    GError *error = NULL;
    GstElement *pipeline = gst_parse_launch(launch, &error);
    g_free(launch);
    if (!pipeline || error) {
        GST_WARNING_OBJECT(owner, "no eyepiece window: %s", error ? error->message : "?");
        g_clear_error(&error);
        if (pipeline) {
            gst_object_unref(pipeline);
        }
        return NULL;
    }
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        GST_WARNING_OBJECT(owner, "no eyepiece window: its sink does not start");
        gst_element_set_state(pipeline, GST_STATE_NULL);
        gst_object_unref(pipeline);
        return NULL;
    }
    DisplayWindow *window = g_new0(DisplayWindow, 1);
    window->pipeline = pipeline;
    window->source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
    GST_INFO_OBJECT(owner, "showing pictures in a window (%s)", video_sink_name());
    return window;
}

void display_window_close(DisplayWindow *window) {
    if (!window) {
        return;
    }
    gst_element_set_state(window->pipeline, GST_STATE_NULL);
    gst_object_unref(window->source);
    gst_object_unref(window->pipeline);
    g_free(window);
}

void display_window_set_caps(DisplayWindow *window, GstCaps *caps) {
    if (window) {
        gst_app_src_set_caps(GST_APP_SRC(window->source), caps);
    }
}

void display_window_show(DisplayWindow *window, GstBuffer *buffer) {
    if (!window || window->closed) {
        return;
    }
    if (gst_app_src_push_buffer(GST_APP_SRC(window->source), gst_buffer_ref(buffer)) !=
        GST_FLOW_OK) {
        GST_INFO("the eyepiece window is gone: pictures are no longer shown there");
        window->closed = TRUE;
    }
}
