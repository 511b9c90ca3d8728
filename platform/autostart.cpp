#include "platform/autostart.h"

#include "platform/data_folder.h"
#include "platform/files.h"

#include <cstdlib>
#include <sstream>
#include <unistd.h>

namespace platform {
namespace {

std::string entryPath(const char* name)
{
    const std::string folder = autostartFolder();
    return folder.empty() ? std::string() : folder + "/" + name;
}

// Desktop entries quote Exec arguments with double quotes; these characters
// are escaped inside them.
std::string quotedExec(const std::string& path)
{
    std::string quoted = "\"";
    for (const char c : path) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

} // namespace

std::string autostartFolder()
{
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config && *config) return std::string(config) + "/autostart";
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.config/autostart";
    return {};
}

bool autostartRegistered()
{
    const std::string path = entryPath("kestrel.desktop");
    std::string text;
    if (path.empty() || !readFile(path, text)) return false;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("Exec=") && line.size() - 5 >= 3) return true;
    return false;
}

bool addAutostart(const std::string& executablePath)
{
    const std::string path = entryPath("kestrel.desktop");
    if (path.empty() || !makeFolders(parentFolder(path))) return false;
    const std::string text = "[Desktop Entry]\nType=Application\nName=Kestrel\nComment=Paid calls on BSV\nExec=" +
                             quotedExec(executablePath) +
                             "\nIcon=kestrel\nTerminal=false\nX-GNOME-Autostart-enabled=true\n";
    return replaceFileAtomically(path, text);
}

bool removeAutostart()
{
    const std::string path = entryPath("kestrel.desktop");
    if (path.empty()) return true;
    ::unlink(path.c_str());
    return !pathExists(path);
}

void migrateAutostart(const std::string& executablePath)
{
    const std::string legacy = entryPath("c-phone.desktop");
    if (legacy.empty() || !pathExists(legacy)) return;
    if (addAutostart(executablePath)) ::unlink(legacy.c_str());
}

} // namespace platform
