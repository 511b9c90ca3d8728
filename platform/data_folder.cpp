#include "platform/data_folder.h"

#include <cerrno>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

static std::string envValue(const char* name)
{
    const char* value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

std::string dataFolder()
{
    std::string base = envValue("LOCALAPPDATA");
    if (base.empty()) base = envValue("XDG_DATA_HOME");
    if (base.empty()) {
        const std::string home = envValue("HOME");
        base = home.empty() ? std::string(".") : home + "/.local/share";
    }
    const std::string folder = base + "/Corvane";
    makeFolders(folder);
    return folder;
}

bool makeFolders(const std::string& path)
{
    if (path.empty()) return false;
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/') continue;
        const std::string prefix = path.substr(0, pos);
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool pathExists(const std::string& path)
{
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

std::string executableFolder()
{
    char buffer[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (n <= 0) return ".";
    return parentFolder(std::string(buffer, static_cast<size_t>(n)));
}

std::string parentFolder(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

} // namespace platform
