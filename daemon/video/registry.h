// Inside the video subsystem: the registry of pipeline slots that the builders fill, the
// settings copy, and the hooks each builder module offers the registry.
#pragma once

#include <gst/gst.h>

#include <array>
#include <functional>
#include <string>

#include "core/completion.h"

#include "core/log.h"
#include "video/gst_handle.h"
#include "video/gstvideo.h"

// The subsystem's own copy of the settings; its mic_volume field holds the amplification.
gstvideo_configs &video_settings();
// Amplification of the microphone = volume / kMicScale.
constexpr double kMicScale = 2.0;

// What the registry knows of each pipe: how it ends and what happens around its end. One
// entry per pipe identifier (video/pipe_table.cpp).
struct PipeKind {
    const char *short_name = nullptr;
    // How long it may take to deliver its end-of-stream before it is torn down anyway.
    gint64 end_timeout_us = 5 * G_USEC_PER_SEC;
    // Elements that take the end-of-stream, in order (unused entries null); none: the
    // pipeline itself.
    std::array<const char *, 2> end_entries{};
    // An element whose next buffer is replaced by the end-of-stream, on its own streaming
    // thread (a source that holds its stream lock nearly all the time); null when none.
    const char *end_at_next_buffer = nullptr;
    // A shared producer: paused, it has nothing to finish and is torn down instead.
    bool producer = false;
    // An element message of the pipe (the split sink's fragments).
    void (*on_element_message)(GstMessage *message) = nullptr;
    // The end-of-stream was sent (the recording may shorten its deadline).
    void (*on_end_sent)() = nullptr;
    // An error or warning of the pipe: true when handled (the upload's restarts).
    bool (*on_failure)(GstMessage *message, const char *path, const char *text) = nullptr;
    // The pipe has left its slot (its end-of-recording check, no restart).
    void (*on_released)() = nullptr;
    // True while the pipe is stopped for a restart: the end-of-stream its failure left on the
    // bus is not its end.
    bool (*restarting)() = nullptr;
};
const PipeKind &pipe_kind(int id);
// Makes one of each element of the pipes that start on request and drops it, at start-up: the
// first start of each pipe then finds its plug-in loaded and its classes made, instead of
// doing that on the main loop.
void warm_up_pipe_elements();

// The pipeline in slot `id`, or null when the slot is empty (or `id` is out of range).
GstElement *pipeline_of(int id);
// True while the slot holds a pipeline that has not left it (starting, playing or ending).
bool is_created(int id);
// True while an end-of-stream was sent to the pipe and its end is awaited.
bool eos_pending(int id);
// True while the pipe that left slot `id` is still being stopped: the slot takes no new one.
bool is_stopping(int id);

// Makes an empty pipeline in slot `id` unless one exists and registers its bus with the event
// aggregator: the bus descriptor, or -1.
int create_pipeline(int id, const char *name);
int get_bus_filefd(GstBus *bus);
void send_eos(int id);
// Moves the end-of-stream deadline of an ending pipe to `from_now_us` from now.
void set_end_deadline(int id, gint64 from_now_us);
// The stream encoder and the stream consumers take their producer's timestamps as they are
// and end in clock-synchronised sinks, so each plays in the timeline (clock and base time) of
// the producer it listens to. Otherwise one built or restarted after its producer holds every
// buffer back for as long as the producer ran before it. The record encoder stamps its
// pictures with its own running time, and the record pipe keeps them as they are next to the
// audio encoder's sound: with video and audio, it plays in the audio encoder's timeline (whose
// capture clock stays its own), so that a recording started while a stream's audio encoder
// already runs gets its sound in step with its pictures. `pipeline` is (to be) pipe `id`.
// The timeline is taken now; the pipeline joins it and is set playing off the loop, after any
// state change asked for before; `on_failure` runs on the main thread when that fails at once
// (a sink that cannot open its device or port).
void play_off_loop(GstElement *pipeline, int id, std::function<void()> on_failure);

// False, with a warning, once the video was asked to stop: nothing new is built then.
bool may_start(int id);
// Runs `next` once slot `id` is free for a new pipe: at once unless its pipe is ending or still
// stopping, else when it has gone (by its end-of-stream or its deadline's tear-down).
void after_end_of(int id, std::function<void()> next);
// Calls `done` with 0 once pipe `id` plays (or has been starting for longer than a start may
// take, then it is taken as started), with 1 when it failed to start or is not there.
void when_playing(int id, Completion done);
// Removes a pipe that could not be built or started.
void discard_pipe(int id);
// Joins its producer's timeline and sets a freshly built pipe `id` playing off the loop; when
// that fails at once, the pipe is removed (with a warning) and its start fails. Whether it
// gets to PLAYING is told by `when_playing`. 0.
int start_playing(GstElement *pipeline, int id);
// Marks a pipe just built as starting; called by start_pipe.
void pipe_built(int id);
// Stops a pipeline (to NULL, which joins its streaming threads) off the loop, after any state
// change asked for before, then runs `then` on the main thread.
void stop_off_loop(GstRef<GstElement> pipeline, std::function<void()> then);

// The shape every start operation shares: the running pipe's descriptor, or a new pipe made by
// `build` (which returns 0 on success). A pipe that is ending is not handed out, since it is
// about to go: a caller that wants a new one waits with `after_end_of` first. A pipe that could
// not be built is removed.
template <typename Builder>
pipe_bus_fd start_pipe(int id, const char *name, Builder build) {
    pipe_bus_fd result{-1, id};
    if (!may_start(id)) {
        return result;
    }
    if (eos_pending(id) || is_stopping(id)) {
        log_message(LOG_LEVEL_WARN, "Pipe %d not started: it is still ending", id);
        return result;
    }
    if (is_created(id)) {
        result.fd = create_pipeline(id, name);
        return result;
    }
    int fd = create_pipeline(id, name);
    if (fd < 0) {
        return result;
    }
    if (build(pipeline_of(id)) != 0) {
        log_message(LOG_LEVEL_WARN, "Pipe %d could not be started", id);
        discard_pipe(id);
        return result;
    }
    pipe_built(id);
    result.fd = fd;
    return result;
}

// Hooks run when a pipeline leaves its slot: each module drops the element handles it keeps
// inside that pipeline.
void live_forget_pipeline(GstElement *pipeline);
void encoders_forget_pipeline(GstElement *pipeline);
// Whether recordings survive a crash or a power cut: each fragment keeps a playable index at
// its head and its data is synced while it grows. Unless MRVDC_PLAIN_RECORDING is set (the
// benchmarks' baseline: the index is written when a fragment closes, nothing synced before).
bool crash_safe_recording();
// The record pipe's hooks: its fragments, the end sent, and its end (flushes the recording's
// folder).
void record_element_message(GstMessage *message);
void record_end_sent();
void record_released();
void media_record_ended();
// The upload's hook: its sink's failures restart it.
bool http_sink_failure(GstMessage *message, const char *path, const char *text);

// Live-picture elements the snapshot and overlay operations act on (may be null).
GstElement *live_overlay();
GstElement *live_display_sink();

// Forces a file, then its folder, to storage (on the storage worker: it waits on the card).
void flush_file_and_folder(const std::string &path);
// The pad template of the first static pad template of the element's factory that matches; null
// when none does. An empty or null `name` matches any template name.
GstRef<GstPadTemplate> get_pad_template(GstElement *element, GstPadDirection direction,
                                        GstPadPresence presence, const char *name);
