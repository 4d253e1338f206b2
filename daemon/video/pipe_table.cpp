// What the registry knows of each pipe, by identifier.
#include "video/http_restart.h"
#include "video/registry.h"

namespace {

// The record pipe finishes an MP4 file first, so it gets longer to end.
constexpr gint64 kRecordEndTimeoutUs = 10 * G_USEC_PER_SEC;

void http_released() {
    http_restart_forget();
}

PipeKind plain(const char *name) {
    PipeKind kind;
    kind.short_name = name;
    return kind;
}

PipeKind producer(const char *name) {
    PipeKind kind = plain(name);
    kind.producer = true;
    return kind;
}

// The sound source and the still picture hold their stream locks nearly all the time (the
// sound source waits for samples, the still picture pushes the next one as soon as the last has
// left), so their end enters in place of their next buffer.
PipeKind ending_at_next_buffer(PipeKind kind, const char *source) {
    kind.end_at_next_buffer = source;
    return kind;
}

// The split sink holds the sound back while the pictures lag behind it, so the pictures end
// first: once their producer has stopped, only their end-of-stream lets the sound through.
PipeKind record() {
    PipeKind kind = plain("record");
    kind.end_timeout_us = kRecordEndTimeoutUs;
    kind.end_entries = {"rec-vid-ipsrc", "rec-aud-ipsrc"};
    kind.on_element_message = record_element_message;
    kind.on_end_sent = record_end_sent;
    kind.on_released = record_released;
    return kind;
}

PipeKind http_stream() {
    PipeKind kind = plain("http_stream");
    kind.on_failure = http_sink_failure;
    kind.on_released = http_released;
    kind.restarting = http_restart_pending;
    return kind;
}

// By pipe identifier.
const PipeKind kPipes[PIPE_COUNT] = {
    plain("src"),
    plain("display"),
    producer("record_video_enc"),
    ending_at_next_buffer(producer("audio_enc"), "audio-src"),
    plain("tcp-stream"),
    record(),
    ending_at_next_buffer(plain("splash"), "splash-image-freeze"),
    http_stream(),
    producer("transformer"),
    producer("stream_vid_enc"),
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
