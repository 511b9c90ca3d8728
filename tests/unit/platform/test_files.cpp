#include "platform/data_folder.h"
#include "platform/files.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace platform;

namespace {

// Read-modify-write of a counter under the lock, with a pause inside the
// critical section so that an unserialised writer would lose updates.
void bumpCounter(const std::string& path, int times)
{
    for (int i = 0; i < times; ++i) {
        LockedFile file;
        if (!openLocked(path, file)) _exit(3);
        std::string text;
        readWhole(file, text);
        const long value = text.empty() ? 0 : std::stol(text);
        ::usleep(200);
        writeWhole(file, std::to_string(value + 1));
        unlockClose(file);
    }
}

} // namespace

TEST(DataFolder, FollowsLocalAppDataThenXdgThenHome)
{
    TempDataFolder temp;
    EXPECT_EQ(dataFolder(), temp.root + "/Corvane");
    EXPECT_TRUE(pathExists(temp.root + "/Corvane"));

    ::setenv("LOCALAPPDATA", "", 1);
    ::setenv("XDG_DATA_HOME", (temp.root + "/xdg").c_str(), 1);
    EXPECT_EQ(dataFolder(), temp.root + "/xdg/Corvane");
    EXPECT_TRUE(pathExists(temp.root + "/xdg/Corvane"));

    const char* home = std::getenv("HOME");
    const std::string savedHome = home ? home : "";
    ::unsetenv("XDG_DATA_HOME");
    ::setenv("HOME", (temp.root + "/home").c_str(), 1);
    EXPECT_EQ(dataFolder(), temp.root + "/home/.local/share/Corvane");
    ::setenv("HOME", savedHome.c_str(), 1);
}

TEST(LockedFile, AbsentFileIsCreatedEmpty)
{
    TempDataFolder temp;
    const std::string path = temp.root + "/fresh.json";
    LockedFile file;
    ASSERT_TRUE(openLocked(path, file));
    std::string text = "junk";
    EXPECT_TRUE(readWhole(file, text));
    EXPECT_EQ(text, "");
    unlockClose(file);
    EXPECT_TRUE(pathExists(path));
    EXPECT_EQ(file.fd, -1);
}

TEST(LockedFile, OpenFailsInMissingFolder)
{
    TempDataFolder temp;
    LockedFile file;
    EXPECT_FALSE(openLocked(temp.root + "/no/such/folder/x.json", file));
    EXPECT_EQ(file.fd, -1);
}

TEST(LockedFile, TwoProcessesAreSerialised)
{
    TempDataFolder temp;
    const std::string path = temp.root + "/counter";
    constexpr int kTimes = 150;
    std::vector<pid_t> children;
    for (int c = 0; c < 2; ++c) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            bumpCounter(path, kTimes);
            _exit(0);
        }
        children.push_back(pid);
    }
    for (const pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    std::string text;
    ASSERT_TRUE(readFile(path, text));
    EXPECT_EQ(text, std::to_string(2 * kTimes));
}

TEST(LockedFile, TwoThreadsWithTheirOwnOpensAreSerialised)
{
    TempDataFolder temp;
    const std::string path = temp.root + "/counter";
    std::thread a([&] { bumpCounter(path, 100); });
    std::thread b([&] { bumpCounter(path, 100); });
    a.join();
    b.join();
    std::string text;
    ASSERT_TRUE(readFile(path, text));
    EXPECT_EQ(text, "200");
}

TEST(LockedFile, LockHeldAcrossCloseOfAnotherDescriptor)
{
    // A second open and close of the same file in this process must not drop
    // the lock the first open holds.
    TempDataFolder temp;
    const std::string path = temp.root + "/shared";
    LockedFile holder;
    ASSERT_TRUE(openLocked(path, holder));
    std::string ignored;
    readFile(path, ignored); // opens and closes another descriptor

    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        LockedFile file;
        openLocked(path, file); // waits until the parent releases
        std::string text;
        readWhole(file, text);
        _exit(text == "written while locked" ? 0 : 1);
    }
    ::usleep(100 * 1000);
    ASSERT_TRUE(writeWhole(holder, "written while locked"));
    unlockClose(holder);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(LockedFile, WriteWholeKeepsBackupAndShrinks)
{
    TempDataFolder temp;
    const std::string path = temp.root + "/data.json";
    LockedFile file;
    ASSERT_TRUE(openLocked(path, file));
    ASSERT_TRUE(writeWhole(file, "a much longer first content"));
    ASSERT_TRUE(writeWhole(file, "short"));
    std::string text;
    ASSERT_TRUE(readWhole(file, text));
    EXPECT_EQ(text, "short");
    ASSERT_TRUE(readBackup(file, text));
    EXPECT_EQ(text, "short");
    unlockClose(file);
}

TEST(AtomicReplace, ReplacesWholeAndLeavesNoTemporary)
{
    TempDataFolder temp;
    const std::string path = temp.root + "/wallet.json";
    ASSERT_TRUE(replaceFileAtomically(path, "old content that is long"));
    ASSERT_TRUE(replaceFileAtomically(path, "new"));
    std::string text;
    ASSERT_TRUE(readFile(path, text));
    EXPECT_EQ(text, "new");
    EXPECT_FALSE(pathExists(path + ".tmp"));
    EXPECT_FALSE(replaceFileAtomically(temp.root + "/missing/x.json", "x"));
    EXPECT_FALSE(pathExists(temp.root + "/missing"));
}

// Files of the shared data folder are written by any local process: only a
// regular file of its own is read or locked, never what a link, a FIFO or a
// device stands for.
TEST(SharedFiles, OnlyRegularFilesAreOpened)
{
    TempDataFolder temp;
    const std::string outside = temp.root + "/outside.json";
    ASSERT_TRUE(replaceFileAtomically(outside, "outside"));
    const std::string fifo = temp.root + "/fifo.json";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string toZero = temp.root + "/zero.json";
    ASSERT_EQ(::symlink("/dev/zero", toZero.c_str()), 0);
    const std::string toOutside = temp.root + "/elsewhere.json";
    ASSERT_EQ(::symlink(outside.c_str(), toOutside.c_str()), 0);
    const std::string huge = temp.root + "/huge.json";
    ASSERT_TRUE(replaceFileAtomically(huge, "x"));
    ASSERT_EQ(::truncate(huge.c_str(), static_cast<off_t>(kMaxFileBytes) + 1), 0); // sparse

    for (const std::string& path : {fifo, toZero, toOutside, huge}) {
        std::string text = "left";
        EXPECT_FALSE(readFile(path, text)) << path; // no block, no endless read
        EXPECT_TRUE(text.empty()) << path;
        LockedFile file;
        const bool opened = openLocked(path, file);
        if (path == huge) {
            // A regular file, but too large to read whole.
            ASSERT_TRUE(opened);
            EXPECT_FALSE(readWhole(file, text));
            unlockClose(file);
        } else {
            EXPECT_FALSE(opened) << path;
            EXPECT_EQ(file.fd, -1) << path;
        }
    }
    std::string text;
    ASSERT_TRUE(readFile(outside, text));
    EXPECT_EQ(text, "outside"); // nothing was written through the link

    std::string exact(kMaxFileBytes, 'y');
    ASSERT_TRUE(replaceFileAtomically(huge, exact));
    EXPECT_TRUE(readFile(huge, text));
    EXPECT_EQ(text.size(), kMaxFileBytes);
}

TEST(LockedFile, AFailedBackupLeavesTheFileAsItWas)
{
    TempDataFolder temp;
    const std::string path = temp.root + "/store.json";
    LockedFile file;
    ASSERT_TRUE(openLocked(path, file));
    ASSERT_TRUE(writeWhole(file, "old"));
    // The backup cannot be replaced (as on a full disk): a folder stands in its place.
    ASSERT_EQ(::unlink((path + ".bak").c_str()), 0);
    ASSERT_EQ(::mkdir((path + ".bak").c_str(), 0700), 0);
    ::mkdir((path + ".bak/keep").c_str(), 0700);
    EXPECT_FALSE(writeWhole(file, "new"));
    std::string text;
    ASSERT_TRUE(readWhole(file, text));
    EXPECT_EQ(text, "old");
    unlockClose(file);
}
