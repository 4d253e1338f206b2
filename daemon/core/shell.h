// Starting outside commands (the camera-core tool, the mixer) through the system shell.
#pragma once

#include <sys/types.h>

// Starts `command` with "/bin/sh -c" in a process group of its own (so that a hung command
// can be killed with everything it started) and returns at once: the child's process ID, or
// -1 when none could be started. The caller collects its exit. The child inherits only the
// standard descriptors and starts with default signal handling: the daemon's sockets, pipeline
// buses and open recordings, many of them opened by libraries that do not mark them
// close-on-exec, never reach it.
pid_t spawn_shell_command(const char *command);
