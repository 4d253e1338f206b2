// The end of a recording, done on the storage worker: the fragments that hold no media are
// removed, the others and their folder are forced to storage. The main thread only names the
// recording and hands its end over.
#pragma once

#include <string>

// The recording that is starting is named by the split sink's pattern `location`.
void recording_named(const std::string &location);
// True while the end of the recording named `location` is still to be done: its name is not
// free yet, since the fragments that end removes could be a new recording's.
bool recording_ending(const std::string &location);
