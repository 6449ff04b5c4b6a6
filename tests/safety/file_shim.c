/* Test shim, preloaded in front of the camera's interposer: when a tool
 * opens the file QXTEST_SHIM_PATH for the QXTEST_SHIM_AT-th time, the file
 * is first cut (or extended) to QXTEST_SHIM_SIZE bytes, or, with
 * QXTEST_SHIM_SIZE "denied", that open fails with EACCES as for a file the
 * user may not read (a root test run cannot make one with chmod). That makes
 * an image change between update's length measurement, its programming pass
 * and its verification pass, deterministically. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static unsigned shim_opens;

/* False when the open is to be refused. */
static int shim_before_open(const char* path)
{
    const char* target = getenv("QXTEST_SHIM_PATH");
    const char* at = getenv("QXTEST_SHIM_AT");
    const char* size = getenv("QXTEST_SHIM_SIZE");
    if (target == NULL || at == NULL || size == NULL || strcmp(path, target) != 0)
        return 1;
    if (++shim_opens != strtoul(at, NULL, 0))
        return 1;
    if (strcmp(size, "denied") == 0) {
        errno = EACCES;
        return 0;
    }
    (void)truncate(path, (off_t)strtoull(size, NULL, 0));
    return 1;
}

typedef FILE* (*fopen_fn)(const char*, const char*);

FILE* fopen(const char* path, const char* mode)
{
    static fopen_fn next;
    if (next == NULL)
        next = (fopen_fn)dlsym(RTLD_NEXT, "fopen");
    return shim_before_open(path) ? next(path, mode) : NULL;
}

FILE* fopen64(const char* path, const char* mode)
{
    static fopen_fn next;
    if (next == NULL)
        next = (fopen_fn)dlsym(RTLD_NEXT, "fopen64");
    return shim_before_open(path) ? next(path, mode) : NULL;
}
