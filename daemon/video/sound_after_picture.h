// Inside the video subsystem: a recording with pictures and sound starts both tracks together.
// The sound encoder is often running already while the picture encoder waits for its first key
// picture; sound taken before it would open the file with a stretch of sound and no picture,
// which players read as an empty lead-in (and a short recording as no playable track at all).
#pragma once

#include <gst/gst.h>

// Drops the pictures from `picture_source` before the first key picture, and the sound from
// `sound_source` until that picture has passed and older than it. One recording at a time.
void start_sound_with_first_picture(GstElement *picture_source, GstElement *sound_source);
