// Allocation for the few places that hand C memory to C libraries. Each wrapper ends the
// process through the error level of the log when memory runs out, so it never returns null.
#pragma once

#include <cstddef>

void *emalloc(size_t size);
char *estrdup(const char *text);
void *erealloc(void *block, size_t size);

// Makes failed standard-library allocations end the process the same way.
void install_out_of_memory_handler();

// The pipelines' pictures are blocks of megabytes made and freed on streaming threads that come
// and go with the pipes. The allocator keeps what they free in per-thread arenas, where the next
// pipe's blocks rarely fit again, so the daemon's memory would follow its history rather than
// its pipes: it is kept to two arenas, blocks of 512 KiB and more are mapped on their own, and
// what is free is handed back whenever a pipe has left. A software
// encoder (x264) also marks its picture blocks for huge pages; once freed, such a stretch of the
// heap holds 2 MiB for each small block made in it later, and the kernel fills it in again after
// each hand-back: the process takes no huge pages.
void limit_heap_growth();
void hand_back_free_memory();
