// A path as the front end hands it to the processes it starts: relative
// paths made absolute against the current folder, so that a tool that
// changes folder still finds the camera.
#pragma once

#include <climits>
#include <string>

#include <unistd.h>

namespace qxsim_cli {

inline std::string absolute_path(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

}  // namespace qxsim_cli
