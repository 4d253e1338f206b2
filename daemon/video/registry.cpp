// The registry of pipeline slots: creation, the slot states and their one transition
// function, the end-of-stream protocol, the bus messages, and the state changes that clients
// ask for. Nothing here waits: what takes time is told later, by the bus or by a deadline.
#include "video/registry.h"

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "core/event_aggregator.h"
#include "core/log.h"
#include "core/loop_tasks.h"
#include "core/memory.h"
#include "core/serial_worker.h"
#include "core/sysroot.h"
#include "core/timer_list.h"
#include "video/gst_handle.h"

namespace {

using std::chrono::milliseconds;

// How long a start waits to learn whether a new pipeline reaches PLAYING; one that is slower
// than that is taken as started. A sink that cannot open fails within the change to PAUSED,
// before any wait; a pipeline without pictures (the camera gone) never gets there.
constexpr milliseconds kStartWait{150};
// How long a state change asked for by a client waits for a pending one to settle, and how
// often it looks again meanwhile.
constexpr milliseconds kSettleWait{200};
constexpr milliseconds kSettleLook{10};
// How long the stop of the daemon waits for its pipes to end before tearing down the rest: a
// sight that is switched off must go within seconds. A recording's fragments keep an index
// that is at most half a second old, so one torn down is still played up to about there.
constexpr milliseconds kDrain{3000};

// A slot goes Empty -> Starting -> Playing -> Ending -> Stopping -> Empty; a start that fails
// or a pipe that is torn down skips to Stopping. Only `enter` changes it.
enum class SlotState { Empty, Starting, Playing, Ending, Stopping };

const char *const kStateNames[] = {"empty", "starting", "playing", "ending", "stopping"};

struct Slot {
    GstRef<GstElement> pipeline;
    // Counts the pipelines the slot has held, so that a late report finds out whether it is
    // about the one there now.
    unsigned generation = 0;
    GstRef<GstBus> bus;
    SlotState state = SlotState::Empty;
    // The deadline of the state: taken as started, or torn down.
    TimerId deadline = 0;
    // Starts waiting for this pipe to play, and for the slot to be free again.
    std::vector<Completion> until_playing;
    std::vector<std::function<void()>> after_end;
};

gstvideo_configs configs{};
// Pipeline state changes that join or start streaming threads, in the order asked for: a stop
// never overtakes the start before it.
SerialWorker state_worker;
std::array<Slot, PIPE_COUNT> slots;
// Set once every pipe was asked to stop: the daemon is on its way out and starts nothing.
bool closing = false;
std::function<void(int)> pipe_left_hook;

bool valid_id(int id) {
    return id >= 0 && id < PIPE_COUNT;
}

void tear_down_overdue(int id);

void arm_deadline(int id, milliseconds delay, void (*expired)(int)) {
    slots[id].deadline = timer_after(delay, [id, expired] {
        slots[id].deadline = 0;
        expired(id);
    });
}

void taken_as_started(int id);

// Ends every start waiting for the slot's pipe to play with `result`.
void tell_starts(Slot &slot, int result) {
    for (Completion &done : std::exchange(slot.until_playing, {})) {
        done(result);
    }
}

// The one transition of a slot: the deadline of the old state goes, the new state's is set,
// and whoever waits for the new state is told.
void enter(int id, SlotState next) {
    Slot &slot = slots[id];
    log_message(LOG_LEVEL_DEBUG, "Pipe %d: %s -> %s", id, kStateNames[int(slot.state)],
                kStateNames[int(next)]);
    timer_cancel(std::exchange(slot.deadline, 0));
    slot.state = next;
    switch (next) {
        case SlotState::Starting:
            arm_deadline(id, kStartWait, taken_as_started);
            break;
        case SlotState::Playing:
            tell_starts(slot, 0);
            break;
        case SlotState::Ending:
            arm_deadline(id, milliseconds(pipe_kind(id).end_timeout_us / 1000), tear_down_overdue);
            break;
        case SlotState::Stopping:
            // A start that never got to play has failed.
            tell_starts(slot, 1);
            break;
        case SlotState::Empty:
            for (std::function<void()> &next_start : std::exchange(slot.after_end, {})) {
                next_start();
            }
            break;
    }
}

void taken_as_started(int id) {
    enter(id, SlotState::Playing);
}

// Empties the slot: the bus descriptor leaves the event aggregator before the bus is
// released (once closed, its number can be handed to the next descriptor opened, which an
// entry left behind would then shadow), the modules drop their handles, and the pipeline is
// stopped off the loop; the slot takes a new pipe once it has stopped.
void release_pipe(int id) {
    Slot &slot = slots[id];
    GstRef<GstElement> pipeline = std::move(slot.pipeline);
    live_forget_pipeline(pipeline.get());
    encoders_forget_pipeline(pipeline.get());
    ea_unregister_event(get_bus_filefd(slot.bus.get()));
    slot.bus.reset();
    enter(id, SlotState::Stopping);
    if (void (*released)() = pipe_kind(id).on_released) {
        released();
    }
    stop_off_loop(std::move(pipeline), [id] { enter(id, SlotState::Empty); });
}

// A pipe that ended (or was torn down) leaves its slot and the daemon is told.
void pipe_left(int id) {
    release_pipe(id);
    if (pipe_left_hook) {
        pipe_left_hook(id);
    }
}

void tear_down_overdue(int id) {
    log_message(LOG_LEVEL_WARN,
                "Pipe %d did not deliver its end-of-stream in time, tearing it down", id);
    log_message(LOG_LEVEL_INFO, "Got EoS event on pipe %d", id);
    pipe_left(id);
}

void log_failure(GstMessage *message, int id, const char *path) {
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
    auto handled = pipe_kind(id).on_failure;
    if (handled && handled(message, path, text)) {
        return;
    }
    log_message(LOG_LEVEL_WARN, "from element %s: %s", path, text);
    if (debug) {
        log_message(LOG_LEVEL_WARN, "%s", debug.get());
    }
    // Some sinks tell a failure to open (a port already taken) only by an error message and
    // change state all the same, to play on without a device: the start has failed. A pipe
    // that restarts on its failures (the upload, whose server may come back) leaves them to
    // its restarts.
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR && slots[id].state == SlotState::Starting &&
        !handled) {
        discard_pipe(id);
    }
}

bool reached_playing(GstMessage *message, int id) {
    if (GST_MESSAGE_SRC(message) != GST_OBJECT(slots[id].pipeline.get())) {
        return false;
    }
    GstState new_state = GST_STATE_VOID_PENDING;
    gst_message_parse_state_changed(message, nullptr, &new_state, nullptr);
    return new_state == GST_STATE_PLAYING;
}

// 1 when the pipe has ended with this message.
int message_handle(GstMessage *message, int id) {
    GstObject *source = GST_MESSAGE_SRC(message);
    GText path(source ? gst_object_get_path_string(source) : g_strdup("(NULL)"));
    switch (GST_MESSAGE_TYPE(message)) {
        case GST_MESSAGE_EOS:
            if (slots[id].state != SlotState::Ending && pipe_kind(id).restarting &&
                pipe_kind(id).restarting()) {
                break;
            }
            log_message(LOG_LEVEL_INFO, "Got EoS event on pipe %d", id);
            pipe_left(id);
            return 1;
        case GST_MESSAGE_ERROR:
        case GST_MESSAGE_WARNING:
        case GST_MESSAGE_INFO:
            log_failure(message, id, path.get());
            break;
        case GST_MESSAGE_STATE_CHANGED:
            if (slots[id].state == SlotState::Starting && reached_playing(message, id)) {
                enter(id, SlotState::Playing);
            }
            break;
        case GST_MESSAGE_ELEMENT:
            if (auto on_element = pipe_kind(id).on_element_message) {
                on_element(message);
            }
            break;
        default:
            break;
    }
    return 0;
}

// Changes a pipe's state once a pending change has settled: `done` gets 0, or -1 when a change
// is still pending after kSettleWait or the pipe's state is failed.
void change_state_when_settled(int id, GstState target, Completion done, int looks_left) {
    GstElement *pipeline = is_created(id) ? slots[id].pipeline.get() : nullptr;
    if (!pipeline) {
        done(1);
        return;
    }
    GstState current = GST_STATE_VOID_PENDING;
    GstStateChangeReturn query = gst_element_get_state(pipeline, &current, nullptr, 0);
    if (query == GST_STATE_CHANGE_ASYNC) {
        if (looks_left <= 0) {
            done(-1);
            return;
        }
        timer_after(kSettleLook, [id, target, done, looks_left] {
            change_state_when_settled(id, target, done, looks_left - 1);
        });
        return;
    }
    if (current == target) {
        done(0);
        return;
    }
    bool settled = query == GST_STATE_CHANGE_SUCCESS || query == GST_STATE_CHANGE_NO_PREROLL;
    log_message(LOG_LEVEL_DEBUG, "%s state of pipe %d to %d",
                settled ? "Changing" : "Failed to change", id, target);
    // The change itself runs off the loop, after any asked for before; the pipe's state was
    // settled, so it is told as done.
    auto changing = std::make_shared<GstRef<GstElement>>(gst_add_ref(pipeline));
    state_worker.run(
        [changing, target] {
            gst_element_set_state(changing->get(), target);
            changing->reset();
            return 0;
        },
        [done, settled](int) { done(settled ? 0 : -1); });
}

void change_state(int id, GstState target, Completion done) {
    constexpr int kLooks = static_cast<int>(kSettleWait / kSettleLook);
    change_state_when_settled(id, target, std::move(done), kLooks);
}

// Changes every existing pipe's state in identifier order, stopping at the first failure.
void change_all_states(int from, GstState target, Completion done) {
    int id = from;
    while (id < PIPE_COUNT && !is_created(id)) {
        ++id;
    }
    if (id == PIPE_COUNT) {
        done(0);
        return;
    }
    change_state(id, target, Completion([id, target, done](int result, const auto &) {
                     if (result == 0) {
                         change_all_states(id + 1, target, done);
                         return;
                     }
                     if (target == GST_STATE_PAUSED) {
                         log_message(LOG_LEVEL_WARN, "Failed to pause pipe %d", id);
                     } else {
                         log_message(LOG_LEVEL_WARN, "Failed to resume pipe %d", id);
                     }
                     done(1);
                 }));
}

}  // namespace

gstvideo_configs &video_settings() {
    return configs;
}

const char *gstvideo_pipe_short_name(int id) {
    return valid_id(id) ? pipe_kind(id).short_name : nullptr;
}

GstElement *pipeline_of(int id) {
    return valid_id(id) ? slots[id].pipeline.get() : nullptr;
}

bool is_created(int id) {
    return pipeline_of(id) != nullptr;
}

bool eos_pending(int id) {
    return valid_id(id) && slots[id].state == SlotState::Ending;
}

bool is_stopping(int id) {
    return valid_id(id) && slots[id].state == SlotState::Stopping;
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
    warm_up_pipe_elements();
    return 0;
}

void gstvideo_on_pipe_left(std::function<void(int)> hook) {
    pipe_left_hook = std::move(hook);
}

void gstvideo_destroy() {
    state_worker.finish();
    // At exit nothing else runs: what is left stops here.
    for (Slot &slot : slots) {
        if (slot.pipeline) {
            ea_unregister_event(get_bus_filefd(slot.bus.get()));
            live_forget_pipeline(slot.pipeline.get());
            encoders_forget_pipeline(slot.pipeline.get());
            gst_element_set_state(slot.pipeline.get(), GST_STATE_NULL);
            slot.pipeline.reset();
            slot.bus.reset();
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
    Slot &slot = slots[id];
    if (!slot.pipeline) {
        GstElement *pipeline = gst_pipeline_new(name);
        if (!pipeline) {
            return -1;
        }
        slot.pipeline = gst_take_floating(pipeline);
        ++slot.generation;
        slot.bus.reset(gst_element_get_bus(pipeline));
        int fd = get_bus_filefd(slot.bus.get());
        if (ea_register_event(fd, EA_PIPE_BUS, static_cast<uintptr_t>(id)) != 0) {
            log_message(LOG_LEVEL_WARN, "Failed to watch the bus of pipe %d", id);
        }
    }
    return get_bus_filefd(slot.bus.get());
}

void pipe_built(int id) {
    enter(id, SlotState::Starting);
    GstState current = GST_STATE_VOID_PENDING;
    GstStateChangeReturn query =
        gst_element_get_state(slots[id].pipeline.get(), &current, nullptr, 0);
    if (query != GST_STATE_CHANGE_ASYNC && current == GST_STATE_PLAYING) {
        enter(id, SlotState::Playing);
    }
}

void stop_off_loop(GstRef<GstElement> pipeline, std::function<void()> then) {
    // The job owns the pipeline: its last reference goes on the worker, once it has stopped.
    auto stopping = std::make_shared<GstRef<GstElement>>(std::move(pipeline));
    state_worker.run(
        [stopping] {
            if (*stopping) {
                gst_element_set_state(stopping->get(), GST_STATE_NULL);
                stopping->reset();
                // What the pipeline's buffers held goes back to the system.
                hand_back_free_memory();
            }
            return 0;
        },
        [then = std::move(then)](int) { then(); });
}

namespace {

// The timeline a pipe joins (see play_off_loop): its producer's clock and base time.
struct Timeline {
    GstRef<GstClock> clock;
    GstClockTime base_time;
};

std::shared_ptr<Timeline> timeline_for(int id) {
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
            break;
    }
    GstElement *reference = pipeline_of(producer);
    if (!reference) {
        return nullptr;
    }
    return std::make_shared<Timeline>(
        Timeline{GstRef<GstClock>(gst_pipeline_get_clock(GST_PIPELINE(reference))),
                 gst_element_get_base_time(reference)});
}

// On any thread: joins the timeline, if any, and sets the pipeline playing; false when a
// change fails at once (a sink that cannot open its device or port).
bool join_and_play(GstElement *pipeline, const Timeline *timeline) {
    if (timeline) {
        gst_pipeline_use_clock(GST_PIPELINE(pipeline), timeline->clock.get());
        // Going to PAUSED resets the start time; from there on the base time stays as set.
        if (gst_element_set_state(pipeline, GST_STATE_PAUSED) == GST_STATE_CHANGE_FAILURE) {
            return false;
        }
        gst_element_set_start_time(pipeline, GST_CLOCK_TIME_NONE);
        gst_element_set_base_time(pipeline, timeline->base_time);
    }
    return gst_element_set_state(pipeline, GST_STATE_PLAYING) != GST_STATE_CHANGE_FAILURE;
}

}  // namespace

void play_off_loop(GstElement *pipeline, int id, std::function<void()> on_failure) {
    auto playing = std::make_shared<GstRef<GstElement>>(gst_add_ref(pipeline));
    std::shared_ptr<Timeline> timeline = timeline_for(id);
    state_worker.run(
        [playing, timeline] {
            bool played = join_and_play(playing->get(), timeline.get());
            playing->reset();
            return played ? 0 : -1;
        },
        [id, on_failure = std::move(on_failure)](int result) {
            if (result != 0) {
                log_message(LOG_LEVEL_WARN, "Pipe %d cannot play", id);
                on_failure();
            }
        });
}

namespace {

// Where the end-of-stream of a pipe enters, in the order of its entry.
std::vector<GstRef<GstElement>> eos_entry_points(int id) {
    GstBin *bin = GST_BIN(slots[id].pipeline.get());
    std::vector<GstRef<GstElement>> entries;
    for (const char *name : pipe_kind(id).end_entries) {
        GstRef<GstElement> element(name ? gst_bin_get_by_name(bin, name) : nullptr);
        if (element) {
            entries.push_back(std::move(element));
        }
    }
    if (entries.empty()) {
        entries.push_back(gst_add_ref(slots[id].pipeline.get()));
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

bool end_at_next_buffer(int id) {
    const char *name = pipe_kind(id).end_at_next_buffer;
    GstRef<GstElement> source(name ? gst_bin_get_by_name(GST_BIN(slots[id].pipeline.get()), name)
                                   : nullptr);
    GstRef<GstPad> pad(source ? gst_element_get_static_pad(source.get(), "src") : nullptr);
    return pad && gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, end_instead_of_buffer,
                                    nullptr, nullptr) != 0;
}

}  // namespace

void send_eos(int id) {
    if (eos_pending(id)) {
        log_message(LOG_LEVEL_INFO, "EOS to pipe: %d already sent.", id);
        return;
    }
    log_message(LOG_LEVEL_INFO, "Sending eos on pipe: %d", id);
    GstElement *pipeline = slots[id].pipeline.get();
    GstState current = GST_STATE_VOID_PENDING;
    GstState pending = GST_STATE_VOID_PENDING;
    gst_element_get_state(pipeline, &current, &pending, 0);
    bool paused = current == GST_STATE_PAUSED || pending == GST_STATE_PAUSED;
    if ((current == GST_STATE_NULL && pending == GST_STATE_VOID_PENDING) ||
        (paused && pipe_kind(id).producer)) {
        // Stopped (waiting for a restart), nothing flows that could carry an end. A paused
        // producer has nothing to finish, and playing again it would hand pictures held since
        // the pause to consumers that are ending, out of their time order.
        log_message(LOG_LEVEL_INFO, "Got EoS event on pipe %d", id);
        pipe_left(id);
        return;
    }
    // Any other paused pipeline plays again to end: held in PAUSED, a live source never hands
    // on the end-of-stream (the recording would lose its index), and in one whose source is
    // not live the streaming thread waits in the sink, so handing the end-of-stream over would
    // wait for it on the main thread for ever.
    if (paused) {
        gst_element_set_state(pipeline, GST_STATE_PLAYING);
    }
    // A plain base source takes the end on its streaming thread, and handing it over waits
    // until that thread is free: a source that holds its stream lock gets it in place of its
    // next buffer instead.
    if (!end_at_next_buffer(id)) {
        for (const GstRef<GstElement> &entry : eos_entry_points(id)) {
            gst_element_send_event(entry.get(), gst_event_new_eos());
        }
    }
    enter(id, SlotState::Ending);
    if (void (*end_sent)() = pipe_kind(id).on_end_sent) {
        end_sent();
    }
}

void set_end_deadline(int id, gint64 from_now_us) {
    if (!eos_pending(id)) {
        return;
    }
    timer_cancel(std::exchange(slots[id].deadline, 0));
    arm_deadline(id, milliseconds(from_now_us / 1000), tear_down_overdue);
}

namespace {

pipe_bus_fd start_live_pipe(int id) {
    switch (id) {
        case PIPE_DISPLAY:
            return gstvideo_start_display();
        case PIPE_SRC:
            return gstvideo_start_video_src(sysroot_path("/opt/us/osd_us/qml/main.qml").c_str());
        default:
            return gstvideo_start_splash(sysroot_path("/opt/us/osd_us/qml/main.qml").c_str(),
                                         sysroot_path("/etc/no-video-input.png").c_str());
    }
}

}  // namespace

void gstvideo_start_pipe(int id, Completion done) {
    bool live = id == PIPE_SRC || id == PIPE_DISPLAY || id == PIPE_SPLASH;
    if (!live || (is_created(id) && !eos_pending(id))) {
        done(1);
        return;
    }
    // One that is still ending is built anew once it has gone.
    after_end_of(id, [id, done] { done(is_created(id) || start_live_pipe(id).fd < 0 ? 1 : 0); });
}

int gstvideo_stop_pipe(int id) {
    if (is_created(id)) {
        send_eos(id);
    }
    return 0;
}

void gstvideo_pause_pipe(int id, Completion done) {
    change_state(id, GST_STATE_PAUSED, std::move(done));
}

void gstvideo_resume_pipe(int id, Completion done) {
    change_state(id, GST_STATE_PLAYING, std::move(done));
}

void gstvideo_pause_all_pipes(Completion done) {
    log_message(LOG_LEVEL_INFO, "Requesting pause of all pipes..");
    change_all_states(0, GST_STATE_PAUSED, std::move(done));
}

void gstvideo_resume_all_pipes(Completion done) {
    log_message(LOG_LEVEL_INFO, "Requesting resume of all pipes..");
    change_all_states(0, GST_STATE_PLAYING, std::move(done));
}

void gstvideo_stop_all_pipes() {
    log_message(LOG_LEVEL_INFO, "Requesting stop of all pipes..");
    closing = true;
    timer_after(kDrain, [] {
        for (int id = 0; id < PIPE_COUNT; ++id) {
            if (eos_pending(id)) {
                tear_down_overdue(id);
            }
        }
    });
    for (int id = 0; id < PIPE_COUNT; ++id) {
        if (is_created(id)) {
            send_eos(id);
        }
    }
}

int gstvideo_are_pipes_closed() {
    for (const Slot &slot : slots) {
        if (slot.state != SlotState::Empty) {
            return 0;
        }
    }
    return 1;
}

int gstvideo_is_playing(int id) {
    return is_created(id) ? 1 : 0;
}

int gstvideo_process_message(int id) {
    if (!valid_id(id) || !slots[id].bus) {
        // An entry of a batch whose pipe an earlier handler of the same batch ended.
        return 0;
    }
    GstRef<GstMessage> message(gst_bus_pop(slots[id].bus.get()));
    if (!message) {
        return 0;
    }
    return message_handle(message.get(), id);
}

bool may_start(int id) {
    if (closing) {
        log_message(LOG_LEVEL_WARN, "Pipe %d not started: the video is stopping", id);
    }
    return !closing;
}

void after_end_of(int id, std::function<void()> next) {
    Slot &slot = slots[id];
    if (slot.state == SlotState::Ending || slot.state == SlotState::Stopping) {
        log_message(LOG_LEVEL_INFO, "Pipe %d is ending, the start waits for its end", id);
        slot.after_end.push_back(std::move(next));
        return;
    }
    next();
}

void gstvideo_after_end_of(int id, std::function<void()> next) {
    after_end_of(id, std::move(next));
}

void when_playing(int id, Completion done) {
    Slot &slot = slots[id];
    if (slot.state == SlotState::Playing) {
        done(0);
    } else if (slot.state == SlotState::Starting) {
        slot.until_playing.push_back(std::move(done));
    } else {
        done(1);
    }
}

void discard_pipe(int id) {
    log_message(LOG_LEVEL_INFO, "Pipe %d removed", id);
    release_pipe(id);
}

int start_playing(GstElement *pipeline, int id) {
    unsigned generation = slots[id].generation;
    play_off_loop(pipeline, id, [id, generation] {
        // Unless the pipe has left meanwhile, the start has failed.
        if (slots[id].generation == generation && slots[id].state == SlotState::Starting) {
            discard_pipe(id);
        }
    });
    return 0;
}
