// Running outside commands (the camera-core tool, the mixer) through the system shell.
#pragma once

// Runs `command` with "/bin/sh -c" and returns its wait status as `system` does (-1 when no
// child could be started). The child inherits only the standard descriptors and starts with
// default signal handling: the daemon's sockets, pipeline buses and open recordings, many of
// them opened by libraries that do not mark them close-on-exec, never reach it.
int run_shell_command(const char *command);
