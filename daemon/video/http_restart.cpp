#include "video/http_restart.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <utility>

#include "core/log.h"
#include "core/timer_list.h"
#include "video/gst_handle.h"
#include "video/registry.h"

namespace {

constexpr gint64 kFirstDelayUs = G_USEC_PER_SEC;
constexpr gint64 kLongestDelayUs = 30 * G_USEC_PER_SEC;

// Buffers that reached the sink since the pipe last started; written on its streaming thread.
std::atomic<unsigned> buffers_since_start{0};
// The back-off of the last restart (0: none yet), and the waiting restart (0: none).
gint64 delay_us = 0;
TimerId restart = 0;

GstPadProbeReturn count_buffer(GstPad *, GstPadProbeInfo *, gpointer) {
    buffers_since_start.fetch_add(1, std::memory_order_relaxed);
    return GST_PAD_PROBE_OK;
}

// The sink takes one buffer at a time: a second buffer reaching it means the first went out.
bool sent_since_start() {
    return buffers_since_start.load(std::memory_order_relaxed) >= 2;
}

void restart_now() {
    restart = 0;
    GstElement *pipeline = pipeline_of(PIPE_HTTP_STREAM);
    if (!pipeline) {
        return;
    }
    buffers_since_start = 0;
    play_off_loop(pipeline, PIPE_HTTP_STREAM, [] {
        if (GstElement *still_there = pipeline_of(PIPE_HTTP_STREAM)) {
            http_restart_sink_failed(GST_ELEMENT_NAME(still_there), "could not start");
        }
    });
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
    if (!pipeline || eos_pending(PIPE_HTTP_STREAM) || restart != 0) {
        // Restarting an ending pipe would bring it back to life; a stopped one is already
        // waiting, and this is more of the failure that stopped it.
        return;
    }
    delay_us = delay_us == 0 || sent_since_start() ? kFirstDelayUs
                                                   : std::min(2 * delay_us, kLongestDelayUs);
    // The restart comes after the stop has joined the streaming threads: the back-off is far
    // longer than that takes.
    stop_off_loop(gst_add_ref(pipeline), [] {});
    restart = timer_after(std::chrono::milliseconds(delay_us / 1000), restart_now);
    log_message(LOG_LEVEL_INFO, "event detected: from element %s: %s; restart in %d s", path, text,
                static_cast<int>(delay_us / G_USEC_PER_SEC));
}

void http_restart_forget() {
    delay_us = 0;
    timer_cancel(std::exchange(restart, 0));
}

bool http_restart_pending() {
    return restart != 0;
}

bool http_sink_failure(GstMessage *message, const char *path, const char *text) {
    if (strcmp(GST_MESSAGE_SRC_NAME(message), "http-sink") != 0) {
        return false;
    }
    // The upload's failures restart it, told in one line per restart.
    http_restart_sink_failed(path, text);
    return true;
}
