// Recording fragments that hold nothing to play. The split sink opens a fragment, with room
// reserved for its index, before the first picture arrives; a recording that never gets one
// (the camera is gone) leaves a file without media that no player opens. One stopped within a
// few frames of its first picture holds a single sound frame, which no decoder plays either.
#pragma once

#include <string>

// True when the MP4 file holds media data (an "mdat" box with content) and none of the tracks
// of its index holds a single sample or none. A file that cannot be read as a sequence of
// boxes counts as holding media, so that it is kept.
bool fragment_has_media(const std::string &path);

// The split sink's file-name pattern for recording files named `name` + NN + `suffix`: the
// sink expands it as a printf format, so every "%" of the name is doubled.
std::string fragment_pattern(const std::string &name, const char *suffix);
// The file of fragment `number` of the pattern `location`, expanded as the split sink does
// ("%%" is "%", the "%02d" the two-digit number).
std::string fragment_path(const std::string &location, int number);

// Removes the fragments of the recording named by `location` (the split sink's pattern) that
// hold no media.
void remove_empty_fragments(const std::string &location);
