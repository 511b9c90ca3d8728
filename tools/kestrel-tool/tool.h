// kestrel-tool: the wallet, record and store primitives on the command line.
//
// Each command group lives in its own file and answers its table of commands;
// main.cpp only parses the command line and dispatches. Output is JSON on
// standard output; an error is one line on standard error and exit code 1.
#pragma once

#include <map>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tool {

struct Args {
    std::map<std::string, std::string> options; // --name value
    std::vector<std::string> flags;             // --name without a value

    bool has(const std::string& name) const;
    std::string get(const std::string& name, const std::string& fallback = "") const;
};

struct Command {
    const char* name;
    const char* usage;   // the options, e.g. "--phrase WORDS --path PATH"
    const char* summary; // one line for --help
    int (*run)(const Args& args);
};

// A command's work as "batch" runs it: options (and "tx" for transaction
// commands) in, result or error out.
using Work = bool (*)(const nlohmann::json& in, nlohmann::json& out, std::string& error);

struct WorkEntry {
    const char* name;
    Work work;
};

// The work named name in a group's table; nullptr when it has none.
Work findWork(std::span<const WorkEntry> table, const std::string& name);
// A command's input from the command line: options as texts, flags as true.
// False, after printing which option is missing, when a required one is.
bool workInput(const char* name, const Args& args, const std::vector<std::string>& required, nlohmann::json& in);
// Runs work on in and prints its result (exit 0) or its error (exit 1).
int printWork(Work work, const nlohmann::json& in);

// The text member key of in; empty when it is absent or not a string.
std::string textOption(const nlohmann::json& in, const char* key);

// Prints value as compact JSON on standard output; answers 0.
int printJson(const nlohmann::json& value);
// Prints "kestrel-tool: " + message on standard error; answers 1.
int fail(const std::string& message);
// Checks that every named option is present; on failure prints the
// command's usage from the command table.
bool requireOptions(const Args& args, const std::vector<std::string>& names, const char* command);

// How long a command waits at the end for its background posts (the
// service's copy of a fast submit, payment deliveries).
constexpr int kBackgroundWaitMs = 15000;

std::vector<Command> storeCommands();
std::vector<Command> connectCommands();
// Registers with the wallet registry as the phone does (--instance, default
// this program's folder), so commands use the wallet the data folder binds.
void registerAsKestrel(const Args& args);
// registerAsKestrel, then loads the bound wallet; false when none loads.
bool loadBoundWallet(const Args& args);
std::vector<Command> walletCommands();
std::vector<Command> recordCommands();
std::vector<Command> spendCommands();
std::vector<Command> paymailCommands();
std::vector<Command> phoneCommands();
std::vector<Command> audioCommands();

// The batch work of a record command ("sign-identity", "verify-message" with a
// key, "canonical", "seal", "open", ...); nullptr for other names.
Work recordWork(const std::string& name);

} // namespace tool
