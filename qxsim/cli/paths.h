// Paths the front end hands to the processes it starts.
#pragma once

#include "qxsim/cli/qxsim_paths.h"

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

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

// LD_PRELOAD for a tool run against the camera: the interposer, then what
// the caller preloads already (unless the interposer is among it).
inline std::string preload_list()
{
    std::string preload = library_path("libqxsim_preload.so", QXSIM_PRELOAD_PATH);
    const char* old = ::getenv("LD_PRELOAD");
    if (old && *old && std::string(old).find(preload) == std::string::npos)
        preload += ":" + std::string(old);
    else if (old && *old)
        preload = old;
    return preload;
}

// A tool named without a folder: the one built beside the simulated camera
// when there is one, else the name for execvp to look up.
inline std::string find_tool(const std::string& name)
{
    if (name.find('/') == std::string::npos)
        for (const qxsim::ToolPath& t : qxsim::built_tools)
            if (name == t.name && ::access(t.path, X_OK) == 0)
                return t.path;
    return name;
}

// execvp's argument vector: `program`, the arguments in [first, last), a
// null pointer. It points into the strings, which must outlive it.
inline std::vector<char*> exec_argv(const std::string& program, std::vector<std::string>::const_iterator first,
                                    std::vector<std::string>::const_iterator last)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (; first != last; ++first)
        argv.push_back(const_cast<char*>(first->c_str()));
    argv.push_back(nullptr);
    return argv;
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
