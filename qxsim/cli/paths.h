// Paths the front end hands to the processes it starts.
#pragma once

#include <climits>
#include <string>

#include <unistd.h>

namespace qxsim_cli {

// A library built beside the front end: the installed one next to the
// executable, else the one of the build tree (`built`).
inline std::string library_path(const char* name, const char* built)
{
    char exe[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = 0;
        std::string dir(exe);
        dir.erase(dir.rfind('/'));
        std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), R_OK) == 0)
            return candidate;
    }
    return built;
}

// Relative paths made absolute against the current folder, so that a tool
// that changes folder still finds the camera.
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
