// The registry of pipeline slots: creation, state changes, the end-of-stream protocol and the
// bus messages.
#include "video/registry.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "core/event_aggregator.h"
#include "core/log.h"
#include "core/memory.h"
#include "core/sysroot.h"
#include "video/fragment_sync.h"
#include "video/gst_handle.h"
#include "video/http_restart.h"

namespace {

const char *const kShortNames[PIPE_COUNT] = {
    "src",    "display", "record_video_enc", "audio_enc",   "tcp-stream",
    "record", "splash",  "http_stream",      "transformer", "stream_vid_enc",
};

// How long a state query waits for a pending change to settle. A pipeline can stay pending
// for ever (a live sink waiting for a first buffer that never comes); the main thread must
// not, nor long: every client waits meanwhile. A change that data completes settles within a
// few frames.
constexpr GstClockTime kStateQueryWait = 200 * GST_MSECOND;
// How long a start waits to learn whether a new pipeline reaches PLAYING; one that is slower
// than that is taken as started. A sink that cannot open fails within the change to PAUSED,
// before any wait; a pipeline without pictures (the camera gone) never gets there, and a
// recording starts up to four pipes, so each may hold the main loop only briefly: together
// well within the second in which the daemon answers.
constexpr GstClockTime kStartWait = 150 * GST_MSECOND;

// How long a pipe may take to deliver its end-of-stream before it is torn down anyway. The
// record pipe finishes an MP4 file first, so it gets longer; once its last fragment has been
// closed after the end-of-stream, its files are complete and a short grace is enough.
constexpr gint64 kEosTimeoutUs = 5 * G_USEC_PER_SEC;
constexpr gint64 kRecordEosTimeoutUs = 10 * G_USEC_PER_SEC;
constexpr gint64 kRecordClosedGraceUs = G_USEC_PER_SEC / 2;
// How long the stop of the daemon waits for its pipes to end before tearing down the rest: a
// sight that is switched off must go within seconds. A recording's fragments keep an index
// that is at most half a second old, so one torn down is still played up to about there.
constexpr gint64 kDrainUs = 3 * G_USEC_PER_SEC;
// How long a start waits for a pipe of the same slot that is ending: a sound pipe ends within a
// few frames; for one that does not, the start fails rather than hold the main loop until the
// pipe's deadline.
constexpr gint64 kEndWaitUs = 400 * G_USEC_PER_SEC / 1000;

gstvideo_configs configs{};
GstRef<GstElement> pipes[PIPE_COUNT];
GstRef<GstBus> buses[PIPE_COUNT];
bool eos_events[PIPE_COUNT];
gint64 eos_deadline[PIPE_COUNT];
// Fragments of the record pipe that were opened and not yet closed.
int record_open_fragments = 0;
// Set once every pipe was asked to stop: the daemon is on its way out and starts nothing, and
// tears down at `drain_deadline` whatever has not ended.
bool closing = false;
gint64 drain_deadline = 0;

bool valid_id(int id) {
    return id >= 0 && id < PIPE_COUNT;
}

// The shared encoders and the transformer, which feed the record and stream pipes.
bool is_producer(int id) {
    return id == PIPE_TRANSFORMER || id == PIPE_RECORD_VIDEO_ENC || id == PIPE_STREAM_VID_ENC ||
           id == PIPE_AUDIO_ENC;
}

gint64 eos_timeout(int id) {
    return id == PIPE_RECORD ? kRecordEosTimeoutUs : kEosTimeoutUs;
}

int set_pipe_state(int id, GstState state) {
    return gstvideo_set_state(pipes[id].get(), state);
}

// Empties the slot. The bus descriptor leaves the event aggregator before the bus is released:
// once closed, its number can be handed to the next descriptor opened (another pipe's bus, a
// client), which an entry left behind would then shadow.
void release_pipe(int id) {
    GstElement *pipeline = pipes[id].get();
    if (gstvideo_set_state(pipeline, GST_STATE_NULL) != 0) {
        // A pipeline that cannot be queried is stopped all the same before it is released.
        gst_element_set_state(pipeline, GST_STATE_NULL);
    }
    live_forget_pipeline(pipeline);
    encoders_forget_pipeline(pipeline);
    if (id == PIPE_HTTP_STREAM) {
        http_restart_forget();
    }
    ea_unregister_event(get_bus_filefd(buses[id].get()));
    buses[id].reset();
    pipes[id].reset();
    eos_events[id] = false;
    hand_back_free_memory();
}

void destroy_pipe(int id) {
    log_message(LOG_LEVEL_INFO, "Got EoS event on pipe %d", id);
    release_pipe(id);
    if (id == PIPE_RECORD) {
        record_open_fragments = 0;
        fragment_sync_stop();
        media_record_ended();
    }
}

void tear_down_overdue(int id) {
    log_message(LOG_LEVEL_WARN,
                "Pipe %d did not deliver its end-of-stream in time, tearing it down", id);
    destroy_pipe(id);
}

// Tracks the record pipe's fragments so that the end of its last one can stand for an
// end-of-stream that the split sink fails to deliver.
void track_record_fragment(GstMessage *message) {
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
        if (eos_events[PIPE_RECORD]) {
            eos_deadline[PIPE_RECORD] = g_get_monotonic_time() + kRecordEosTimeoutUs;
        }
    } else if (gst_structure_has_name(structure, "splitmuxsink-fragment-closed")) {
        if (record_open_fragments > 0) {
            --record_open_fragments;
        }
        if (eos_events[PIPE_RECORD] && record_open_fragments == 0) {
            gint64 grace = g_get_monotonic_time() + kRecordClosedGraceUs;
            if (grace < eos_deadline[PIPE_RECORD]) {
                eos_deadline[PIPE_RECORD] = grace;
            }
        }
    }
}

int message_handle(GstMessage *message, int id) {
    GstObject *source = GST_MESSAGE_SRC(message);
    GText path(source ? gst_object_get_path_string(source) : g_strdup("(NULL)"));
    int result = 0;
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
            destroy_pipe(id);
            result = 1;
            break;
        case GST_MESSAGE_ERROR:
        case GST_MESSAGE_WARNING:
        case GST_MESSAGE_INFO: {
            GError *raw_error = nullptr;
            gchar *raw_debug = nullptr;
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
                gst_message_parse_error(message, &raw_error, &raw_debug);
            } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING) {
                gst_message_parse_warning(message, &raw_error, &raw_debug);
            } else {
                gst_message_parse_info(message, &raw_error, &raw_debug);
            }
            GErrorPtr error(raw_error);
            GText debug(raw_debug);
            const char *text = error ? error->message : "(NULL)";
            if (id == PIPE_HTTP_STREAM && source &&
                strcmp(GST_MESSAGE_SRC_NAME(message), "http-sink") == 0) {
                // The upload's failures restart it, told in one line per restart.
                http_restart_sink_failed(path.get(), text);
                break;
            }
            log_message(LOG_LEVEL_WARN, "from element %s: %s", path.get(), text);
            if (debug) {
                log_message(LOG_LEVEL_WARN, "%s", debug.get());
            }
            break;
        }
        case GST_MESSAGE_ELEMENT:
            if (id == PIPE_RECORD) {
                track_record_fragment(message);
            }
            break;
        default:
            break;
    }
    return result;
}

}  // namespace

gstvideo_configs &video_settings() {
    return configs;
}

const char *gstvideo_pipe_short_name(int id) {
    return valid_id(id) ? kShortNames[id] : nullptr;
}

GstElement *pipeline_of(int id) {
    return valid_id(id) ? pipes[id].get() : nullptr;
}

bool is_created(int id) {
    return pipeline_of(id) != nullptr;
}

bool eos_pending(int id) {
    return valid_id(id) && eos_events[id];
}

int gstvideo_init(const gstvideo_configs &settings) {
    if (gst_is_initialized()) {
        return 0;
    }
    GError *raw_error = nullptr;
    gst_init_check(nullptr, nullptr, &raw_error);
    GErrorPtr error(raw_error);
    if (!gst_is_initialized()) {
        return 1;
    }
    GText version(gst_version_string());
    log_message(LOG_LEVEL_INFO, "Gstreamer initialized, verison: %s", version.get());
    configs = settings;
    configs.mic_volume = settings.mic_volume / kMicScale;
    return 0;
}

void gstvideo_destroy() {
    for (int id = 0; id < PIPE_COUNT; ++id) {
        if (pipes[id]) {
            release_pipe(id);
        }
    }
    if (gst_is_initialized()) {
        gst_deinit();
    }
}

int get_bus_filefd(GstBus *bus) {
    GPollFD poll_fd{-1, 0, 0};
    gst_bus_get_pollfd(bus, &poll_fd);
    return poll_fd.fd;
}

int create_pipeline(int id, const char *name) {
    if (!pipes[id]) {
        GstElement *pipeline = gst_pipeline_new(name);
        if (!pipeline) {
            return -1;
        }
        pipes[id] = gst_take_floating(pipeline);
        buses[id].reset(gst_element_get_bus(pipeline));
    }
    return get_bus_filefd(buses[id].get());
}

int gstvideo_set_state(GstElement *element, GstState target) {
    GstState current = GST_STATE_VOID_PENDING;
    GstStateChangeReturn query = gst_element_get_state(element, &current, nullptr, kStateQueryWait);
    if (query == GST_STATE_CHANGE_ASYNC) {
        return -1;
    }
    if (current == target) {
        return 0;
    }
    GText name(gst_element_get_name(element));
    gst_element_set_state(element, target);
    if (query == GST_STATE_CHANGE_SUCCESS || query == GST_STATE_CHANGE_NO_PREROLL) {
        log_message(LOG_LEVEL_DEBUG, "Changed state of element %s to %d", name.get(), target);
        return 0;
    }
    log_message(LOG_LEVEL_DEBUG, "Failed to change state of element %s to %d", name.get(), target);
    return -1;
}

bool join_timeline_of(GstElement *pipeline, int id) {
    int producer = -1;
    switch (id) {
        case PIPE_STREAM_VID_ENC:
            producer = PIPE_TRANSFORMER;
            break;
        case PIPE_HTTP_STREAM:
            producer = PIPE_STREAM_VID_ENC;
            break;
        case PIPE_TCP_STREAM:
            producer = configs.enc_type == 2 ? PIPE_AUDIO_ENC : PIPE_STREAM_VID_ENC;
            break;
        case PIPE_RECORD_VIDEO_ENC:
            // Pictures and sound meet in the record pipe with their timestamps as they are.
            producer = configs.enc_type == 0 ? PIPE_AUDIO_ENC : -1;
            break;
        default:
            return true;
    }
    GstElement *reference = pipeline_of(producer);
    if (!reference) {
        return true;
    }
    GstRef<GstClock> clock(gst_pipeline_get_clock(GST_PIPELINE(reference)));
    gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock.get());
    // Going to PAUSED resets the start time; from there on the base time stays as set.
    if (gst_element_set_state(pipeline, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
        return false;
    }
    gst_element_set_start_time(pipeline, GST_CLOCK_TIME_NONE);
    gst_element_set_base_time(pipeline, gst_element_get_base_time(reference));
    return true;
}

// Where the end-of-stream of a pipe enters, in order. A plain base source takes it on its
// streaming thread, and handing it over waits until that thread is free. The split sink of the
// record pipe holds the sound back while the pictures lag behind it, so the pictures end
// first: once their producer has stopped, only their end-of-stream lets the sound through.
std::vector<GstRef<GstElement>> eos_entry_points(int id) {
    GstBin *bin = GST_BIN(pipes[id].get());
    std::vector<const char *> names;
    if (id == PIPE_RECORD) {
        names = {"rec-vid-ipsrc", "rec-aud-ipsrc"};
    }
    std::vector<GstRef<GstElement>> entries;
    for (const char *name : names) {
        GstRef<GstElement> element(gst_bin_get_by_name(bin, name));
        if (element) {
            entries.push_back(std::move(element));
        }
    }
    if (entries.empty()) {
        entries.push_back(gst_add_ref(pipes[id].get()));
    }
    return entries;
}

// Stands an end-of-stream in for the buffer about to pass, on the streaming thread that
// carries it. Pushing it again on a pad that has ended is refused, and the pictures that follow
// are refused before they reach this probe.
GstPadProbeReturn end_instead_of_buffer(GstPad *pad, GstPadProbeInfo *, gpointer) {
    gst_pad_push_event(pad, gst_event_new_eos());
    return GST_PAD_PROBE_DROP;
}

// Where the end-of-stream enters on the source's own streaming thread, in place of its next
// buffer, rather than being handed to the source from the main thread, which waits for that
// thread to be free:
// - the still picture never ends by itself, and its source pushes the next picture as soon as
//   the last one has left, so it holds its stream lock nearly all the time (seconds of wait);
// - the sound source waits for samples holding that lock, and a sound server that stops
//   giving any would hold the main thread for good.
// A source that stalls so never delivers the end; its pipe's deadline removes it.
const char *end_at_next_buffer_of(int id) {
    switch (id) {
        case PIPE_SPLASH:
            return "splash-image-freeze";
        case PIPE_AUDIO_ENC:
            return "audio-src";
        default:
            return nullptr;
    }
}

bool end_at_next_buffer(int id) {
    const char *name = end_at_next_buffer_of(id);
    GstRef<GstElement> source(name ? gst_bin_get_by_name(GST_BIN(pipes[id].get()), name) : nullptr);
    GstRef<GstPad> pad(source ? gst_element_get_static_pad(source.get(), "src") : nullptr);
    return pad && gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, end_instead_of_buffer,
                                    nullptr, nullptr) != 0;
}

void send_eos(int id) {
    if (eos_events[id]) {
        log_message(LOG_LEVEL_INFO, "EOS to pipe: %d already sent.", id);
        return;
    }
    log_message(LOG_LEVEL_INFO, "Sending eos on pipe: %d", id);
    GstState current = GST_STATE_VOID_PENDING;
    GstState pending = GST_STATE_VOID_PENDING;
    gst_element_get_state(pipes[id].get(), &current, &pending, 0);
    bool paused = current == GST_STATE_PAUSED || pending == GST_STATE_PAUSED;
    if ((current == GST_STATE_NULL && pending == GST_STATE_VOID_PENDING) ||
        (paused && is_producer(id))) {
        // Stopped (waiting for a restart), nothing flows that could carry an end. A paused
        // producer has nothing to finish, and playing again it would hand pictures held since
        // the pause to consumers that are ending, out of their time order.
        destroy_pipe(id);
        return;
    }
    // Any other paused pipeline plays again to end: held in PAUSED, a live source never hands
    // on the end-of-stream (the recording would lose its index), and in one whose source is
    // not live the streaming thread waits in the sink, so handing the end-of-stream over would
    // wait for it on the main thread for ever.
    if (paused) {
        gst_element_set_state(pipes[id].get(), GST_STATE_PLAYING);
    }
    if (!end_at_next_buffer(id)) {
        for (const GstRef<GstElement> &entry : eos_entry_points(id)) {
            gst_element_send_event(entry.get(), gst_event_new_eos());
        }
    }
    eos_events[id] = true;
    eos_deadline[id] = g_get_monotonic_time() + eos_timeout(id);
}

pipe_bus_fd gstvideo_start_pipe(int id) {
    if (is_created(id)) {
        return {-1, id};
    }
    switch (id) {
        case PIPE_DISPLAY:
            return gstvideo_start_display();
        case PIPE_SRC:
            return gstvideo_start_video_src(sysroot_path("/opt/us/osd_us/qml/main.qml").c_str());
        case PIPE_SPLASH:
            return gstvideo_start_splash(sysroot_path("/opt/us/osd_us/qml/main.qml").c_str(),
                                         sysroot_path("/etc/no-video-input.png").c_str());
        default:
            return {-1, id};
    }
}

int gstvideo_stop_pipe(int id) {
    if (is_created(id)) {
        send_eos(id);
    }
    return 0;
}

int gstvideo_pause_pipe(int id) {
    if (!is_created(id)) {
        return 1;
    }
    return set_pipe_state(id, GST_STATE_PAUSED);
}

int gstvideo_resume_pipe(int id) {
    if (!is_created(id)) {
        return 1;
    }
    return set_pipe_state(id, GST_STATE_PLAYING);
}

int gstvideo_pause_all_pipes() {
    log_message(LOG_LEVEL_INFO, "Requesting pause of all pipes..");
    for (int id = 0; id < PIPE_COUNT; ++id) {
        if (pipes[id] && set_pipe_state(id, GST_STATE_PAUSED) != 0) {
            log_message(LOG_LEVEL_WARN, "Failed to pause pipe %d", id);
            return 1;
        }
    }
    return 0;
}

int gstvideo_resume_all_pipes() {
    log_message(LOG_LEVEL_INFO, "Requesting resume of all pipes..");
    for (int id = 0; id < PIPE_COUNT; ++id) {
        if (pipes[id] && set_pipe_state(id, GST_STATE_PLAYING) != 0) {
            log_message(LOG_LEVEL_WARN, "Failed to resume pipe %d", id);
            return 1;
        }
    }
    return 0;
}

void gstvideo_stop_all_pipes() {
    log_message(LOG_LEVEL_INFO, "Requesting stop of all pipes..");
    closing = true;
    drain_deadline = g_get_monotonic_time() + kDrainUs;
    for (int id = 0; id < PIPE_COUNT; ++id) {
        if (pipes[id]) {
            send_eos(id);
        }
    }
}

int gstvideo_are_pipes_closed() {
    for (const auto &pipe : pipes) {
        if (pipe) {
            return 0;
        }
    }
    return 1;
}

int gstvideo_is_playing(int id) {
    return is_created(id) ? 1 : 0;
}

int gstvideo_process_message(int id) {
    if (!valid_id(id) || !buses[id]) {
        // An entry of a batch whose pipe an earlier handler of the same batch ended.
        return 0;
    }
    GstRef<GstMessage> message(gst_bus_pop(buses[id].get()));
    if (!message) {
        return 0;
    }
    return message_handle(message.get(), id);
}

std::vector<int> gstvideo_check_deadlines() {
    std::vector<int> ended;
    gint64 now = g_get_monotonic_time();
    for (int id = 0; id < PIPE_COUNT; ++id) {
        bool overdue = now >= eos_deadline[id] || (closing && now >= drain_deadline);
        if (pipes[id] && eos_events[id] && overdue) {
            tear_down_overdue(id);
            ended.push_back(id);
        }
    }
    http_restart_when_due();
    return ended;
}

bool may_start(int id) {
    if (closing) {
        log_message(LOG_LEVEL_WARN, "Pipe %d not started: the video is stopping", id);
    }
    return !closing;
}

bool wait_for_end(int id) {
    log_message(LOG_LEVEL_INFO, "Pipe %d is ending, waiting for its end", id);
    const gint64 give_up = g_get_monotonic_time() + kEndWaitUs;
    while (pipes[id]) {
        gint64 now = g_get_monotonic_time();
        if (now >= eos_deadline[id]) {
            tear_down_overdue(id);
            break;
        }
        gint64 left = std::min(eos_deadline[id], give_up) - now;
        if (left <= 0) {
            return false;
        }
        GstRef<GstMessage> message(gst_bus_timed_pop(buses[id].get(), left * GST_USECOND));
        if (message) {
            message_handle(message.get(), id);
        }
    }
    return true;
}

void discard_pipe(int id) {
    log_message(LOG_LEVEL_INFO, "Pipe %d removed", id);
    release_pipe(id);
}

int start_playing(GstElement *pipeline, int id) {
    GstStateChangeReturn result = GST_STATE_CHANGE_FAILURE;
    if (join_timeline_of(pipeline, id)) {
        result = gst_element_set_state(pipeline, GST_STATE_PLAYING);
    }
    if (result == GST_STATE_CHANGE_ASYNC) {
        result = gst_element_get_state(pipeline, nullptr, nullptr, kStartWait);
    }
    // Some sinks tell a failure to open (a port already taken) only by an error message and
    // change state all the same, to play on without a device. The upload's failures are left
    // to its restarts: its server may come back.
    GstRef<GstMessage> error;
    if (id != PIPE_HTTP_STREAM) {
        GstRef<GstBus> bus(gst_element_get_bus(pipeline));
        error.reset(gst_bus_pop_filtered(bus.get(), GST_MESSAGE_ERROR));
    }
    if (error) {
        GError *raw_error = nullptr;
        gst_message_parse_error(error.get(), &raw_error, nullptr);
        GErrorPtr parsed(raw_error);
        log_message(LOG_LEVEL_WARN, "from element %s: %s", GST_MESSAGE_SRC_NAME(error.get()),
                    parsed ? parsed->message : "(NULL)");
    }
    return result == GST_STATE_CHANGE_FAILURE || error ? -1 : 0;
}
