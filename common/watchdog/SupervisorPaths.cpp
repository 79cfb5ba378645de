#include "SupervisorPaths.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/stat.h>

const char* const kVelmarcmdLogDir = "/var/log/velmarcmd";

std::string ResolveBoardPath(const char* path)
{
    if (path == nullptr)
        return std::string();
    const char* root = getenv("VELMAR_ROOT");
    if (root == nullptr || root[0] == '\0' || path[0] != '/')
        return path;
    std::string resolved(root);
    while (!resolved.empty() && resolved.back() == '/')
        resolved.pop_back();
    return resolved + path;
}

static bool IsDirectory(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

int MakeDirectoryTree(const std::string& dir, mode_t mode)
{
    if (dir.empty())
        return -2;
    // Each prefix ending just before a '/' (and the whole path) in turn.
    for (size_t end = dir.find('/', 1);; end = dir.find('/', end + 1)) {
        const std::string prefix = dir.substr(0, end);
        if (mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
            return -2;
        if (end == std::string::npos)
            break;
    }
    return IsDirectory(dir) ? 0 : -2;
}
