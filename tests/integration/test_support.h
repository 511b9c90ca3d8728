// Small helpers the integration tests share: running a command line, quoting
// for the shell, and aliases that no other test (or earlier run) has used.
#pragma once

#include <cstdio>
#include <random>
#include <string>
#include <sys/wait.h>

// Runs a command line; its standard output, and the exit status in status
// (-1 when it did not exit normally).
inline std::string runCommand(const std::string& command, int* status = nullptr)
{
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        if (status) *status = -1;
        return out;
    }
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) out.append(buffer, n);
    const int raw = ::pclose(pipe);
    if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return out;
}

inline std::string shellQuoted(const std::string& text)
{
    std::string out = "'";
    for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The devnet's paymail registry is shared by every test: aliases are fresh.
inline std::string freshAlias(const std::string& stem)
{
    static std::mt19937_64 random(std::random_device {}());
    char suffix[17];
    std::snprintf(suffix, sizeof(suffix), "%016llx", static_cast<unsigned long long>(random()));
    return stem + "-" + suffix;
}
