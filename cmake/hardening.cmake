# Hardening of every binary the project builds, as Debian's build flags do
# it, so that a developer's build, the tests and the packages run the same
# code: stack protector (strong), stack clash protection, fortified libc
# calls, full RELRO with immediate binding, position-independent executables.
#
# _FORTIFY_SOURCE only works with optimisation (glibc warns about it at -O0,
# and warnings are errors), so Debug builds go without it; the sanitizer
# build is a Debug build, and AddressSanitizer checks those calls itself.
option(QX_HARDENING "Build with stack protector, fortified libc calls, full RELRO and PIE" ON)
if(NOT QX_HARDENING)
  return()
endif()

include(CheckPIESupported)
check_pie_supported(LANGUAGES C CXX)
set(CMAKE_POSITION_INDEPENDENT_CODE ON)

add_compile_options(-fstack-protector-strong -fstack-clash-protection)
# Replaces any _FORTIFY_SOURCE level the compiler or the caller's flags set.
add_compile_options("$<$<NOT:$<CONFIG:Debug>>:-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
add_link_options(-Wl,-z,relro,-z,now)

# What hardening-check can expect of the installed binaries.
if(CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(QX_HARDENING_FORTIFY OFF)
else()
  set(QX_HARDENING_FORTIFY ON)
endif()
