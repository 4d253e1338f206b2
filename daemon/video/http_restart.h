// Inside the video subsystem: restarts of the HTTP upload after its sink failed (a server that
// cannot be reached or went away). The pipe stops at once and starts again after a back-off:
// 1 s, doubling with each failure up to 30 s, and back to 1 s once a buffer got through.
#pragma once

#include <gst/gst.h>

// Counts the buffers that reach the upload's sink from now on.
void http_restart_track(GstElement *sink);
// A message of the upload's sink at `path` with `text`: stops the HTTP pipe and schedules its
// restart, unless it is ending or its restart is already scheduled.
void http_restart_sink_failed(const char *path, const char *text);
// The HTTP pipe has left its slot: no restart waits, and the next back-off starts at 1 s.
void http_restart_forget();
// True while the HTTP pipe is stopped and its restart waits.
bool http_restart_pending();
