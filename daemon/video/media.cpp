// Consumers of the shared producers: split MP4 recording, the MPEG-TS server on TCP and the
// H.264 upload over HTTP. A producer runs only while a consumer listens to it.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "core/files.h"
#include "core/log.h"
#include "core/tcp_port.h"
#include "video/elements.h"
#include "video/empty_fragments.h"
#include "video/encoders.h"
#include "video/http_restart.h"
#include "video/registry.h"
#include "video/sound_after_picture.h"

namespace {

constexpr int kFormatTime = 3;
constexpr int kLeakyDownstream = 2;
constexpr gulong kAfterBuildWaitUs = 200000;
constexpr size_t kRecordEntries = 5;
constexpr size_t kStreamEntries = 5;
constexpr size_t kHttpEntries = 4;
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
// Location pattern of the current recording, kept for the flush after its end.
std::optional<std::string> record_file;

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
    if (start_playing(pipeline, PIPE_RECORD) != 0) {
        return -1;
    }
    g_usleep(kAfterBuildWaitUs);
    return 0;
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
    if (start_playing(pipeline, PIPE_TCP_STREAM) != 0) {
        return -1;
    }
    g_usleep(kAfterBuildWaitUs);
    return 0;
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

// The producers that running consumers other than `except` listen to, by pipe identifier.
std::array<bool, PIPE_COUNT> producers_in_use(int except) {
    std::array<bool, PIPE_COUNT> in_use{};
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

// Starts the producers the consumer needs with the current encoding type, then the consumer
// itself (`start` makes or finds it): their bus descriptors in build order, padded with zero
// entries to `size`. None when a pipe cannot be made; the producers this start built are then
// removed again unless another consumer listens to them, and so is the consumer.
template <typename Start>
std::optional<std::vector<pipe_bus_fd>> start_consumer(int consumer, size_t size, Start start) {
    int type = video_settings().enc_type;
    if (type < 0 || type > 2) {
        log_message(LOG_LEVEL_ERROR, "Unknown encoding type");
        return std::nullopt;
    }
    std::vector<int> producers = producers_of(consumer, type);
    if (producers.empty() || !may_start(consumer)) {
        return std::nullopt;
    }
    std::array<bool, PIPE_COUNT> ran_before{};
    for (int producer : producers) {
        ran_before[producer] = is_running(producer);
    }
    std::vector<pipe_bus_fd> entries(size, pipe_bus_fd{0, 0});
    size_t next = 0;
    bool failed = false;
    for (int producer : producers) {
        entries[next] = start_producer(producer);
        failed = entries[next++].fd < 0;
        if (failed) {
            break;
        }
    }
    if (!failed) {
        entries[next] = start(type);
        failed = entries[next].fd < 0;
    }
    if (failed) {
        remove_new_producers(consumer, producers, ran_before);
        return std::nullopt;
    }
    consumer_type[consumer] = type;
    return entries;
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

std::optional<std::vector<pipe_bus_fd>> gstvideo_start_record(
    const RecordingNamer &name_recording) {
    return start_consumer(PIPE_RECORD, kRecordEntries, [&name_recording](int type) {
        return start_pipe(PIPE_RECORD, "record-pipe", [type, &name_recording](GstElement *pipe) {
            // Named only for a new recording, once one that was still ending has flushed its
            // own folder.
            std::optional<std::string> location = name_recording();
            if (!location) {
                return -1;
            }
            int built = make_record(pipe, type, location->c_str());
            if (built == 0) {
                record_file = std::move(location);
            }
            return built;
        });
    });
}

std::optional<std::vector<pipe_bus_fd>> gstvideo_start_stream(int port) {
    // A running stream holds the port itself; one still ending is waited for by the start.
    if (!is_created(PIPE_TCP_STREAM) && !tcp_port_is_free(port)) {
        log_message(LOG_LEVEL_WARN, "Stream port %d is taken", port);
        return std::nullopt;
    }
    return start_consumer(PIPE_TCP_STREAM, kStreamEntries, [port](int type) {
        return start_pipe(PIPE_TCP_STREAM, "stream-pipe", [type, port](GstElement *pipeline) {
            return make_stream(pipeline, type, port);
        });
    });
}

std::optional<std::vector<pipe_bus_fd>> gstvideo_start_http_stream(const char *url) {
    return start_consumer(PIPE_HTTP_STREAM, kHttpEntries, [url](int) {
        return start_pipe(PIPE_HTTP_STREAM, "http-stream-pipe",
                          [url](GstElement *pipeline) { return make_http_stream(pipeline, url); });
    });
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

void media_record_ended() {
    if (record_file) {
        remove_empty_fragments(*record_file);
        flush_folder_of_file(fragment_path(*record_file, 0));
        record_file.reset();
    }
}

void flush_folder_of_file(const std::string &path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    if (DIR *directory = opendir(folder.c_str())) {
        while (const dirent *entry = readdir(directory)) {
            if (entry->d_name[0] == 'v' || entry->d_name[0] == 'i') {
                flush_file((folder + "/" + entry->d_name).c_str());
            }
        }
        closedir(directory);
    }
    flush_file(folder.c_str());
    sync();
}
