// Inside the video subsystem: the registry of pipeline slots that the builders fill, the
// settings copy, and the hooks each builder module offers the registry.
#pragma once

#include <gst/gst.h>

#include <string>

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
void join_timeline_of(GstElement *pipeline, int id);

// The shape every start operation shares: the existing pipe's descriptor, or a new pipe made
// by `build` (which returns 0 on success).
template <typename Builder>
pipe_bus_fd start_pipe(int id, const char *name, Builder build) {
    pipe_bus_fd result{-1, id};
    if (is_created(id)) {
        result.fd = create_pipeline(id, name);
        return result;
    }
    int fd = create_pipeline(id, name);
    if (fd >= 0 && build(pipeline_of(id)) == 0) {
        result.fd = fd;
    }
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
