// The video subsystem: a registry of ten pipeline slots that meet only through named
// inter-pipeline sinks and sources, their builders, the end-of-stream protocol and the bus
// messages, recordings, streams, snapshots, the overlay channel and diagnostics.
//
// Everything here runs on the main thread and nothing waits: an operation whose result
// depends on pipelines playing, pausing or ending tells it later through a Completion. Each
// pipeline's bus is read through its poll descriptor, which the registry registers with the
// event aggregator as EA_PIPE_BUS with the pipe identifier as data; the main loop calls
// gstvideo_process_message once per readiness.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/completion.h"

// Video settings, filled by the daemon core from the configuration and handed to
// gstvideo_init. The subsystem keeps its own copy.
struct gstvideo_configs {
    double mic_volume;       // 0..100 (the copy holds the amplification instead)
    int64_t record_max_len;  // record fragment length in nanoseconds
    int32_t record_enc_bitrate;
    int32_t record_enc_gop;
    int32_t record_enc_idr;
    int32_t record_enc_search_range;
    int32_t aud_enc_bitrate;
    int32_t stream_enc_bitrate;
    int32_t stream_enc_gop;
    int32_t stream_enc_idr;
    int32_t stream_enc_search_range;
    int32_t enc_type;   // 0 video and audio, 1 video only, 2 audio only
    int32_t profiling;  // nonzero: the "perf" measuring elements are built
};

// Pipe identifiers; clients use the numbers in the debug commands.
enum pipe_enum : int {
    PIPE_SRC = 0,
    PIPE_DISPLAY = 1,
    PIPE_RECORD_VIDEO_ENC = 2,
    PIPE_AUDIO_ENC = 3,
    PIPE_TCP_STREAM = 4,
    PIPE_RECORD = 5,
    PIPE_SPLASH = 6,
    PIPE_HTTP_STREAM = 7,
    PIPE_TRANSFORMER = 8,
    PIPE_STREAM_VID_ENC = 9,
};
constexpr int PIPE_COUNT = 10;

// What every start operation returns: the poll descriptor of the pipe's bus (-1 when making
// the pipe failed) and the pipe identifier.
struct pipe_bus_fd {
    int32_t fd;
    int32_t pipe;
};

// Short names of the pipes, indexed by identifier, for diagnostic file names.
const char *gstvideo_pipe_short_name(int id);

// 0 on success or when GStreamer was already initialised (the settings are then not taken);
// 1 when GStreamer could not be initialised.
int gstvideo_init(const gstvideo_configs &settings);
// Releases every remaining pipeline and de-initialises GStreamer; called last at exit.
void gstvideo_destroy();

// Live picture: camera source with overlay, display, and the no-input splash. If the pipe
// exists its bus descriptor is returned without rebuilding it.
pipe_bus_fd gstvideo_start_video_src(const char *qml_path);
pipe_bus_fd gstvideo_start_display();
pipe_bus_fd gstvideo_start_splash(const char *qml_path, const char *image_path);
// Runs `next` once slot `id` takes a new pipe: at once unless its pipe is ending or still
// stopping, else once it has gone.
void gstvideo_after_end_of(int id, std::function<void()> next);
// Debug creation of pipe 0, 1 or 6 with the built-in overlay document, once a pipe of that
// slot that is ending has gone: `done` gets 0 when built, 1 for any other identifier, when the
// pipe exists or cannot be built.
void gstvideo_start_pipe(int id, Completion done);

// Sends end-of-stream to the pipe if it exists; always 0.
int gstvideo_stop_pipe(int id);
// `done` gets 1 when the pipe does not exist; otherwise 0, or -1 when a change of the pipe's
// state is still pending after a short wait or the change fails.
void gstvideo_pause_pipe(int id, Completion done);
void gstvideo_resume_pipe(int id, Completion done);
// `done` gets 0, or 1 at the first pipe that failed (later pipes are left alone).
void gstvideo_pause_all_pipes(Completion done);
void gstvideo_resume_all_pipes(Completion done);
// Sends end-of-stream to every existing pipe. From then on every start is refused: the
// daemon is stopping.
void gstvideo_stop_all_pipes();
// 1 when all ten slots are empty, else 0.
int gstvideo_are_pipes_closed();
// 1 when the pipe exists, else 0.
int gstvideo_is_playing(int id);
// Handles one bus message of the pipe: 1 when the pipe has ended with it, else 0 (also when the
// slot is empty). Whenever a pipe leaves its slot, its bus descriptor is unregistered from the
// event aggregator before the bus is released.
int gstvideo_process_message(int id);
// The daemon's hook, run whenever a pipe has left its slot by its end-of-stream or by the
// tear-down of one that did not deliver it in time (not when a start removes what it built).
void gstvideo_on_pipe_left(std::function<void(int pipe)> hook);

// Recording and streams. Each start builds the producers the encoding type needs, then the
// consumer, each once the one before plays and its own slot is free (a pipe still ending is
// waited for), and `done` gets 0 once all play; 1 when a pipe could not be made or play (what
// this start built is removed again), the type has no such stream or the video is stopping.
// `name_recording` gives a splitmuxsink pattern holding "%02d", or nothing while no name is
// free (it is asked again for about a second, then the start fails); it is asked only when a
// record pipe is built, since a start while recording goes on with the running one's files.
// Stops return 0 and also end every producer that no other consumer listens to.
using RecordingNamer = std::function<std::optional<std::string>()>;
void gstvideo_start_record(RecordingNamer name_recording, Completion done);
void gstvideo_start_stream(int port, Completion done);
void gstvideo_start_http_stream(const std::string &url, Completion done);
int gstvideo_stop_record();
int gstvideo_stop_stream();
int gstvideo_stop_http_stream();
// Ends every running producer that no running consumer listens to: consumers also leave on
// their own (an error, a missed end-of-stream deadline, kill_pipe). Run between events, never
// within a start, which builds producers before their consumer.
void gstvideo_stop_unused_producers();

// 0 when stored; 1 while a recording or TCP stream exists.
int gstvideo_change_enc_type(int type);
// 0 when accepted (applied at once to a running recording or TCP stream with audio); 1 and
// a warning when outside 0..100.
int gstvideo_set_microphone_volume(int volume);

// JPEG of the last displayed frame written to `path`: the frame is taken now, converted and
// written on the storage worker; `done` gets 0 when written, 1 otherwise (no display pipe, no
// frame yet, failed conversion or write, or not done within a few seconds).
void gstvideo_takesnapshot(const std::string &path, Completion done);
// Hands "object.property:value" to the overlay of the source or splash pipeline, whichever
// was built last; always 0.
int gstvideo_set_qml_param(const char *object, const char *property, const char *value);
// Nonzero shows the overlay, 0 hides it; 0.
int gstvideo_show_overlay(int flag);

// Logs every element of every existing pipeline with its state and pad links.
void gstvideo_print_status();
// Graphviz text of the pipe written to `path`: 1 when the pipe does not exist, else the
// whole-file write result (0 written, 1 cannot open, -1 short write).
int gstvideo_generate_dot_file(int id, const char *path);
