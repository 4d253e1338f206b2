// What the registry knows of each pipe, by identifier.
#include "video/http_restart.h"
#include "video/registry.h"

namespace {

constexpr gint64 kEndTimeoutUs = 5 * G_USEC_PER_SEC;
// The record pipe finishes an MP4 file first, so it gets longer.
constexpr gint64 kRecordEndTimeoutUs = 10 * G_USEC_PER_SEC;

void http_released() {
    http_restart_forget();
}

// The split sink of the record pipe holds the sound back while the pictures lag behind it, so
// the pictures end first: once their producer has stopped, only their end-of-stream lets the
// sound through. The still picture and the sound source hold their stream locks nearly all the
// time (the still picture pushes the next one as soon as the last has left; the sound source
// waits for samples), so their end enters in place of their next buffer.
const PipeKind kPipes[PIPE_COUNT] = {
    {"src", kEndTimeoutUs, {}, nullptr, false, nullptr, nullptr, nullptr, nullptr},
    {"display", kEndTimeoutUs, {}, nullptr, false, nullptr, nullptr, nullptr, nullptr},
    {"record_video_enc", kEndTimeoutUs, {}, nullptr, true, nullptr, nullptr, nullptr, nullptr},
    {"audio_enc", kEndTimeoutUs, {}, "audio-src", true, nullptr, nullptr, nullptr, nullptr},
    {"tcp-stream", kEndTimeoutUs, {}, nullptr, false, nullptr, nullptr, nullptr, nullptr},
    {"record",
     kRecordEndTimeoutUs,
     {{"rec-vid-ipsrc", "rec-aud-ipsrc"}},
     nullptr,
     false,
     record_element_message,
     nullptr,
     record_released,
     nullptr},
    {"splash", kEndTimeoutUs, {}, "splash-image-freeze", false, nullptr, nullptr, nullptr, nullptr},
    {"http_stream",
     kEndTimeoutUs,
     {},
     nullptr,
     false,
     nullptr,
     http_sink_failure,
     http_released,
     http_restart_pending},
    {"transformer", kEndTimeoutUs, {}, nullptr, true, nullptr, nullptr, nullptr, nullptr},
    {"stream_vid_enc", kEndTimeoutUs, {}, nullptr, true, nullptr, nullptr, nullptr, nullptr},
};

// The elements of the pipes that start on request (recordings, streams, the splash).
const char *const kOnRequestElements[] = {
    "alsasrc",        "audioamplify", "curlhttpsink",         "filesink",
    "h264parse",      "imagefreeze",  "imxipuvideotransform", "imxmp3audioenc",
    "imxvpuenc_h264", "mp4mux",       "mpegaudioparse",       "mpegtsmux",
    "pngdec",         "splitmuxsink", "tcpserversink",
};

}  // namespace

const PipeKind &pipe_kind(int id) {
    return kPipes[id];
}

void warm_up_pipe_elements() {
    for (const char *factory : kOnRequestElements) {
        // A missing factory is told when a pipe that needs it is built.
        if (GstElement *element = gst_element_factory_make(factory, nullptr)) {
            gst_object_unref(gst_object_ref_sink(element));
        }
    }
}
