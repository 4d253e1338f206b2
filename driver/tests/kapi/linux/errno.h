/* Thin kernel-API layer of the driver harness */
#include_next <linux/errno.h>
#include "../kapi.h"
