#include "platform/file_writer.h"
#include "platform/files.h"
#include "platform/worker.h"
#include "temp_folder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

namespace {

std::string contentOf(const std::string& path)
{
    std::string text;
    return platform::readFile(path, text) ? text : "<missing>";
}

TEST(Worker, StopEndsTheBodyAndJoinsIt)
{
    platform::Worker worker;
    std::atomic<int> passes {0};
    std::atomic<bool> ended {false};
    platform::startWorker(worker, "counter", [&](std::stop_token stop) {
        while (!stop.stop_requested()) ++passes;
        ended = true;
    });
    EXPECT_TRUE(platform::workerRunning(worker));
    EXPECT_EQ(worker.name, "counter");
    platform::stopWorker(worker);
    EXPECT_TRUE(ended.load()); // joined: the body has returned
    EXPECT_FALSE(platform::workerRunning(worker));
    platform::stopWorker(worker); // a stopped worker is left alone

    ended = false;
    platform::startWorker(worker, "again", [&](std::stop_token stop) {
        while (!stop.stop_requested()) {}
        ended = true;
    });
    platform::stopWorker(worker);
    EXPECT_TRUE(ended.load());
}

// One process-wide writer: these run in order, the stop last.
TEST(FileWriter, NewestTextWinsThenStopWritesAtOnce)
{
    TempDataFolder temp;
    const std::string path = temp.corvane() + "/deep/er/face.json";
    for (int i = 0; i < 200; ++i) platform::writeFileLater(path, "text " + std::to_string(i));
    const std::string other = temp.corvane() + "/other.json";
    platform::writeFileLater(other, "other");
    platform::flushFileWrites();
    EXPECT_EQ(contentOf(path), "text 199");
    EXPECT_EQ(contentOf(other), "other");

    platform::writeFileLater(path, "before stop");
    platform::stopFileWriter();
    EXPECT_EQ(contentOf(path), "before stop");
    platform::writeFileLater(path, "after stop"); // no writer left: written on this thread
    EXPECT_EQ(contentOf(path), "after stop");
}

} // namespace
