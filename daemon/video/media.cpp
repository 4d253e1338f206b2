// Consumers of the shared producers: split MP4 recording, the MPEG-TS server on TCP and the
// H.264 upload over HTTP. A producer runs only while a consumer listens to it.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "core/files.h"
#include "core/log.h"
#include "core/loop_tasks.h"
#include "core/tcp_port.h"
#include "core/timer_list.h"
#include "video/elements.h"
#include "video/empty_fragments.h"
#include "video/encoders.h"
#include "video/fragment_sync.h"
#include "video/http_restart.h"
#include "video/registry.h"
#include "video/sound_after_picture.h"

namespace {

constexpr int kFormatTime = 3;
constexpr int kLeakyDownstream = 2;
// The muxer keeps a playable index at the head of each fragment, rewritten this often, in room
// reserved for this many times the fragment length (at least kMinReservedIndex). The split sink
// closes a fragment at the first key frame after its length, so the room never runs out; if it
// did, the muxer would write the index at the end as before. The split sink's own robust mode
// is left off: it replaces the room with the bare fragment length and, judging what is left
// from how fast the index grew so far (a fresh fragment's fixed header counts), it closes
// sound-only fragments after one frame each when the stream comes in bursts under load.
// Half a second: with the pictures and sound still on their way through the encoders, a
// second's period let a busy recorder lose more than the two seconds it may.
constexpr int64_t kIndexUpdatePeriod = GST_SECOND / 2;
constexpr int64_t kReservedIndexFactor = 2;
constexpr int64_t kMinReservedIndex = 20 * GST_SECOND;

constexpr int kProducers[] = {PIPE_TRANSFORMER, PIPE_RECORD_VIDEO_ENC, PIPE_STREAM_VID_ENC,
                              PIPE_AUDIO_ENC};
constexpr int kConsumers[] = {PIPE_RECORD, PIPE_TCP_STREAM, PIPE_HTTP_STREAM};

// The encoding type each consumer was built with: it decides which producers feed it.
int consumer_type[PIPE_COUNT];
// Fragments of the record pipe that were opened and not yet closed.
int record_open_fragments = 0;
// Once its last fragment has been closed after the end-of-stream, the recording's files are
// complete and a short grace is enough; while a new one opens, it gets the full time again.
constexpr gint64 kRecordClosedGraceUs = G_USEC_PER_SEC / 2;
constexpr gint64 kRecordEndTimeoutUs = 10 * G_USEC_PER_SEC;

void make_crash_safe(GstElement *muxer) {
    int64_t reserved =
        std::max(kReservedIndexFactor * video_settings().record_max_len, kMinReservedIndex);
    set_int(muxer, "reserved-max-duration", reserved);
    set_int(muxer, "reserved-moov-update-period", kIndexUpdatePeriod);
}

GstRef<GstElement> make_consumer_source(const char *name, const char *listen_to) {
    GstRef<GstElement> source = make_element("interpipesrc", name);
    if (source) {
        set_string(source.get(), "listen-to", listen_to);
        set_bool(source.get(), "allow-renegotiation", true);
        set_int(source.get(), "stream-sync", 0);
        set_int(source.get(), "format", kFormatTime);
        set_bool(source.get(), "is-live", true);
    }
    return source;
}

// Links `from`'s "src" pad to a new pad requested from `to` with the template found by
// direction, presence and template name.
bool link_to_request_pad(GstElement *from, GstElement *to, const char *template_name,
                         const char *pad_name) {
    GstRef<GstPadTemplate> templ =
        get_pad_template(to, GST_PAD_SINK, GST_PAD_REQUEST, template_name);
    if (!templ) {
        return false;
    }
    GstRef<GstPad> request(gst_element_request_pad(to, templ.get(), pad_name, nullptr));
    GstRef<GstPad> source_pad(gst_element_get_static_pad(from, "src"));
    if (!request || !source_pad) {
        return false;
    }
    return gst_pad_link(source_pad.get(), request.get()) == GST_PAD_LINK_OK;
}

int make_record(GstElement *pipeline, int type, const char *location) {
    log_message(LOG_LEVEL_INFO, "Creating record branch.. ");
    GstRef<GstElement> rec_mux = make_element("mp4mux", "rec-mux");
    GstRef<GstElement> rec_sink = make_element("filesink", "rec-sink");
    GstRef<GstElement> vid_filesink = make_element("splitmuxsink", "vid-sink");
    if (!rec_mux || !rec_sink || !vid_filesink) {
        log_message(LOG_LEVEL_ERROR, "One element could not be created in the record pipe.");
        return -1;
    }
    set_bool(rec_sink.get(), "sync", false);
    set_bool(rec_sink.get(), "async", false);
    set_int(vid_filesink.get(), "max-size-time", video_settings().record_max_len);
    set_object(vid_filesink.get(), "sink", rec_sink.get());
    set_string(vid_filesink.get(), "location", location);
    set_object(vid_filesink.get(), "muxer", rec_mux.get());
    if (crash_safe_recording()) {
        make_crash_safe(rec_mux.get());
    }
    add_all(pipeline, {vid_filesink.get()});

    GstRef<GstElement> picture_source;
    if (type != 2) {
        GstRef<GstElement> source = make_consumer_source("rec-vid-ipsrc", "rec-vid-enc-ipsink");
        if (!source) {
            log_message(LOG_LEVEL_ERROR, "One element could not be created in the record pipe.");
            return -1;
        }
        add_all(pipeline, {source.get()});
        if (!link_to_request_pad(source.get(), vid_filesink.get(), "video", "video")) {
            log_message(LOG_LEVEL_ERROR, "Failed to link video pad of the record mux.\n");
            return -1;
        }
        picture_source = std::move(source);
    }
    if (type != 1) {
        GstRef<GstElement> source = make_consumer_source("rec-aud-ipsrc", "aud-enc-ipsink");
        if (!source) {
            log_message(LOG_LEVEL_ERROR, "One element could not be created in the record pipe.");
            return -1;
        }
        add_all(pipeline, {source.get()});
        if (!link_to_request_pad(source.get(), vid_filesink.get(), "audio_%u", "audio_%u")) {
            log_message(LOG_LEVEL_ERROR, "Failed to link audio pad of the record mux.\n");
            return -1;
        }
        if (picture_source) {
            start_sound_with_first_picture(picture_source.get(), source.get());
        }
    }
    return start_playing(pipeline, PIPE_RECORD);
}

bool add_stream_branch(GstElement *pipeline, GstElement *mux, const char *queue_name,
                       const char *source_name, const char *listen_to) {
    GstRef<GstElement> queue = make_element("queue", queue_name);
    GstRef<GstElement> source = make_consumer_source(source_name, listen_to);
    if (!queue || !source) {
        log_message(LOG_LEVEL_ERROR, "One element could not be created in the stream pipe.");
        return false;
    }
    set_int(queue.get(), "leaky", kLeakyDownstream);
    set_int(queue.get(), "max-size-buffers", 1);
    add_all(pipeline, {source.get(), queue.get()});
    if (!link_all({source.get(), queue.get()})) {
        log_message(LOG_LEVEL_ERROR, "Failed to link elements in the streaming pipe");
        return false;
    }
    return link_to_request_pad(queue.get(), mux, nullptr, "sink_%d");
}

int make_stream(GstElement *pipeline, int type, int port) {
    log_message(LOG_LEVEL_INFO, "Creating stream pipeline.. ");
    GstRef<GstElement> tcp_mux = make_element("mpegtsmux", "tcp-mux");
    GstRef<GstElement> tcp_sink = make_element("tcpserversink", "tcp-sink");
    if (!tcp_mux || !tcp_sink) {
        log_message(LOG_LEVEL_ERROR, "One element could not be created in the stream pipe.");
        return -1;
    }
    set_string(tcp_sink.get(), "host", "0.0.0.0");
    set_int(tcp_sink.get(), "port", port);
    set_int(tcp_sink.get(), "buffers-soft-max", 63);
    set_int(tcp_sink.get(), "timeout", 2000000000LL);
    add_all(pipeline, {tcp_mux.get(), tcp_sink.get()});
    if (!link_all({tcp_mux.get(), tcp_sink.get()})) {
        log_message(LOG_LEVEL_ERROR, "Failed to link elements in the streaming pipe");
        return -1;
    }
    if (type != 2 && !add_stream_branch(pipeline, tcp_mux.get(), "tcp-vid-queue", "tcp-vid-ipsrc",
                                        "stream-vid-enc-ipsink")) {
        log_message(LOG_LEVEL_ERROR, "Failed to link video pad of the stream mux.\n");
        return -1;
    }
    if (type != 1 && !add_stream_branch(pipeline, tcp_mux.get(), "tcp-aud-queue", "tcp-aud-ipsrc",
                                        "aud-enc-ipsink")) {
        log_message(LOG_LEVEL_ERROR, "Failed to link audio pad of the stream mux.\n");
        return -1;
    }
    return start_playing(pipeline, PIPE_TCP_STREAM);
}

int make_http_stream(GstElement *pipeline, const char *url) {
    log_message(LOG_LEVEL_INFO, "Creating http stream pipeline.. ");
    GstRef<GstElement> source = make_element("interpipesrc", "http-vid-src");
    GstRef<GstElement> sink = make_element("curlhttpsink", "http-sink");
    if (sink) {
        set_string(sink.get(), "location", url);
    }
    if (!source || !sink) {
        log_message(LOG_LEVEL_ERROR,
                    "One element could not be created in the http stream pipe, basic.");
        return -1;
    }
    set_string(source.get(), "listen-to", "stream-vid-enc-ipsink");
    set_bool(source.get(), "allow-renegotiation", true);
    set_int(source.get(), "stream-sync", 0);
    set_int(source.get(), "format", kFormatTime);
    set_bool(source.get(), "is-live", true);
    add_all(pipeline, {source.get(), sink.get()});
    if (!link_all({source.get(), sink.get()})) {
        log_message(LOG_LEVEL_ERROR, "Failed to link elements in the http streaming pipe");
        return -1;
    }
    http_restart_track(sink.get());
    return start_playing(pipeline, PIPE_HTTP_STREAM);
}

bool is_running(int id) {
    return is_created(id) && !eos_pending(id);
}

// The producers a consumer built with encoding type `type` listens to, in build order; none for
// an HTTP stream without pictures.
std::vector<int> producers_of(int consumer, int type) {
    int video_encoder = consumer == PIPE_RECORD ? PIPE_RECORD_VIDEO_ENC : PIPE_STREAM_VID_ENC;
    std::vector<int> producers;
    // The sound encoder comes first: a record encoder started after it takes its timeline, so
    // that pictures and sound made at the same moment carry the same timestamps.
    if (type != 1 && consumer != PIPE_HTTP_STREAM) {
        producers.push_back(PIPE_AUDIO_ENC);
    }
    if (type != 2) {
        producers.insert(producers.end(), {PIPE_TRANSFORMER, video_encoder});
    }
    return producers;
}

pipe_bus_fd start_producer(int id) {
    switch (id) {
        case PIPE_TRANSFORMER:
            return create_media_vid_xformer();
        case PIPE_RECORD_VIDEO_ENC:
            return create_media_record_vid_enc();
        case PIPE_STREAM_VID_ENC:
            return create_media_stream_vid_enc();
        default:
            return create_media_audio_enc();
    }
}

// Producers claimed by starts under way, whose consumers are not built yet.
std::array<int, PIPE_COUNT> claims{};

// The producers that running consumers other than `except`, or starts under way, listen to,
// by pipe identifier.
std::array<bool, PIPE_COUNT> producers_in_use(int except) {
    std::array<bool, PIPE_COUNT> in_use{};
    for (int producer : kProducers) {
        in_use[producer] = claims[producer] > 0;
    }
    for (int consumer : kConsumers) {
        if (consumer != except && is_running(consumer)) {
            for (int producer : producers_of(consumer, consumer_type[consumer])) {
                in_use[producer] = true;
            }
        }
    }
    return in_use;
}

// Ends every running producer that no consumer but `leaving` listens to, so that no encoder
// runs without a consumer.
void stop_unused_producers(int leaving) {
    std::array<bool, PIPE_COUNT> in_use = producers_in_use(leaving);
    for (int producer : kProducers) {
        if (is_running(producer) && !in_use[producer]) {
            send_eos(producer);
        }
    }
}

// After a failed start of `consumer`: removes the producers the start built that no other
// consumer listens to. Their buses were never registered, and they carried nothing yet: they
// are removed, not drained.
void remove_new_producers(int consumer, const std::vector<int> &producers,
                          const std::array<bool, PIPE_COUNT> &ran_before) {
    std::array<bool, PIPE_COUNT> in_use = producers_in_use(consumer);
    for (int producer : producers) {
        // One still ending is on its way out by itself.
        if (is_created(producer) && !eos_pending(producer) && !ran_before[producer] &&
            !in_use[producer]) {
            discard_pipe(producer);
        }
    }
}

// A start of a consumer under way: its producers, then the consumer itself, each built once
// the one before plays (a consumer joins its producer's timeline) and once its slot is free.
struct ConsumerStart {
    int consumer;
    int type;
    std::vector<int> producers;
    std::array<bool, PIPE_COUNT> ran_before;
    // Makes or finds the consumer's pipe; fd 0 when it cannot be built yet (its recording name
    // is not free), -1 when it failed.
    std::function<pipe_bus_fd(int type)> start;
    Completion done;
    int retries_left;
};

// How often and how long a consumer that cannot be built yet is tried again: a recording
// started within the same second as the one before it would take its name.
constexpr std::chrono::milliseconds kRetryPeriod{50};
constexpr int kRetries = 25;

void release_claims(const ConsumerStart &start) {
    for (int producer : start.producers) {
        --claims[producer];
    }
}

void start_failed(const std::shared_ptr<ConsumerStart> &start) {
    release_claims(*start);
    remove_new_producers(start->consumer, start->producers, start->ran_before);
    start->done(1);
}

void start_step(const std::shared_ptr<ConsumerStart> &start, size_t index);

// Builds (or finds) pipe `index` of the start, then goes on once it plays.
void build_step(const std::shared_ptr<ConsumerStart> &start, size_t index) {
    bool is_consumer = index == start->producers.size();
    int id = is_consumer ? start->consumer : start->producers[index];
    pipe_bus_fd built = is_consumer ? start->start(start->type) : start_producer(id);
    if (built.fd == 0 && start->retries_left-- > 0) {
        timer_after(kRetryPeriod, [start, index] { build_step(start, index); });
        return;
    }
    if (built.fd <= 0) {
        start_failed(start);
        return;
    }
    when_playing(id, Completion([start, index](int result, const std::optional<std::string> &) {
                     if (result != 0) {
                         start_failed(start);
                         return;
                     }
                     start_step(start, index + 1);
                 }));
}

void start_step(const std::shared_ptr<ConsumerStart> &start, size_t index) {
    if (index > start->producers.size()) {
        consumer_type[start->consumer] = start->type;
        release_claims(*start);
        start->done(0);
        return;
    }
    int id = index == start->producers.size() ? start->consumer : start->producers[index];
    // Each pipe is built in a turn of the loop of its own, so that what waits meanwhile (other
    // clients, the buttons) is served between them.
    loop_post(
        [start, index, id] { after_end_of(id, [start, index] { build_step(start, index); }); });
}

// Starts the producers the consumer needs with the current encoding type, then the consumer
// itself (`start` makes or finds it); `done` gets 0 once all play. When a pipe cannot be made
// or play, the producers this start built are removed again unless another consumer listens
// to them, and so is the consumer, and `done` gets 1.
void start_consumer(int consumer, std::function<pipe_bus_fd(int)> start_pipe_of_consumer,
                    Completion done) {
    int type = video_settings().enc_type;
    if (type < 0 || type > 2) {
        log_message(LOG_LEVEL_ERROR, "Unknown encoding type");
    }
    std::vector<int> producers = producers_of(consumer, type);
    if (producers.empty() || !may_start(consumer)) {
        done(1);
        return;
    }
    auto start = std::make_shared<ConsumerStart>(ConsumerStart{consumer,
                                                               type,
                                                               producers,
                                                               {},
                                                               std::move(start_pipe_of_consumer),
                                                               std::move(done),
                                                               kRetries});
    for (int producer : producers) {
        start->ran_before[producer] = is_running(producer);
        ++claims[producer];
    }
    start_step(start, 0);
}

int stop_consumer(int consumer) {
    if (!is_created(consumer)) {
        return 0;
    }
    if (is_running(consumer)) {
        stop_unused_producers(consumer);
    }
    send_eos(consumer);
    return 0;
}

}  // namespace

bool crash_safe_recording() {
    static const bool plain = getenv("MRVDC_PLAIN_RECORDING") != nullptr;
    return !plain;
}

void gstvideo_start_record(RecordingNamer name_recording, Completion done) {
    start_consumer(
        PIPE_RECORD,
        [name_recording](int type) -> pipe_bus_fd {
            if (is_created(PIPE_RECORD)) {
                return start_pipe(PIPE_RECORD, "record-pipe", [](GstElement *) { return 0; });
            }
            // Named only for a new recording, once one that was still ending has left.
            std::optional<std::string> location = name_recording();
            if (!location) {
                return {0, PIPE_RECORD};
            }
            return start_pipe(PIPE_RECORD, "record-pipe", [type, &location](GstElement *pipe) {
                return make_record(pipe, type, location->c_str());
            });
        },
        std::move(done));
}

void gstvideo_start_stream(int port, Completion done) {
    // A stream that runs holds the port itself; one still ending is waited for by the start.
    if (!is_created(PIPE_TCP_STREAM) && !is_stopping(PIPE_TCP_STREAM) && !tcp_port_is_free(port)) {
        log_message(LOG_LEVEL_WARN, "Stream port %d is taken", port);
        done(1);
        return;
    }
    start_consumer(
        PIPE_TCP_STREAM,
        [port](int type) {
            return start_pipe(PIPE_TCP_STREAM, "stream-pipe", [type, port](GstElement *pipeline) {
                return make_stream(pipeline, type, port);
            });
        },
        std::move(done));
}

void gstvideo_start_http_stream(const std::string &url, Completion done) {
    start_consumer(
        PIPE_HTTP_STREAM,
        [url](int) {
            return start_pipe(PIPE_HTTP_STREAM, "http-stream-pipe", [&url](GstElement *pipeline) {
                return make_http_stream(pipeline, url.c_str());
            });
        },
        std::move(done));
}

int gstvideo_stop_record() {
    return stop_consumer(PIPE_RECORD);
}

int gstvideo_stop_stream() {
    return stop_consumer(PIPE_TCP_STREAM);
}

int gstvideo_stop_http_stream() {
    return stop_consumer(PIPE_HTTP_STREAM);
}

void gstvideo_stop_unused_producers() {
    stop_unused_producers(-1);
}

// Tracks the record pipe's fragments so that the end of its last one can stand for an
// end-of-stream that the split sink fails to deliver.
void record_element_message(GstMessage *message) {
    const GstStructure *structure = gst_message_get_structure(message);
    if (!structure) {
        return;
    }
    if (gst_structure_has_name(structure, "splitmuxsink-fragment-opened")) {
        ++record_open_fragments;
        const gchar *location = gst_structure_get_string(structure, "location");
        if (location && crash_safe_recording()) {
            fragment_sync_follow(location);
        }
        set_end_deadline(PIPE_RECORD, kRecordEndTimeoutUs);
    } else if (gst_structure_has_name(structure, "splitmuxsink-fragment-closed")) {
        if (record_open_fragments > 0) {
            --record_open_fragments;
        }
        if (record_open_fragments == 0) {
            set_end_deadline(PIPE_RECORD, kRecordClosedGraceUs);
        }
    }
}

void record_end_sent() {
    // No fragment is being written (the recording got no picture yet): nothing to finish.
    if (record_open_fragments == 0) {
        set_end_deadline(PIPE_RECORD, kRecordClosedGraceUs);
    }
}

void record_released() {
    record_open_fragments = 0;
    fragment_sync_stop();
    media_record_ended();
}
