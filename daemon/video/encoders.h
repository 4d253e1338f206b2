// Inside the video subsystem: the shared producers that recording and streaming consume.
// Each follows the start shape of the registry and warns when its builder fails.
#pragma once

#include "video/gstvideo.h"

pipe_bus_fd create_media_vid_xformer();
pipe_bus_fd create_media_record_vid_enc();
pipe_bus_fd create_media_stream_vid_enc();
pipe_bus_fd create_media_audio_enc();
