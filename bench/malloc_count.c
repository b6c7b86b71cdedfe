/* LD_PRELOAD shim that logs every heap allocation of a process: one line
 * "SECONDS BYTES" (monotonic clock) per malloc, calloc or realloc, to the
 * file named by MALLOC_COUNT_FILE. Written in C so that it brings no C++
 * runtime into the process it measures. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

typedef void* (*malloc_fn)(size_t);
typedef void* (*calloc_fn)(size_t, size_t);
typedef void* (*realloc_fn)(void*, size_t);
typedef void (*free_fn)(void*);

static malloc_fn real_malloc;
static calloc_fn real_calloc;
static realloc_fn real_realloc;
static free_fn real_free;
static int log_fd = -2;
static int resolving;
static _Alignas(16) char early[4096]; /* dlsym's own calloc, before the real one is known */
static size_t early_used;

static void note(size_t bytes)
{
    if (log_fd == -2) {
        const char* path = getenv("MALLOC_COUNT_FILE");
        log_fd = path ? open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644) : -1;
    }
    if (log_fd < 0)
        return;
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    char line[64];
    int n = snprintf(line, sizeof line, "%ld.%09ld %zu\n", (long)ts.tv_sec, ts.tv_nsec, bytes);
    if (n > 0 && write(log_fd, line, (size_t)n) < 0)
        log_fd = -1;
}

/* dlsym's object pointer into a function pointer, as POSIX allows. */
static void lookup(void* fn_ptr, const char* name)
{
    void* sym = dlsym(RTLD_NEXT, name);
    memcpy(fn_ptr, &sym, sizeof sym);
}

static void resolve(void)
{
    resolving = 1;
    lookup(&real_malloc, "malloc");
    lookup(&real_calloc, "calloc");
    lookup(&real_realloc, "realloc");
    lookup(&real_free, "free");
    resolving = 0;
}

void* malloc(size_t n)
{
    if (!real_malloc)
        resolve();
    note(n);
    return real_malloc(n);
}

void* calloc(size_t n, size_t m)
{
    if (!real_calloc) {
        if (resolving) {
            void* p = early + early_used;
            early_used += (n * m + 15) & ~(size_t)15;
            return p;
        }
        resolve();
    }
    note(n * m);
    return real_calloc(n, m);
}

void* realloc(void* p, size_t n)
{
    if (!real_realloc)
        resolve();
    note(n);
    return real_realloc(p, n);
}

void free(void* p)
{
    if ((char*)p >= early && (char*)p < early + sizeof early)
        return;
    if (!real_free)
        resolve();
    real_free(p);
}
