// Process-wide state shared by the main loop and the operations it runs.
#pragma once

// Set by every operation that changed a persistent setting; the main loop writes the
// configuration file once after the batch and clears it.
extern int update_conf_file;
// Set once a stop signal was read: lost pipelines are no longer replaced.
extern int exit_flag;
