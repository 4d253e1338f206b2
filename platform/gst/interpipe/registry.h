// Process-wide registry of inter-pipeline links. A sink publishes under its element name;
// listeners wait under the name they listen to, whether or not a sink of that name exists yet.
// All pipelines of the process share it; every operation is thread-safe.
#pragma once

#include <gst/gst.h>

#include <string>

struct _GstInterpipeSink;
struct _GstInterpipeSrc;

namespace interpipe {

// Publishes `sink` under `name`. A sink already published under that name is displaced and
// its listeners follow the new one.
void add_sink(const std::string &name, _GstInterpipeSink *sink);
// Withdraws `sink` if it is still the one published under `name`; its listeners stay and wait
// for the next sink of that name.
void remove_sink(const std::string &name, _GstInterpipeSink *sink);

void add_listener(const std::string &name, _GstInterpipeSrc *src);
void remove_listener(const std::string &name, _GstInterpipeSrc *src);

// Hands `buffer` with its `caps` to every listener of `sink`. Never blocks on a listener.
// `limit` is the sink's cap on each listener's queue (0: the listener's own limit).
void deliver(const std::string &name, _GstInterpipeSink *sink, GstBuffer *buffer, GstCaps *caps,
             guint limit);

// Number of listeners that receive what `sink` publishes under `name`.
int count_listeners(const std::string &name, _GstInterpipeSink *sink);

}  // namespace interpipe
