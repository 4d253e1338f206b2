#include "core/daemon_state.h"

int update_conf_file = 0;
int exit_flag = 0;
