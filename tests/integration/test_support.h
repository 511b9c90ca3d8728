// Small helpers the integration tests share: running a command line, quoting
// for the shell, running the Tessera stand-in and kestrel-tool in a data
// folder, and aliases that no other test (or earlier run) has used.
#pragma once

#include <cstdio>
#include <random>
#include <string>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

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

// A finished command: its exit status (-1 when it did not exit normally), its
// standard output as printed, and the last line of that parsed as JSON
// (discarded when there is none or it is not JSON).
struct CommandRun {
    int status = -1;
    std::string text;
    nlohmann::json out;
};

// Runs program with arguments (already quoted for the shell) in data folder
// root (empty: this process's own LOCALAPPDATA). Standard error goes to the
// test's own, so a warning there never spoils the parse.
inline CommandRun runInDataFolder(const std::string& program, const std::string& arguments, const std::string& root)
{
    CommandRun run;
    const std::string env = root.empty() ? std::string() : "LOCALAPPDATA=" + shellQuoted(root) + " ";
    run.text = runCommand(env + shellQuoted(program) + " " + arguments, &run.status);
    std::string output = run.text;
    while (!output.empty() && output.back() == '\n') output.pop_back();
    const size_t lastLine = output.find_last_of('\n');
    run.out =
        nlohmann::json::parse(lastLine == std::string::npos ? output : output.substr(lastLine + 1), nullptr, false);
    return run;
}

// The Tessera stand-in, an implementation of the wallet side independent of ours.
inline std::string tesseraProgram()
{
    return std::string(KESTREL_SOURCE_DIR) + "/tools/tessera/tessera";
}

// "tessera <arguments>" in data folder root (empty: this process's own).
inline CommandRun runTessera(const std::string& arguments, const std::string& root = "")
{
    return runInDataFolder(tesseraProgram(), arguments, root);
}

// "kestrel-tool <arguments>" in data folder root (empty: this process's own).
inline CommandRun runTool(const std::string& arguments, const std::string& root = "")
{
    return runInDataFolder(KESTREL_TOOL, arguments, root);
}

// The devnet's paymail registry is shared by every test: aliases are fresh.
inline std::string freshAlias(const std::string& stem)
{
    static std::mt19937_64 random(std::random_device {}());
    char suffix[17];
    std::snprintf(suffix, sizeof(suffix), "%016llx", static_cast<unsigned long long>(random()));
    return stem + "-" + suffix;
}
