#include "update/settings.h"

bool update_verbose = false;
bool update_erase_only = false;
bool update_release = false;
char update_image_path[IMAGE_PATH_SIZE] = "";
