# Cross build for the camera's 32-bit ARM computer (Debian armhf) with
# Debian's cross compiler (g++-arm-linux-gnueabihf). Libraries come from
# Debian's multiarch packages (libfmt-dev:armhf, libgtest-dev:armhf,
# qt6-base-dev:armhf), which install into the build machine's own /usr.
#
#   cmake -B build/armhf -G Ninja \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)

# The build machine's own (amd64) fmt, GoogleTest and Qt sit in the same
# /usr; with the library architecture set, CMake searches the armhf
# directories (/usr/lib/arm-linux-gnueabihf, .../cmake) and never the amd64
# ones.

# Qt's build tools (moc, uic, rcc) run on the build machine: the amd64 ones.
set(QT_HOST_PATH /usr CACHE PATH "")
set(QT_HOST_PATH_CMAKE_DIR /usr/lib/x86_64-linux-gnu/cmake CACHE PATH "")

# Test programs run under user-mode emulation (Debian's qemu-user-static).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm-static)

# Debian architecture of the packages made by cpack.
set(QX_DEB_ARCHITECTURE armhf)
