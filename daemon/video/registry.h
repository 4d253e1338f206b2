// Inside the video subsystem: the registry of pipeline slots that the builders fill, the
// settings copy, and the hooks each builder module offers the registry.
#pragma once

#include <gst/gst.h>

#include <string>

#include "core/log.h"
#include "video/gst_handle.h"
#include "video/gstvideo.h"

// The subsystem's own copy of the settings; its mic_volume field holds the amplification.
gstvideo_configs &video_settings();
// Amplification of the microphone = volume / kMicScale.
constexpr double kMicScale = 2.0;

// The pipeline in slot `id`, or null when the slot is empty (or `id` is out of range).
GstElement *pipeline_of(int id);
bool is_created(int id);
// True while an end-of-stream was sent to the pipe and its end is awaited.
bool eos_pending(int id);

// Makes an empty pipeline in slot `id` unless one exists: the bus descriptor, or -1.
int create_pipeline(int id, const char *name);
int get_bus_filefd(GstBus *bus);
// Changes the element's state after any pending change has settled: 0, or -1 when a change
// is still pending or the element's state is failed.
int gstvideo_set_state(GstElement *element, GstState target);
void send_eos(int id);
// The stream encoder and the stream consumers take their producer's timestamps as they are
// and end in clock-synchronised sinks, so each plays in the timeline (clock and base time) of
// the producer it listens to. Otherwise one built or restarted after its producer holds every
// buffer back for as long as the producer ran before it. The record encoder stamps its
// pictures with its own running time, and the record pipe keeps them as they are next to the
// audio encoder's sound: with video and audio, it plays in the audio encoder's timeline (whose
// capture clock stays its own), so that a recording started while a stream's audio encoder
// already runs gets its sound in step with its pictures. `pipeline` is (to be) pipe `id`.
// False when the pipeline cannot even pause (a sink that cannot open its port).
bool join_timeline_of(GstElement *pipeline, int id);

// False, with a warning, once the video was asked to stop: nothing new is built then.
bool may_start(int id);
// Waits briefly for pipe `id`, which is ending, to leave its slot: by its end-of-stream (its
// bus is read here meanwhile) or by its tear-down when its deadline passes. True once it has
// gone; false when it is still ending (the main loop must not wait for it: every client
// would wait too).
bool wait_for_end(int id);
// Removes a pipe that could not be built or started.
void discard_pipe(int id);
// Sets a freshly built pipe `id` playing in its producer's timeline: 0, or -1 (with a warning)
// when it cannot get there (a sink that cannot open its device or port).
int start_playing(GstElement *pipeline, int id);

// The shape every start operation shares: the running pipe's descriptor, or a new pipe made by
// `build` (which returns 0 on success). A pipe that is ending is not handed out, since it is
// about to go: the new one is built once it has gone, and the start fails when it does not go
// soon. A pipe that could not be built is removed.
template <typename Builder>
pipe_bus_fd start_pipe(int id, const char *name, Builder build) {
    pipe_bus_fd result{-1, id};
    if (!may_start(id)) {
        return result;
    }
    if (is_created(id) && eos_pending(id) && !wait_for_end(id)) {
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
// Run after the record pipe has left its slot: flushes the recording's folder.
void media_record_ended();

// Live-picture elements the snapshot and overlay operations act on (may be null).
GstElement *live_overlay();
GstElement *live_display_sink();

// Forces the files of a folder whose names start with v or i, then the folder, to storage.
void flush_folder_of_file(const std::string &path);
// The pad template of the first static pad template of the element's factory that matches; null
// when none does. An empty or null `name` matches any template name.
GstRef<GstPadTemplate> get_pad_template(GstElement *element, GstPadDirection direction,
                                        GstPadPresence presence, const char *name);
