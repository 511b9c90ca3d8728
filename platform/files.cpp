#include "platform/files.h"

#include "platform/data_folder.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

static bool lockByteZero(int fd, short type)
{
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = 0;
    lock.l_len = 1;
    for (;;) {
        if (::fcntl(fd, F_OFD_SETLKW, &lock) == 0) return true;
        if (errno != EINTR) return false;
    }
}

static bool writeAll(int fd, std::string_view text, off_t offset)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, offset + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

static bool readAll(int fd, std::string& text)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > static_cast<off_t>(kMaxFileBytes)) return false;
    text.clear();
    text.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    off_t offset = 0;
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof(buffer), offset);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        // The file may have grown since fstat.
        if (text.size() + static_cast<size_t>(n) > kMaxFileBytes) return false;
        text.append(buffer, static_cast<size_t>(n));
        offset += n;
    }
}

// Opens path as a regular file and nothing else: a symbolic link in its last
// place is refused (O_NOFOLLOW), and a FIFO or device neither blocks the open
// (O_NONBLOCK) nor is kept. Regular files ignore O_NONBLOCK, so it stays set.
static int openRegular(const std::string& path, int flags, mode_t mode = 0)
{
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    return fd;
}

static void syncFolder(const std::string& path)
{
    const int dir = ::open(parentFolder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return;
    ::fsync(dir);
    ::close(dir);
}

bool openLocked(const std::string& path, LockedFile& file)
{
    file = LockedFile {};
    const int fd = openRegular(path, O_RDWR | O_CREAT, 0600);
    if (fd < 0) return false;
    if (!lockByteZero(fd, F_WRLCK)) {
        ::close(fd);
        return false;
    }
    file.fd = fd;
    file.path = path;
    return true;
}

bool readWhole(const LockedFile& file, std::string& text)
{
    text.clear();
    return file.fd >= 0 && readAll(file.fd, text);
}

bool writeWhole(const LockedFile& file, std::string_view text)
{
    if (file.fd < 0) return false;
    // The backup holds the new text before the file is touched. The file is
    // emptied first, so an interrupted write leaves a strict prefix of the new
    // text (which never parses) rather than a mix of old and new.
    // Without a backup (disk full, say) the old file must stay as it is.
    if (!replaceFileAtomically(file.path + ".bak", text)) return false;
    if (::ftruncate(file.fd, 0) != 0) return false;
    if (!writeAll(file.fd, text, 0)) return false;
    ::fsync(file.fd);
    return true;
}

bool readBackup(const LockedFile& file, std::string& text)
{
    text.clear();
    return file.fd >= 0 && readFile(file.path + ".bak", text);
}

void unlockClose(LockedFile& file)
{
    if (file.fd >= 0) {
        lockByteZero(file.fd, F_UNLCK);
        ::close(file.fd);
    }
    file = LockedFile {};
}

bool readFile(const std::string& path, std::string& text)
{
    text.clear();
    const int fd = openRegular(path, O_RDONLY);
    if (fd < 0) return false;
    const bool ok = readAll(fd, text);
    ::close(fd);
    return ok;
}

bool replaceFileAtomically(const std::string& path, std::string_view text)
{
    const std::string temporary = path + ".tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = writeAll(fd, text, 0) && ::fsync(fd) == 0;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temporary.c_str(), path.c_str()) == 0) {
        syncFolder(path);
        return true;
    }
    ::unlink(temporary.c_str());
    return false;
}

} // namespace platform
