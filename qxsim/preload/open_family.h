// What every LD_PRELOAD interposer of this project needs to stand in front
// of the C library: the next definition of a symbol, and the whole open
// family (open, open64, openat, openat64 and the fortified _2 forms a
// program built with _FORTIFY_SOURCE calls) reduced to one handler.
//
// QX_INTERPOSE_OPEN_FAMILY(handler) defines the eight exported functions.
// Each calls handler(real, path, flags, mode), where real(path, flags, mode)
// opens through the next definition of the variant the program called (an
// openat's directory descriptor is bound into it) and mode is 0 unless the
// flags create a file.
#pragma once

#include <cstdarg>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>

#define QX_EXPORT extern "C" __attribute__((visibility("default")))

namespace qxsim::interpose {

using open_fn = int (*)(const char*, int, ...);
using openat_fn = int (*)(int, const char*, int, ...);

template <typename F>
F next_symbol(const char* name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

// An open passes a mode only when it may create a file.
inline bool wants_mode(int flags)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

}  // namespace qxsim::interpose

// `next_<name>`: the next definition of `name`, looked up at the first call.
#define QX_NEXT(name, type)                                                              \
    static const auto next_##name = ::qxsim::interpose::next_symbol<type>(#name); \
    (void)0

// Declares `mode`: the mode the variadic open was called with, or 0.
#define QX_OPEN_MODE(flags)                                                    \
    mode_t mode = 0;                                                           \
    if (::qxsim::interpose::wants_mode(flags)) {                               \
        va_list ap;                                                            \
        va_start(ap, flags);                                                   \
        mode = static_cast<mode_t>(va_arg(ap, int));                           \
        va_end(ap);                                                            \
    }                                                                          \
    (void)0

#define QX_INTERPOSE_OPEN(name, handler)                                                         \
    QX_EXPORT int name(const char* path, int flags, ...)                                         \
    {                                                                                            \
        QX_NEXT(name, ::qxsim::interpose::open_fn);                                              \
        QX_OPEN_MODE(flags);                                                                     \
        return handler([](const char* p, int f, mode_t m) { return next_##name(p, f, m); }, path, \
                       flags, mode);                                                             \
    }

#define QX_INTERPOSE_OPEN_2(name, handler)                                                             \
    QX_EXPORT int name(const char* path, int flags)                                                    \
    {                                                                                                  \
        QX_NEXT(name, int (*)(const char*, int));                                                      \
        return handler([](const char* p, int f, mode_t) { return next_##name(p, f); }, path, flags, 0); \
    }

#define QX_INTERPOSE_OPENAT(name, handler)                                                       \
    QX_EXPORT int name(int dirfd, const char* path, int flags, ...)                              \
    {                                                                                            \
        QX_NEXT(name, ::qxsim::interpose::openat_fn);                                            \
        QX_OPEN_MODE(flags);                                                                     \
        return handler([=](const char* p, int f, mode_t m) { return next_##name(dirfd, p, f, m); }, \
                       path, flags, mode);                                                       \
    }

#define QX_INTERPOSE_OPENAT_2(name, handler)                                                     \
    QX_EXPORT int name(int dirfd, const char* path, int flags)                                   \
    {                                                                                            \
        QX_NEXT(name, int (*)(int, const char*, int));                                           \
        return handler([=](const char* p, int f, mode_t) { return next_##name(dirfd, p, f); }, path, \
                       flags, 0);                                                                \
    }

#define QX_INTERPOSE_OPEN_FAMILY(handler)       \
    QX_INTERPOSE_OPEN(open, handler)            \
    QX_INTERPOSE_OPEN(open64, handler)          \
    QX_INTERPOSE_OPEN_2(__open_2, handler)      \
    QX_INTERPOSE_OPEN_2(__open64_2, handler)    \
    QX_INTERPOSE_OPENAT(openat, handler)        \
    QX_INTERPOSE_OPENAT(openat64, handler)      \
    QX_INTERPOSE_OPENAT_2(__openat_2, handler)  \
    QX_INTERPOSE_OPENAT_2(__openat64_2, handler)
