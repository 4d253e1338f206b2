/* Thin kernel-API layer of the driver harness */
#include "../kapi.h"
