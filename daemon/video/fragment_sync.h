// Keeps the recording that is being written safe from a power cut: the storage worker forces
// the open fragment's data to storage every second, and its folder when a fragment is opened,
// so that a slow SD card never stalls the main loop.
#pragma once

#include <string>

// The record pipe opened the fragment at `path`: follow it from now on (the fragment before
// gets a last sync, the folder gets its new entry synced).
void fragment_sync_follow(const std::string &path);
// The recording ended: one last sync of its fragment, then idle.
void fragment_sync_stop();
