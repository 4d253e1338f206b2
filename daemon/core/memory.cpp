#include "core/memory.h"

#include <malloc.h>
#include <sys/prctl.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"

void *emalloc(size_t size) {
    void *block = malloc(size);
    if (!block) {
        log_message(LOG_LEVEL_ERROR, "malloc of %u bytes failed:", static_cast<unsigned>(size));
    }
    return block;
}

char *estrdup(const char *text) {
    char *copy = strdup(text);
    if (!copy) {
        log_message(LOG_LEVEL_ERROR, "estrdup failed (\"%.20s\") failed:", text);
    }
    return copy;
}

void *erealloc(void *block, size_t size) {
    void *resized = realloc(block, size);
    if (!resized) {
        log_message(LOG_LEVEL_ERROR, "malloc of %u bytes failed:", static_cast<unsigned>(size));
    }
    return resized;
}

void install_out_of_memory_handler() {
    std::set_new_handler([] { log_message(LOG_LEVEL_ERROR, "out of memory:"); });
}

void limit_heap_growth() {
    mallopt(M_ARENA_MAX, 2);
    // Pictures and other large blocks are mapped on their own and go back whole when freed, as
    // the sight's 32-bit allocator does by itself (its threshold stops at 512 KiB). Left to
    // itself, a 64-bit allocator raises the threshold to the largest block freed, up to
    // 32 MiB, and then keeps pictures in its arenas, held there by the small blocks made
    // between them.
    mallopt(M_MMAP_THRESHOLD, 512 * 1024);
    // Fails only on kernels without the setting, which have no huge pages to refuse either.
    prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0);
}

void hand_back_free_memory() {
    malloc_trim(0);
}
