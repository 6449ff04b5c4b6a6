// The lock layer where its folder cannot be: a system without /run or with
// a read-only one runs unlocked and says so once; any other failure to make
// the folder refuses every lock. Each case runs in a child process, as the
// layer's state lives for a run.

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "hwaccess/tool_lock.h"

namespace {

// What mkdir of the lock folder fails with; its open always finds nothing.
int mkdir_errno = 0;

}  // namespace

// Stand in front of the C library's for this test program (the layer is
// linked in statically, so its calls bind here).
extern "C" int mkdir(const char* path, mode_t mode)
{
    if (strcmp(path, TOOL_LOCK_DIR) == 0) {
        errno = mkdir_errno;
        return -1;
    }
    using mkdir_fn = int (*)(const char*, mode_t);
    static mkdir_fn real = reinterpret_cast<mkdir_fn>(dlsym(RTLD_NEXT, "mkdir"));
    return real(path, mode);
}

extern "C" int open(const char* path, int flags, ...)
{
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) {
        va_list ap;
        va_start(ap, flags);
        mode = va_arg(ap, mode_t);
        va_end(ap);
    }
    if (strcmp(path, TOOL_LOCK_DIR) == 0) {
        errno = ENOENT;
        return -1;
    }
    using open_fn = int (*)(const char*, int, ...);
    static open_fn real = reinterpret_cast<open_fn>(dlsym(RTLD_NEXT, "open"));
    return real(path, flags, mode);
}

namespace {

// Two takes of two locks; the exit status is the number refused.
void take_two(int err)
{
    mkdir_errno = err;
    int refused = (tool_lock_take(TOOL_LOCK_I2C_ISB, true) == TOOL_LOCK_REFUSED) +
                  (tool_lock_take(TOOL_LOCK_FLASH, false) == TOOL_LOCK_REFUSED);
    std::exit(refused);
}

TEST(ToolLock, without_a_place_for_the_folder_the_run_goes_on_unlocked_and_says_so_once)
{
    EXPECT_EXIT(take_two(ENOENT), ::testing::ExitedWithCode(0),
                "^bool tool_lock_take\\(tool_lock_id, bool\\): cannot create /run/qx-tools: No such file or "
                "directory; going on without locking\\.\n$");
    EXPECT_EXIT(take_two(EROFS), ::testing::ExitedWithCode(0),
                "^bool tool_lock_take\\(tool_lock_id, bool\\): cannot create /run/qx-tools: Read-only file "
                "system; going on without locking\\.\n$");
}

TEST(ToolLock, a_folder_that_cannot_be_made_otherwise_refuses_every_lock)
{
    const char line[] = "bool tool_lock_take\\(tool_lock_id, bool\\): /run/qx-tools cannot be created: "
                        "Permission denied; refused\\.\n";
    EXPECT_EXIT(take_two(EACCES), ::testing::ExitedWithCode(2), std::string("^") + line + line + "$");
}

}  // namespace
