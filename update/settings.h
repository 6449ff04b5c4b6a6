// Process-wide settings of one update run, set from the command line.
#pragma once

#include <cstddef>

static const size_t IMAGE_PATH_SIZE = 4096;

extern bool update_verbose;     // -v: debug and progress detail
extern bool update_erase_only;  // -e: erase, then reconfigure; no programming
extern bool update_release;     // -r: image chosen by the fitted sensor
extern char update_image_path[IMAGE_PATH_SIZE];
