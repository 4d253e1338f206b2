// Media operations of the device control: recording, TCP and HTTP streams, snapshots, the
// encoding type, the microphone volume and pipeline diagrams. They build file names, check
// free space, register new pipelines' bus descriptors and store changed settings.
#pragma once

#include <cstdint>

#include "core/completion.h"

// Free space demanded on the media file system before a recording starts and while it runs,
// and before a snapshot.
constexpr uint64_t kRecordFreeSpace = 117964800ULL;
constexpr uint64_t kSnapshotFreeSpace = 2359296ULL;

// Nonzero starts, 0 stops. `done` gets, for a start, 0 once its pipes play or 1 when nothing
// was started; for a stop, the video stop's result.
void ac_start_stop_record(int start, Completion done);
void ac_start_stop_stream(int start, Completion done);
void ac_start_stop_http_stream(int start, Completion done);
// `done` gets 0 once the JPEG is written, 1 otherwise; the writing is left to the storage
// worker.
void ac_make_snapshot(Completion done);
// 0 stored (or unchanged), 1 out of range or refused while recording or TCP streaming.
int ac_set_enc_type(int type);
// 0 stored (or unchanged), 1 outside 0..100.
int ac_set_microphone_volume(int volume);
// One Graphviz file per existing pipe: 0, 1 without a timestamp.
int ac_generate_dot_file();
