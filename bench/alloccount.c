/* alloccount.c - a preload library that counts the allocations of the program it is
 * loaded into and writes the count to the file named by ALLOCCOUNT_OUT at exit.  The
 * hot-path check runs a job of one size and of another and compares: what grows with
 * the size is spent per chunk.
 *
 * Counting only: every call goes on to the C library's own function. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>

/* The project builds with hidden visibility; these must be seen to stand in. */
#define VISIBLE __attribute__((visibility("default")))

static atomic_long allocations;

static void *(*real_malloc)(size_t);
static void *(*real_calloc)(size_t, size_t);
static void *(*real_realloc)(void *, size_t);

/* dlsym may itself allocate through calloc before real_calloc is known: a small static
 * arena serves that once. */
static char bootstrap[4096];
static size_t bootstrap_used;

VISIBLE void *malloc(size_t size)
{
    if (real_malloc == NULL)
        real_malloc = (void *(*)(size_t))dlsym(RTLD_NEXT, "malloc");
    atomic_fetch_add(&allocations, 1);
    return real_malloc(size);
}

VISIBLE void *calloc(size_t count, size_t size)
{
    if (real_calloc == NULL) {
        static int resolving;
        if (resolving) {
            size_t n = (count * size + 15) & ~(size_t)15;
            if (bootstrap_used + n > sizeof bootstrap)
                return NULL;
            void *p = bootstrap + bootstrap_used;
            bootstrap_used += n;
            return p; /* zero already: static storage */
        }
        resolving = 1;
        real_calloc = (void *(*)(size_t, size_t))dlsym(RTLD_NEXT, "calloc");
        resolving = 0;
    }
    atomic_fetch_add(&allocations, 1);
    return real_calloc(count, size);
}

VISIBLE void *realloc(void *p, size_t size)
{
    if (real_realloc == NULL)
        real_realloc = (void *(*)(void *, size_t))dlsym(RTLD_NEXT, "realloc");
    atomic_fetch_add(&allocations, 1);
    return real_realloc(p, size);
}

VISIBLE void free(void *p)
{
    static void (*real_free)(void *);
    if (p >= (void *)bootstrap && p < (void *)(bootstrap + sizeof bootstrap))
        return;
    if (real_free == NULL)
        real_free = (void (*)(void *))dlsym(RTLD_NEXT, "free");
    real_free(p);
}

__attribute__((destructor)) static void report(void)
{
    const char *path = getenv("ALLOCCOUNT_OUT");
    FILE *f = path != NULL ? fopen(path, "w") : NULL;
    if (f == NULL)
        return;
    fprintf(f, "%ld\n", atomic_load(&allocations));
    fclose(f);
}
