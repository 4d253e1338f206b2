#include "video/http_restart.h"

#include <algorithm>
#include <atomic>

#include "core/log.h"
#include "video/gst_handle.h"
#include "video/registry.h"

namespace {

constexpr gint64 kFirstDelayUs = G_USEC_PER_SEC;
constexpr gint64 kLongestDelayUs = 30 * G_USEC_PER_SEC;

// Buffers that reached the sink since the pipe last started; written on its streaming thread.
std::atomic<unsigned> buffers_since_start{0};
// The back-off of the last restart (0: none yet), and when the waiting restart is due (0: none).
gint64 delay_us = 0;
gint64 restart_due_us = 0;

GstPadProbeReturn count_buffer(GstPad *, GstPadProbeInfo *, gpointer) {
    buffers_since_start.fetch_add(1, std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

// The sink takes one buffer at a time: a second buffer reaching it means the first went out.
bool sent_since_start() {
    return buffers_since_start.load(std::memory_order_relaxed) >= 2;
}

}  // namespace

void http_restart_track(GstElement *sink) {
    buffers_since_start = 0;
    GstRef<GstPad> pad(gst_element_get_static_pad(sink, "sink"));
    if (pad) {
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, count_buffer, nullptr, nullptr);
    }
}

void http_restart_sink_failed(const char *path, const char *text) {
    GstElement *pipeline = pipeline_of(PIPE_HTTP_STREAM);
    if (!pipeline || eos_pending(PIPE_HTTP_STREAM) || restart_due_us != 0) {
        // Restarting an ending pipe would bring it back to life; a stopped one is already
        // waiting, and this is more of the failure that stopped it.
        return;
    }
    delay_us = delay_us == 0 || sent_since_start() ? kFirstDelayUs
                                                   : std::min(2 * delay_us, kLongestDelayUs);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    restart_due_us = g_get_monotonic_time() + delay_us;
    log_message(LOG_LEVEL_INFO, "event detected: from element %s: %s; restart in %d s", path, text,
                static_cast<int>(delay_us / G_USEC_PER_SEC));
}

void http_restart_when_due() {
    GstElement *pipeline = pipeline_of(PIPE_HTTP_STREAM);
    if (restart_due_us == 0 || !pipeline || g_get_monotonic_time() < restart_due_us) {
        return;
    }
    restart_due_us = 0;
    buffers_since_start = 0;
    if (!join_timeline_of(pipeline, PIPE_HTTP_STREAM) ||
        gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE) {
        http_restart_sink_failed(GST_ELEMENT_NAME(pipeline), "could not start");
    }
}

void http_restart_forget() {
    delay_us = 0;
    restart_due_us = 0;
}
