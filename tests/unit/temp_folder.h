// A temporary folder that becomes the data folder (LOCALAPPDATA) of the test
// process for its lifetime, and is removed afterwards.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

struct TempDataFolder {
    std::string root;
    std::string previous;
    bool hadPrevious = false;

    TempDataFolder()
    {
        char pattern[] = "/tmp/kestrel-test-XXXXXX";
        root = ::mkdtemp(pattern);
        if (const char* old = std::getenv("LOCALAPPDATA")) {
            previous = old;
            hadPrevious = true;
        }
        ::setenv("LOCALAPPDATA", root.c_str(), 1);
    }
    ~TempDataFolder()
    {
        if (hadPrevious)
            ::setenv("LOCALAPPDATA", previous.c_str(), 1);
        else
            ::unsetenv("LOCALAPPDATA");
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
    std::string corvane() const { return root + "/Corvane"; }
};
