#include "platform/app_launch.h"

#include "platform/data_folder.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

std::string announceSocketName(const std::string& app)
{
    // FNV-1a of the data folder path: an instance serving another data folder
    // (another installation, or a test's own folder) is not the one to raise.
    uint32_t hash = 2166136261u;
    for (const char c : dataFolder()) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    char folder[9];
    std::snprintf(folder, sizeof(folder), "%08x", hash);
    return "corvane-" + app + "-" + std::to_string(::getuid()) + "-" + folder;
}

// Abstract name: a leading NUL, and the rest of sun_path NUL-padded, the way
// Node binds such names, so both sides use the same full length.
static bool announceAddress(const std::string& app, sockaddr_un& address)
{
    const std::string name = announceSocketName(app);
    address = {};
    address.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof(address.sun_path)) return false;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    return true;
}

bool raiseAnnouncedApp(const std::string& app)
{
    sockaddr_un address {};
    if (!announceAddress(app, address)) return false;
    const socklen_t length = sizeof(address);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool raised = false;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0) {
        static const char request[] = "raise\n";
        raised = ::send(fd, request, sizeof(request) - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof(request) - 1);
    }
    ::close(fd);
    return raised;
}

int announceApp(const std::string& app)
{
    sockaddr_un address {};
    if (!announceAddress(app, address)) return -1;
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, 8) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int takeRaiseRequests(int announceFd)
{
    int taken = 0;
    for (;;) {
        const int peer = ::accept4(announceFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0) {
            if (errno == EINTR) continue;
            return taken;
        }
        ::close(peer);
        ++taken;
    }
}

bool isExecutableFile(const std::string& path)
{
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

bool startDetached(const std::string& path, const std::string& workdir)
{
    if (!isExecutableFile(path)) return false;
    // Double fork: the grandchild belongs to init, so it is never left a zombie
    // of ours, and its own session keeps it alive when we exit.
    const pid_t child = ::fork();
    if (child < 0) return false;
    if (child == 0) {
        if (::fork() != 0) _exit(0);
        ::setsid();
        if (!workdir.empty() && ::chdir(workdir.c_str()) != 0) _exit(127);
        const int devnull = ::open("/dev/null", O_RDWR);
        if (devnull >= 0) {
            ::dup2(devnull, STDIN_FILENO);
            ::dup2(devnull, STDOUT_FILENO);
            ::dup2(devnull, STDERR_FILENO);
        }
        char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
        ::execve(path.c_str(), argv, environ);
        _exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace platform
