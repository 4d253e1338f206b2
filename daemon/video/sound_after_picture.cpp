#include "video/sound_after_picture.h"

#include <atomic>

#include "video/gst_handle.h"

namespace {

// The presentation time of the recording's first (key) picture; none until it has passed. Written
// by the picture's streaming thread, read by the sound's.
std::atomic<GstClockTime> first_picture{GST_CLOCK_TIME_NONE};

// Pictures before the first key picture cannot be decoded: the recording starts at it.
GstPadProbeReturn start_at_key_picture(GstPad *, GstPadProbeInfo *info, gpointer) {
    GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_DELTA_UNIT)) {
        return GST_PAD_PROBE_DROP;
    }
    GstClockTime time = GST_BUFFER_PTS(buffer);
    first_picture = GST_CLOCK_TIME_IS_VALID(time) ? time : 0;
    return GST_PAD_PROBE_REMOVE;
}

GstPadProbeReturn hold_sound_until_picture(GstPad *, GstPadProbeInfo *info, gpointer) {
    GstClockTime start = first_picture.load();
    if (!GST_CLOCK_TIME_IS_VALID(start)) {
        return GST_PAD_PROBE_DROP;
    }
    GstBuffer *buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstClockTime time = GST_BUFFER_PTS(buffer);
    GstClockTime duration = GST_BUFFER_DURATION(buffer);
    if (GST_CLOCK_TIME_IS_VALID(time) && GST_CLOCK_TIME_IS_VALID(duration) &&
        time + duration <= start) {
        return GST_PAD_PROBE_DROP;
    }
    return GST_PAD_PROBE_REMOVE;
}

void add_buffer_probe(GstElement *element, GstPadProbeCallback callback) {
    GstRef<GstPad> pad(gst_element_get_static_pad(element, "src"));
    if (pad) {
        gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, callback, nullptr, nullptr);
    }
}

}  // namespace

void start_sound_with_first_picture(GstElement *picture_source, GstElement *sound_source) {
    first_picture = GST_CLOCK_TIME_NONE;
    add_buffer_probe(picture_source, start_at_key_picture);
    add_buffer_probe(sound_source, hold_sound_until_picture);
}
