// A process saving the store is killed at random moments, many times; after
// each kill the store must load a complete save, never older than the last
// one seen.
#include "phone/phone_store.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using namespace kestrel;

namespace {

// Everything a save writes is derived from one round number, so a load can
// tell a whole save from a torn one.
void fillFromRound(int round)
{
    PhoneStore& s = phoneStore();
    s.theme = round % 5;
    s.mainSet = true;
    s.mainX = round;
    s.mainY = -round;
    s.phoneFee = round % 100 + 1;
    s.calls.assign(1, CallRecord {"alice", "bob", round, 0, 0, false, false, "", ""});
    s.inbox.clear();
    const int messages = round % 40 + 1;
    for (int m = 0; m < messages; ++m)
        s.inbox.push_back({"r" + std::to_string(round) + "m" + std::to_string(m), "bob",
                           std::string(3000, char('a' + m % 26)), "", 1, 1});
}

[[noreturn]] void saveForever(int firstRound)
{
    switchOwner("alice");
    for (int round = firstRound;; ++round) {
        fillFromRound(round);
        saveAll();
    }
}

// The round of the loaded save, or -1 when what loaded is not one whole save.
int loadedRound()
{
    PhoneStore& s = phoneStore();
    s.ownerId.clear();
    s.mainSet = false;
    loadSettings();
    switchOwner("alice");
    if (s.calls.size() != 1) return -1;
    const int round = s.calls[0].secs;
    if (s.phoneFee != round % 100 + 1) return -1;
    if (s.inbox.size() != static_cast<size_t>(round % 40 + 1)) return -1;
    for (size_t m = 0; m < s.inbox.size(); ++m) {
        if (s.inbox[m].id != "r" + std::to_string(round) + "m" + std::to_string(m)) return -1;
        if (s.inbox[m].audio != std::string(3000, char('a' + m % 26))) return -1;
    }
    // The phone file is saved separately; it must be whole too.
    if (!s.mainSet || s.mainY != -s.mainX || s.theme != s.mainX % 5) return -1;
    return round;
}

} // namespace

TEST(StoreCrash, KilledSavesNeverLoseOrTearData)
{
    TempDataFolder temp;
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayMicros(0, 15000);

    int lastRound = 0;
    int round = 1;
    int startMicros = 2000;
    for (int kill = 0; kill < 150; ++kill) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) saveForever(round);
        ::usleep(static_cast<useconds_t>(startMicros + delayMicros(random)));
        ::kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);

        const int loaded = loadedRound();
        if (lastRound == 0 && loaded == -1 && phoneStore().calls.empty()) {
            startMicros *= 2; // killed before its first save on a loaded machine: give it longer
            continue;
        }
        ASSERT_NE(loaded, -1) << "torn or mixed save after kill " << kill;
        ASSERT_GE(loaded, lastRound) << "an older save came back after kill " << kill;
        lastRound = loaded;
        round = loaded + 1000; // the next child's saves are told apart from this one's
    }
    EXPECT_GT(lastRound, 0);
}
