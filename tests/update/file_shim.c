/* Test shim, preloaded in front of the camera's interposer: when a tool
 * opens (open(2)) the file QXTEST_SHIM_PATH for the QXTEST_SHIM_AT-th time, the file
 * is first cut (or extended) to QXTEST_SHIM_SIZE bytes, or, with
 * QXTEST_SHIM_SIZE "denied", that open fails with EACCES as for a file the
 * user may not read (a root test run cannot make one with chmod), or, with
 * "eio", the stream made on that open (fdopen) reads its first 256 bytes and then fails with
 * EIO, as a file on a failing disk does. That makes
 * an image change between update's length measurement, its programming pass
 * and its verification pass, deterministically. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <stdarg.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static unsigned shim_opens;

enum { SHIM_PASS, SHIM_DENY, SHIM_EIO };

/* Reads fail once past the first block. */
static ssize_t eio_read(void* cookie, char* buf, size_t size)
{
    int fd = (int)(long)cookie;
    if (lseek(fd, 0, SEEK_CUR) >= 256) {
        errno = EIO;
        return -1;
    }
    return read(fd, buf, size > 256 ? 256 : size);
}

static int eio_seek(void* cookie, off64_t* offset, int whence)
{
    off_t at = lseek((int)(long)cookie, (off_t)*offset, whence);
    if (at < 0)
        return -1;
    *offset = at;
    return 0;
}

static int eio_close(void* cookie)
{
    return close((int)(long)cookie);
}

/* The descriptor of the open that is to fail its reads, until update makes
 * its stream with fdopen. */
static int eio_fd = -1;

static FILE* eio_stream(int fd)
{
    static const cookie_io_functions_t io = {eio_read, NULL, eio_seek, eio_close};
    return fopencookie((void*)(long)fd, "rb", io);
}

static int shim_before_open(const char* path)
{
    const char* target = getenv("QXTEST_SHIM_PATH");
    const char* at = getenv("QXTEST_SHIM_AT");
    const char* size = getenv("QXTEST_SHIM_SIZE");
    if (target == NULL || at == NULL || size == NULL || strcmp(path, target) != 0)
        return SHIM_PASS;
    if (++shim_opens != strtoul(at, NULL, 0))
        return SHIM_PASS;
    if (strcmp(size, "denied") == 0) {
        errno = EACCES;
        return SHIM_DENY;
    }
    if (strcmp(size, "eio") == 0)
        return SHIM_EIO;
    /* A failure shows up in the tool's standard error the test compares. */
    if (truncate(path, (off_t)strtoull(size, NULL, 0)) != 0)
        perror("file_shim: truncate");
    return SHIM_PASS;
}

typedef int (*open_fn)(const char*, int, ...);

static int shim_open(open_fn next, const char* path, int flags, mode_t mode)
{
    int shim = shim_before_open(path);
    if (shim == SHIM_DENY)
        return -1;
    int fd = next(path, flags, mode);
    if (shim == SHIM_EIO)
        eio_fd = fd;
    return fd;
}

#define SHIM_OPEN(name)                                      \
    int name(const char* path, int flags, ...)               \
    {                                                        \
        static open_fn next;                                 \
        if (next == NULL)                                    \
            *(void**)&next = dlsym(RTLD_NEXT, #name);        \
        mode_t mode = 0;                                     \
        if (flags & (O_CREAT | O_TMPFILE)) {                 \
            va_list ap;                                      \
            va_start(ap, flags);                             \
            mode = va_arg(ap, mode_t);                       \
            va_end(ap);                                      \
        }                                                    \
        return shim_open(next, path, flags, mode);           \
    }

SHIM_OPEN(open)
SHIM_OPEN(open64)

int __open_2(const char* path, int flags)
{
    return open(path, flags);
}

int __open64_2(const char* path, int flags)
{
    return open64(path, flags);
}

FILE* fdopen(int fd, const char* mode)
{
    static FILE* (*next)(int, const char*);
    if (next == NULL)
        *(void**)&next = dlsym(RTLD_NEXT, "fdopen");
    if (fd >= 0 && fd == eio_fd) {
        eio_fd = -1;
        return eio_stream(fd);
    }
    return next(fd, mode);
}
