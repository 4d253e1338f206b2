// Fixed paths built into the daemon. On a development PC the environment variable
// MRVDC_SYSROOT names a folder put in front of each of them; unset, the paths are used as they
// stand, exactly as on the sight. Paths from the configuration or the command line never pass
// through here.
#pragma once

#include <string>

std::string sysroot_path(const char *fixed_path);
