// Allocation for the few places that hand C memory to C libraries. Each wrapper ends the
// process through the error level of the log when memory runs out, so it never returns null.
#pragma once

#include <cstddef>

void *emalloc(size_t size);
char *estrdup(const char *text);
void *erealloc(void *block, size_t size);

// Makes failed standard-library allocations end the process the same way.
void install_out_of_memory_handler();
